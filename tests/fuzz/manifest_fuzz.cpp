// Feeds arbitrary bytes to the manifest parser and checks it against a plain
// reading of the format, done here another way (lines split first, numbers
// compared as digit strings): the parser accepts exactly the texts that
// reading accepts, with the same release and the same files in order, and
// leaves its output untouched when it refuses. What it accepts is written
// back by FormatManifest into a text it reads as the same manifest (the
// same text when no number has a leading zero), and every listed name is
// found again by FindInManifest.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "upgrade/Manifest.h"

namespace {

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "manifest_fuzz: %s\n", what);
        std::abort();
    }
}

// 1 to 20 decimal digits whose value fits 64 bits.
bool IsNumber(std::string_view text) {
    if (text.empty() || text.size() > 20) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return text.size() < 20 || text <= std::string_view("18446744073709551615");
}

std::uint64_t ValueOf(std::string_view digits) { return std::strtoull(std::string(digits).c_str(), nullptr, 10); }

bool Unwanted(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

bool IsDigest(std::string_view text) {
    if (text.size() != 64) return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

bool Reference(std::string_view text, Manifest* manifest, bool* leadingZero) {
    if (text.empty() || text.size() > kManifestLimit || text.back() != '\n') return false;
    std::vector<std::string_view> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    if (lines.size() < 2 || lines[0] != "Quillstone-Manifest: 1") return false;
    const std::string_view release = "Release: ";
    if (lines[1].substr(0, release.size()) != release || !IsNumber(lines[1].substr(release.size()))) return false;
    const std::string_view releaseDigits = lines[1].substr(release.size());
    manifest->release = ValueOf(releaseDigits);
    *leadingZero = releaseDigits.size() > 1 && releaseDigits[0] == '0';
    const std::string_view file = "File: ";
    for (std::size_t i = 2; i < lines.size(); ++i) {
        if (lines[i].substr(0, file.size()) != file) return false;
        const std::string_view rest = lines[i].substr(file.size());
        const std::size_t lastSpace = rest.rfind(' ');
        if (lastSpace == std::string_view::npos || lastSpace == 0) return false;
        const std::size_t sizeSpace = rest.rfind(' ', lastSpace - 1);
        if (sizeSpace == std::string_view::npos) return false;
        const std::string_view name = rest.substr(0, sizeSpace);
        const std::string_view size = rest.substr(sizeSpace + 1, lastSpace - sizeSpace - 1);
        const std::string_view digest = rest.substr(lastSpace + 1);
        if (name.empty() || !IsNumber(size) || !IsDigest(digest)) return false;
        for (char c : name) {
            if (Unwanted(c)) return false;
        }
        for (const ManifestFile& earlier : manifest->files) {
            if (earlier.name == name) return false;
        }
        *leadingZero = *leadingZero || (size.size() > 1 && size[0] == '0');
        manifest->files.push_back({std::string(name), ValueOf(size), std::string(digest), 0, ""});
    }
    return true;
}

bool Same(const Manifest& a, const Manifest& b) {
    if (a.release != b.release || a.files.size() != b.files.size()) return false;
    for (std::size_t i = 0; i < a.files.size(); ++i) {
        if (a.files[i].name != b.files[i].name || a.files[i].size != b.files[i].size ||
            a.files[i].sha256 != b.files[i].sha256) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    Manifest untouched;
    untouched.release = 77;
    untouched.files.push_back({"untouched", 1, std::string(64, '0'), 0, ""});
    Manifest parsed = untouched;
    const bool accepted = ParseManifest(text, &parsed);

    Manifest expected;
    bool leadingZero = false;
    const bool valid = Reference(text, &expected, &leadingZero);
    Require(accepted == valid, accepted ? "accepted a text the format refuses" : "refused a text the format accepts");
    if (!accepted) {
        Require(Same(parsed, untouched), "a refused text changed the output");
        return 0;
    }
    Require(Same(parsed, expected), "read other files or another release than the text gives");

    const std::string written = FormatManifest(parsed);
    Manifest reread;
    Require(ParseManifest(written, &reread) && Same(reread, parsed), "the written form does not read back the same");
    Require(leadingZero || written == text, "a text without leading zeros is not written back as it was");
    for (const ManifestFile& f : parsed.files) {
        Require(FindInManifest(parsed, f.name) != nullptr && FindInManifest(parsed, f.name)->name == f.name,
                "a listed name is not found");
    }
    return 0;
}
