// How fast DecodeUibPackage turns a 64 MiB package into a file, against the
// bare rate of inflating the same blocks from memory into memory with zlib's
// uncompress, and how much memory a decoding process needs.
//
//   decode_bench [--dir=FOLDER] [benchmark flags]
//
// Prints both rates (decoded bytes per second), their ratio against the 0.95
// target, and the peak resident size of a process that decodes the 64 MiB
// package and of one that decodes a 1 MiB package: decoding streams, so the
// two must be about the same.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <zlib.h>

#include "UibPackage.h"
#include "UibWriter.h"
#include "upgrade/BlockFinder.h"
#include "trust/BlockMap.h"

namespace {

constexpr std::size_t kContentSize = std::size_t{64} << 20;
constexpr double kTarget = 0.95;

// What an installation holds: program code and data tables, text
// (configuration, scripts, documentation), and files that are already
// compressed (images, archives), in runs of 64 KiB to 1 MiB.
std::string MixedContent(std::size_t size) {
    static const char* const kWords[] = {"supervisor", "restart", "window", "the",     "of",    "upgrade", "check",
                                         "health",     "=",       "true",   "false",   "path",  "\n",      "timeout",
                                         "Marlowcast", "service", "<item>", "</item>", "value", "  ",      "error",
                                         "version",    "1.2.1.1", "file",   "log",     "start", "stop",    "#"};
    std::mt19937 engine(2024);
    auto random = [&engine] { return static_cast<std::uint32_t>(engine()); };
    std::string out;
    out.reserve(size);
    std::uint32_t record = 0;
    while (out.size() < size) {
        const std::size_t run = 65536 + random() % (1 << 20);
        const std::size_t end = std::min(size, out.size() + run);
        const unsigned kind = random() % 10;
        if (kind < 4) {  // code and tables: small opcodes, repeating operands
            while (out.size() < end) {
                const std::uint32_t fields[4] = {record++, random() % 16, random() % 4096,
                                                 0x401000u + (random() % 256) * 16};
                out.append(reinterpret_cast<const char*>(fields), sizeof fields);
                out.push_back(static_cast<char>(0x48 + random() % 4));
                out.push_back(static_cast<char>(0x8B + random() % 2));
            }
        } else if (kind < 7) {  // text
            while (out.size() < end) {
                out += kWords[random() % (sizeof kWords / sizeof *kWords)];
                out += ' ';
            }
        } else {  // already compressed: no redundancy left
            while (out.size() < end) out.push_back(static_cast<char>(random()));
        }
        out.resize(end);
    }
    return out;
}

struct Block {
    const unsigned char* data;
    std::uint32_t length;
};

struct Fixture {
    std::string dir;
    std::string package;  // path of the 64 MiB package
    std::string small;    // path of a 1 MiB package
    std::string target;
    std::vector<unsigned char> bytes;
    std::vector<Block> blocks;
    std::size_t decoded = 0;
    BlockMap map;           // of the content, as a plain file
    std::string installed;  // the content with 100 bytes before it
};

Fixture* g_fixture = nullptr;

// Inflates every block of the fixture back to back into `next`, as the
// decoder does but with no file on either side.
bool InflateBlocks(const Fixture& f, unsigned char* next) {
    for (const Block& block : f.blocks) {
        uLongf produced = 16384;
        if (uncompress(next, &produced, block.data, block.length) != Z_OK) return false;
        next += produced;
    }
    return true;
}

bool WriteFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && ok;
}

