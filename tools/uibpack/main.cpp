// uibpack: makes, unpacks and checks .uib upgrade packages, and signs and
// checks releases.
//
// Exit status: 0 success, 1 the work failed (the reason is one line on
// standard error), 2 the command line is wrong.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "UibCheck.h"
#include "UibPackage.h"
#include "UibWriter.h"
#ifdef UIBPACK_SIGNING
#include "Signing.h"
#include "trust/SignedText.h"
#endif

namespace {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

const char kHelp[] =
    "usage: uibpack pack [--level N] [--block-size N] INPUT OUTPUT.uib\n"
    "       uibpack unpack PACKAGE.uib OUTPUT\n"
    "       uibpack check PACKAGE.uib\n"
    "       uibpack keys --root ROOT.pem --version N [--expires WHEN] [--threshold K] --out DIR\n"
    "                    RELEASE.pub.pem...\n"
    "       uibpack sign --key RELEASE.pem [--key ...] --release N [--expires WHEN] --out DIR\n"
    "                    [ENTRY=]FILE...\n"
    "       uibpack verify --root ROOT.pub.pem DIR\n"
    "\n"
    "pack    cuts INPUT into pieces of 16384 bytes, compresses each into its own\n"
    "        zlib stream and writes the package OUTPUT.uib.\n"
    "          --level N       zlib level 0 (stored) to 9 (default 9)\n"
    "          --block-size N  Block size field, 6 to 32768, not below the\n"
    "                          largest compressed block (default: exactly that)\n"
    "unpack  decodes PACKAGE.uib into OUTPUT the way the upgrade installs it.\n"
    "check   validates PACKAGE.uib without writing anything and names the first\n"
    "        rule it breaks with its byte offset.\n"
    "keys    writes DIR/Quillstone.keys, keys version N listing the release public\n"
    "        keys (1 to 4), and DIR/Quillstone.keys.sig, its signature with the\n"
    "        root's private key. A higher N with other keys rotates them.\n"
    "          --threshold K   every manifest needs the signatures of K distinct\n"
    "                          release keys it lists (default 1)\n"
    "sign    writes DIR/Quillstone.manifest, listing each FILE under ENTRY (as the\n"
    "        upgrade list names it, folders included: 'skins\\skin.dat.uib=skin.uib';\n"
    "        the file's name when left out) with its size and SHA-256, and what a\n"
    "        .uib decodes to, as release N; and DIR/Quillstone.manifest.sig, its\n"
    "        signatures, one with each --key (release keys that DIR/Quillstone.keys\n"
    "        lists, as many as its threshold), for that keys document's version\n"
    "        only. Serve all four\n"
    "        beside the files.\n"
    "          --expires WHEN  a number of days or a UTC time YYYY-MM-DDTHH:MM:SSZ\n"
    "                          (default: 365 days for keys, 90 for sign)\n"
    "verify  checks DIR as Quillstone does before it downloads a file, by the same\n"
    "        check: the keys document with the root public key, the manifest with\n"
    "        its release keys, that it is for that keys version, both expiries,\n"
    "        the entries; a refusal in the words Quillstone logs. Then every file\n"
    "        the manifest lists.\n"
    "\n"
    "On failure no output file is created and an existing one is left as it was.\n"
    "Exit status: 0 success, 1 failure, 2 wrong command line.\n";

int Usage(const std::string& problem) {
    std::fprintf(stderr, "uibpack: %s\nTry 'uibpack --help'.\n", problem.c_str());
    return kUsage;
}

int Failure(const std::string& problem) {
    std::fprintf(stderr, "uibpack: %s\n", problem.c_str());
    return kFailed;
}

bool ParseNumber(const std::string& text, long min, long max, long* value) {
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *value = std::strtol(text.c_str(), nullptr, 10);
    return *value >= min && *value <= max;
}

int Pack(const std::vector<std::string>& args) {
    uib::PackOptions options;
    std::vector<std::string> files;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        std::string name = arg;
        std::string value;
        const std::size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
        } else if ((arg == "--level" || arg == "--block-size") && i + 1 < args.size()) {
            value = args[++i];
        } else if (arg == "--level" || arg == "--block-size") {
            return Usage(arg + " needs a value");
        }
        long number = 0;
        if (name == "--level") {
            if (!ParseNumber(value, 0, 9, &number)) return Usage("--level must be 0 to 9");
            options.level = static_cast<int>(number);
        } else if (name == "--block-size") {
            if (!ParseNumber(value, 6, 32768, &number)) return Usage("--block-size must be 6 to 32768");
            options.block_size = static_cast<std::uint32_t>(number);
        } else if (arg.size() > 1 && arg[0] == '-') {
            return Usage("unknown option " + arg);
        } else {
            files.push_back(arg);
        }
    }
    if (files.size() != 2) return Usage("pack needs INPUT and OUTPUT.uib");
    const std::string& input = files[0];
    const std::string& output = files[1];

    const uib::PackResult result = uib::PackUibFile(input.c_str(), output.c_str(), options);
    switch (result.error) {
        case uib::PackError::kNone:
            std::printf("%s: %u blocks, %llu bytes packed into %llu, block size %u\n", output.c_str(), result.blocks,
                        static_cast<unsigned long long>(result.input_size),
                        static_cast<unsigned long long>(result.total) + 8, result.block_size);
            return kOk;
        case uib::PackError::kBlockSizeTooSmall:
            return Usage("--block-size " + std::to_string(options.block_size) + " is too small for " + input +
                         ": its largest compressed block has " + std::to_string(result.largest_block) + " bytes");
        case uib::PackError::kOpenInput: return Failure("cannot open " + input + ": " + std::strerror(errno));
        case uib::PackError::kReadInput: return Failure("cannot read " + input);
        case uib::PackError::kCreateOutput:
        case uib::PackError::kWriteOutput: return Failure("cannot write " + output);
        default: return Failure(input + ": " + uib::PackErrorText(result.error));
    }
}

