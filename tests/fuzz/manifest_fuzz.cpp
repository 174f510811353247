// Feeds arbitrary bytes to the manifest parser and checks it against a plain
// reading of the format, done here another way (lines split first, numbers
// compared as digit strings, times by another formula): the parser accepts
// exactly the texts that reading accepts, with the same release, keys
// version, expiry and files in order, and leaves its output untouched when it
// refuses. What it accepts is written back by FormatManifest into a text it
// reads as the same manifest (the same text when no number has a leading
// zero), and every listed entry is found again by FindInManifest.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fuzz/plain_reading.h"
#include "trust/Manifest.h"

namespace {

void Require(bool condition, const char* what) { plain::Require(condition, "manifest_fuzz", what); }

bool Unwanted(char c) { return static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F; }

bool LeadingZero(std::string_view digits) { return digits.size() > 1 && digits[0] == '0'; }

// The last space-separated field of `rest`, taken off it.
bool Last(std::string_view* rest, std::string_view* field) {
    const std::size_t space = rest->rfind(' ');
    if (space == std::string_view::npos) return false;
    *field = rest->substr(space + 1);
    *rest = rest->substr(0, space);
    return true;
}

bool Reference(std::string_view text, Manifest* manifest, bool* leadingZero) {
    std::vector<std::string_view> lines;
    if (text.size() > kManifestLimit || !plain::Lines(text, &lines) || lines.size() < 5) return false;
    const std::string_view release = "Release: ", keys = "Keys-Version: ", when = "Signed: ", expires = "Expires: ";
    if (lines[0] != "Quillstone-Manifest: 4" || lines[1].substr(0, release.size()) != release ||
        !plain::IsNumber(lines[1].substr(release.size())) || lines[2].substr(0, keys.size()) != keys ||
        !plain::IsNumber(lines[2].substr(keys.size())) || lines[3].substr(0, when.size()) != when ||
        !plain::Time(lines[3].substr(when.size()), &manifest->signedAt) ||
        lines[4].substr(0, expires.size()) != expires ||
        !plain::Time(lines[4].substr(expires.size()), &manifest->expires)) {
        return false;
    }
    manifest->release = plain::ValueOf(lines[1].substr(release.size()));
    manifest->keysVersion = plain::ValueOf(lines[2].substr(keys.size()));
    *leadingZero = LeadingZero(lines[1].substr(release.size())) || LeadingZero(lines[2].substr(keys.size()));
    for (std::size_t i = 5; i < lines.size(); ++i) {
        const bool package = lines[i].substr(0, 9) == "Package: ";
        if (!package && lines[i].substr(0, 6) != "File: ") return false;
        std::string_view rest = lines[i].substr(package ? 9 : 6), size, digest, decodedSize, decodedDigest, mapSize,
                         mapDigest;
        if (!Last(&rest, &mapDigest) || !Last(&rest, &mapSize) || !plain::IsNumber(mapSize) ||
            !plain::IsHex(mapDigest, 64)) {
            return false;
        }
        if (package && (!Last(&rest, &decodedDigest) || !Last(&rest, &decodedSize) || !plain::IsNumber(decodedSize) ||
                        !plain::IsHex(decodedDigest, 64))) {
            return false;
        }
        if (!Last(&rest, &digest) || !Last(&rest, &size) || !plain::IsNumber(size) || !plain::IsHex(digest, 64)) {
            return false;
        }
        const bool uib = rest.size() >= 4 && rest.substr(rest.size() - 4) == ".uib";
        if (rest.empty() || rest.size() > 64 || uib != package) return false;
        for (char c : rest) {
            if (Unwanted(c)) return false;
        }
        for (const ManifestFile& earlier : manifest->files) {
            if (earlier.entry == rest) return false;
        }
        // A map is at most 1 % of its file and 4 KiB.
        if (plain::ValueOf(mapSize) > plain::ValueOf(size) / 100 + 4096) return false;
        *leadingZero = *leadingZero || LeadingZero(size) || LeadingZero(decodedSize) || LeadingZero(mapSize);
        manifest->files.push_back({std::string(rest), plain::ValueOf(size), std::string(digest),
                                   package ? plain::ValueOf(decodedSize) : 0, std::string(decodedDigest),
                                   plain::ValueOf(mapSize), std::string(mapDigest)});
    }
    return true;
}

bool Same(const Manifest& a, const Manifest& b) {
    if (a.release != b.release || a.keysVersion != b.keysVersion || a.signedAt != b.signedAt ||
        a.expires != b.expires || a.files.size() != b.files.size())
        return false;
    for (std::size_t i = 0; i < a.files.size(); ++i) {
        const ManifestFile &x = a.files[i], &y = b.files[i];
        if (x.entry != y.entry || x.size != y.size || x.sha256 != y.sha256 || x.decodedSize != y.decodedSize ||
            x.decodedSha256 != y.decodedSha256 || x.mapSize != y.mapSize || x.mapSha256 != y.mapSha256) {
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
    untouched.files.push_back({"untouched", 1, std::string(64, '0'), 0, "", 0, ""});
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
    Require(Same(parsed, expected), "read other files, another release or another expiry than the text gives");

    const std::string written = FormatManifest(parsed);
    Manifest reread;
    Require(ParseManifest(written, &reread) && Same(reread, parsed), "the written form does not read back the same");
    Require(leadingZero || written == text, "a text without leading zeros is not written back as it was");
    for (const ManifestFile& f : parsed.files) {
        Require(FindInManifest(parsed, f.entry) != nullptr && FindInManifest(parsed, f.entry)->entry == f.entry,
                "a listed entry is not found");
    }
    return 0;
}