std::uint32_t ReadU32(const unsigned char* at) {
    return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
           static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

bool Prepare(Fixture* fixture) {
    const std::string content = MixedContent(kContentSize);
    if (uib::PackUib(content.data(), content.size(), {}, &fixture->bytes).error != uib::PackError::kNone) {
        return false;
    }
    std::vector<unsigned char> small;
    if (uib::PackUib(content.data(), 1 << 20, {}, &small).error != uib::PackError::kNone) return false;
    fixture->package = fixture->dir + "/bench.uib";
    fixture->small = fixture->dir + "/small.uib";
    fixture->target = fixture->dir + "/bench.out";
    if (!WriteFile(fixture->package, fixture->bytes) || !WriteFile(fixture->small, small)) return false;
    for (std::size_t at = 12; at + 4 <= fixture->bytes.size();) {
        const std::uint32_t length = ReadU32(&fixture->bytes[at]);
        fixture->blocks.push_back({&fixture->bytes[at + 4], length});
        at += 4 + length;
    }
    fixture->decoded = content.size();
    std::FILE* plain = std::fopen((fixture->dir + "/plain").c_str(), "w+b");
    const bool mapped = plain && std::fwrite(content.data(), 1, content.size(), plain) == content.size() &&
                        (std::rewind(plain), MakeBlockMap(plain, false, &fixture->map));
    if (plain) std::fclose(plain);
    std::remove((fixture->dir + "/plain").c_str());
    if (!mapped) return false;
    fixture->installed = std::string(100, 'i') + content;
    std::printf("package: %zu bytes of mixed content in %zu blocks, %zu bytes packed (level 9)\n", content.size(),
                fixture->blocks.size(), fixture->bytes.size());
    return true;
}

void BM_DecodeFileToFile(benchmark::State& state) {
    const Fixture& f = *g_fixture;
    for (auto _ : state) {
        // Freeing the previous run's 64 MiB output is the file system's work,
        // not the decoder's; it stays out of the measurement.
        state.PauseTiming();
        std::remove(f.target.c_str());
        state.ResumeTiming();
        if (DecodeUibPackage(f.package.c_str(), f.target.c_str()) != 1) {
            state.SkipWithError("DecodeUibPackage failed");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.decoded));
}

void BM_InflateInMemory(benchmark::State& state) {
    const Fixture& f = *g_fixture;
    std::vector<unsigned char> out(f.decoded);
    for (auto _ : state) {
        if (!InflateBlocks(f, out.data())) state.SkipWithError("uncompress failed");
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.decoded));
}

// The same inflation with the output landing in memory the process has not
// touched yet, as it does for any decoder that produces a new 64 MiB result
// (the file's page cache for DecodeUibPackage).
void BM_InflateIntoFreshMemory(benchmark::State& state) {
    const Fixture& f = *g_fixture;
    for (auto _ : state) {
        std::unique_ptr<unsigned char[]> out(new unsigned char[f.decoded]);
        if (!InflateBlocks(f, out.get())) state.SkipWithError("uncompress failed");
        benchmark::DoNotOptimize(out.get());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.decoded));
}

// Finding the pieces of a new file in the one installed before it, where
// each piece lies 100 bytes further on: every offset is rolled over and
// every piece is confirmed by its SHA-256, the most work a scan does.
void BM_FindPieces(benchmark::State& state) {
    const Fixture& f = *g_fixture;
    const ReadAt read = [&f](std::uint64_t offset, unsigned char* into, std::size_t size) {
        std::memcpy(into, f.installed.data() + offset, size);
        return true;
    };
    std::vector<std::uint64_t> found;
    for (auto _ : state) {
        if (!FindPieces(f.map, f.installed.size(), read, &found)) state.SkipWithError("FindPieces failed");
    }
    if (std::count(found.begin(), found.end(), kNowhere) != 0) state.SkipWithError("pieces not found");
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * f.installed.size()));
}

// Medians of five runs: this is usually measured on shared, noisy machines.
#define QS_BENCH(name)                  \
    BENCHMARK(name)                     \
        ->UseRealTime()                 \
        ->Unit(benchmark::kMillisecond) \
        ->MinTime(1.0)                  \
        ->Repetitions(5)                \
        ->ReportAggregatesOnly(true)
QS_BENCH(BM_DecodeFileToFile);
QS_BENCH(BM_InflateInMemory);
QS_BENCH(BM_InflateIntoFreshMemory);
QS_BENCH(BM_FindPieces);