int Unpack(const std::vector<std::string>& args) {
    if (args.size() != 2) return Usage("unpack needs PACKAGE.uib and OUTPUT");
    const std::string& package = args[0];
    const std::string& output = args[1];
    if (DecodeUibPackage(package.c_str(), output.c_str()) == 1) return kOk;
    // The decoder only says no; the checker walks the package the same way and
    // can say why. If it finds nothing, the output side failed.
    const uib::CheckReport report = uib::CheckUibPackage(package.c_str());
    if (!report.ok) return Failure(package + ": " + report.problem);
    return Failure("cannot write " + output);
}

int Check(const std::vector<std::string>& args) {
    if (args.size() != 1) return Usage("check needs PACKAGE.uib");
    const std::string& package = args[0];
    const uib::CheckReport report = uib::CheckUibPackage(package.c_str());
    if (!report.ok) return Failure(package + ": " + report.problem);
    std::printf("%s: OK, %u blocks, %llu bytes decoded, %llu bytes compressed, block size %u", package.c_str(),
                report.blocks, static_cast<unsigned long long>(report.decoded_size),
                static_cast<unsigned long long>(report.compressed_size), report.block_size);
    if (report.ignored_tail != 0) {
        std::printf(", %u trailing bytes ignored", report.ignored_tail);
    }
    std::printf("\n");
    return kOk;
}

#ifdef UIBPACK_SIGNING
// "--key VALUE" or "--key=VALUE" style options; the rest are operands. The
// first `required` names must be given. The first name may be given more
// than once when `repeated` takes all its values.
bool SplitOptions(const std::vector<std::string>& args, const std::vector<std::string>& names, std::size_t required,
                  std::vector<std::string>* values, std::vector<std::string>* operands, std::string* problem,
                  std::vector<std::string>* repeated = nullptr) {
    values->assign(names.size(), std::string());
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) != 0) {
            operands->push_back(arg);
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        std::size_t which = 0;
        while (which < names.size() && names[which] != name) ++which;
        if (which == names.size()) {
            *problem = "unknown option " + name;
            return false;
        }
        if (equals != std::string::npos) {
            (*values)[which] = arg.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            (*values)[which] = args[++i];
        } else {
            *problem = name + " needs a value";
            return false;
        }
        if (which == 0 && repeated) repeated->push_back((*values)[0]);
    }
    for (std::size_t i = 0; i < required; ++i) {
        if ((*values)[i].empty()) {
            *problem = names[i] + " is required";
            return false;
        }
    }
    return true;
}

bool ParseCount(const std::string& text, std::uint64_t* value) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

// --expires: a number of days from now (1 to 36500), or a time in UTC;
// `days` when not given.
bool ParseExpires(const std::string& text, std::int64_t days, std::int64_t* expires) {
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    std::uint64_t count = 0;
    if (text.empty()) {
        *expires = now + days * 86400;
        return true;
    }
    if (ParseCount(text, &count)) {
        *expires = now + static_cast<std::int64_t>(count) * 86400;
        return count >= 1 && count <= 36500;
    }
    return ParseUtcTime(text, expires);
}

constexpr char kExpiresProblem[] = "--expires must be 1 to 36500 days or a UTC time like 2027-03-08T14:00:00Z";

int Keys(const std::vector<std::string>& args) {
    std::vector<std::string> values, releaseKeys;
    std::string problem;
    if (!SplitOptions(args, {"--root", "--version", "--out", "--expires", "--threshold"}, 3, &values, &releaseKeys,
                      &problem)) {
        return Usage(problem);
    }
    std::uint64_t version = 0, threshold = 1;
    std::int64_t expires = 0;
    if (!ParseCount(values[1], &version)) return Usage("--version must be a decimal number");
    if (!values[4].empty() && !ParseCount(values[4], &threshold)) return Usage("--threshold must be a decimal number");
    if (!ParseExpires(values[3], 365, &expires)) return Usage(kExpiresProblem);
    if (releaseKeys.empty()) return Usage("keys needs the release public keys");
    if (!WriteKeys(values[0], version, expires, threshold, values[2], releaseKeys, &problem)) return Failure(problem);
    std::printf("%s: keys version %s with %zu release keys, expires %s\n", values[2].c_str(), values[1].c_str(),
                releaseKeys.size(), FormatUtcTime(expires).c_str());
    return kOk;
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int Sign(const std::vector<std::string>& args) {
    std::vector<std::string> values, operands, keys;
    std::string problem;
    if (!SplitOptions(args, {"--key", "--release", "--out", "--expires"}, 3, &values, &operands, &problem, &keys)) {
        return Usage(problem);
    }
    std::uint64_t release = 0;
    std::int64_t expires = 0;
    if (!ParseCount(values[1], &release)) return Usage("--release must be a decimal number");
    if (!ParseExpires(values[3], 90, &expires)) return Usage(kExpiresProblem);
    if (operands.empty()) return Usage("sign needs the release's files");
    std::vector<ReleaseFile> files;
    for (const std::string& operand : operands) {
        const std::size_t equals = operand.find('=');
        if (equals == std::string::npos) {
            files.push_back({BaseName(operand), operand});
        } else {
            files.push_back({operand.substr(0, equals), operand.substr(equals + 1)});
        }
    }
    if (!SignRelease(keys, release, expires, values[2], files, &problem)) return Failure(problem);
    std::printf("%s: %zu files signed as release %s, expires %s\n", values[2].c_str(), files.size(), values[1].c_str(),
                FormatUtcTime(expires).c_str());
    return kOk;
}

int Verify(const std::vector<std::string>& args) {
    std::vector<std::string> values, dirs;
    std::string report;
    if (!SplitOptions(args, {"--root"}, 1, &values, &dirs, &report)) return Usage(report);
    if (dirs.size() != 1) return Usage("verify needs one DIR");
    if (!VerifyRelease(values[0], dirs[0], static_cast<std::int64_t>(std::time(nullptr)), &report)) {
        return Failure(dirs[0] + ": " + report);
    }
    std::printf("%s: OK, %s\n", dirs[0].c_str(), report.c_str());
    return kOk;
}
#else
int Keys(const std::vector<std::string>&) { return Failure("this build of uibpack cannot sign (no OpenSSL)"); }
int Sign(const std::vector<std::string>&) { return Failure("this build of uibpack cannot sign (no OpenSSL)"); }
int Verify(const std::vector<std::string>&) { return Failure("this build of uibpack cannot verify (no OpenSSL)"); }
#endif

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage("no command given");
    const std::string command = argv[1];
    const std::vector<std::string> args(argv + 2, argv + argc);
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kHelp, stdout);
        return kOk;
    }
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            return kOk;
        }
    }
    if (command == "pack") return Pack(args);
    if (command == "unpack") return Unpack(args);
    if (command == "check") return Check(args);
    if (command == "keys") return Keys(args);
    if (command == "sign") return Sign(args);
    if (command == "verify") return Verify(args);
    return Usage("unknown command " + command);
}