// Keeps each benchmark's rate (the median when repetitions are asked for).
class RateReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name != "median") continue;
            const auto rate = run.counters.find("bytes_per_second");
            if (rate != run.counters.end()) rates[run.run_name.function_name] = rate->second.value;
        }
    }
    std::map<std::string, double> rates;
};

// Peak resident size of this process in KiB. Read from /proc rather than
// getrusage: Linux carries the parent's peak across fork and exec into a
// child's ru_maxrss.
long PeakResidentKiB() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status) return -1;
    char line[256];
    long kib = -1;
    while (std::fgets(line, sizeof line, status)) {
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
    }
    std::fclose(status);
    return kib;
}

// Peak resident size of a fresh process that decodes |package| ("" decodes
// nothing), so that the fixture's own memory does not count.
long ChildPeakKiB(const std::string& self, const std::string& package, const std::string& target) {
    const std::string command = "'" + self + "' --decode-child '" + package + "' '" + target + "'";
    std::FILE* child = popen(command.c_str(), "r");
    if (!child) return -1;
    long kib = -1;
    if (std::fscanf(child, "%ld", &kib) != 1) kib = -1;
    return pclose(child) == 0 ? kib : -1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--decode-child") == 0) {
        if (argv[2][0] != '\0' && DecodeUibPackage(argv[2], argv[3]) != 1) return 1;
        std::printf("%ld\n", PeakResidentKiB());
        return 0;
    }

    const char* tmp = std::getenv("TMPDIR");
    std::string base = tmp && *tmp ? tmp : "/tmp";
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--dir=", 6) == 0) {
            base = argv[i] + 6;
        } else {
            args.push_back(argv[i]);
        }
    }
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 2;

    Fixture fixture;
    std::string dir = base + "/uib-bench-XXXXXX";
    if (!mkdtemp(dir.data())) {
        std::fprintf(stderr, "decode_bench: cannot make a folder in %s\n", base.c_str());
        return 1;
    }
    fixture.dir = dir;
    g_fixture = &fixture;
    int exit_code = 1;
    if (Prepare(&fixture)) {
        RateReporter reporter;
        benchmark::RunSpecifiedBenchmarks(&reporter);
        const double decode = reporter.rates["BM_DecodeFileToFile"];
        const double warm = reporter.rates["BM_InflateInMemory"];
        const double fresh = reporter.rates["BM_InflateIntoFreshMemory"];
        const double scan = reporter.rates["BM_FindPieces"];
        const std::string self = "/proc/" + std::to_string(getpid()) + "/exe";
        const long idle = ChildPeakKiB(self, "", fixture.target);
        const long small = ChildPeakKiB(self, fixture.small, fixture.target);
        const long big = ChildPeakKiB(self, fixture.package, fixture.target);
        const auto mib = [](double rate) { return rate / (1 << 20); };
        std::printf("\ndecode, file to file (DecodeUibPackage): %8.1f MiB/s\n", mib(decode));
        std::printf("bare uncompress, memory to memory:       %8.1f MiB/s\n", mib(warm));
        std::printf("bare uncompress, into fresh memory:      %8.1f MiB/s\n", mib(fresh));
        if (decode > 0 && warm > 0 && fresh > 0) {
            std::printf("ratio decode / bare:             %6.3f  (target %.2f: %s)\n", decode / warm, kTarget,
                        decode / warm >= kTarget ? "met" : "MISSED");
            std::printf("ratio decode / bare, fresh output: %4.3f\n", decode / fresh);
        }
        std::printf("scan of an installed file (FindPieces):  %8.1f MiB/s\n", mib(scan));
        std::printf(
            "peak RSS of a decoding process: %ld KiB decoding 64 MiB, %ld KiB decoding 1 MiB, "
            "%ld KiB decoding nothing\n",
            big, small, idle);
        exit_code = idle > 0 && small > 0 && big > 0 ? 0 : 1;
    }
    std::remove(fixture.package.c_str());
    std::remove(fixture.small.c_str());
    std::remove(fixture.target.c_str());
    rmdir(fixture.dir.c_str());
    return exit_code;
}
