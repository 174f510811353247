#include "trust/Manifest.h"

#include "install/EntryPath.h"
#include "install/EntryPath.h"
#include "trust/BlockMap.h"
#include "trust/SignedText.h"

namespace {

constexpr char kHeader[] = "Quillstone-Manifest: 4";
constexpr char kRelease[] = "Release: ";
constexpr char kKeysVersion[] = "Keys-Version: ";
constexpr char kSigned[] = "Signed: ";
constexpr char kExpires[] = "Expires: ";
constexpr char kFile[] = "File: ";
constexpr char kPackage[] = "Package: ";
constexpr std::size_t kHeadLines = 5;  // the lines before the files

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

const char* EntryFault(const std::string& entry) {
    if (entry.empty()) return "is empty";
    if (entry.size() > kMaxUpgradeEntryLength) return "is longer than the 64 bytes an upgrade list can carry";
    for (char c : entry) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return "holds a control byte";
        if (byte > 0x7F) return "holds a byte outside ASCII, which names another file under another code page";
    }
    return nullptr;
}

namespace {

// Takes the last space-separated field off `rest`; false when no space is left
// before it.
bool TakeLast(std::string* rest, std::string* field) {
    const std::size_t space = rest->rfind(' ');
    if (space == std::string::npos) return false;
    *field = rest->substr(space + 1);
    rest->resize(space);
    return true;
}

// "ENTRY SIZE SHA256", for a package " DECODEDSIZE DECODEDSHA256" after it,
// then " MAPSIZE MAPSHA256", read from the right: the entry may hold spaces.
bool ReadFile(std::string rest, bool package, ManifestFile* file) {
    std::string size, decodedSize, mapSize;
    if (!TakeLast(&rest, &file->mapSha256) || !IsLowerHex(file->mapSha256, 64) || !TakeLast(&rest, &mapSize) ||
        !ReadDecimal(mapSize, &file->mapSize)) {
        return false;
    }
    if (package && (!TakeLast(&rest, &file->decodedSha256) || !IsLowerHex(file->decodedSha256, 64) ||
                    !TakeLast(&rest, &decodedSize) || !ReadDecimal(decodedSize, &file->decodedSize))) {
        return false;
    }
    if (!TakeLast(&rest, &file->sha256) || !IsLowerHex(file->sha256, 64) || !TakeLast(&rest, &size) ||
        !ReadDecimal(size, &file->size)) {
        return false;
    }
    file->entry = rest;
    return !EntryFault(file->entry) && IsPackageEntry(file->entry) == package &&
           file->mapSize <= BlockMapLimit(file->size);
}

}  // namespace

bool IsPackageEntry(const std::string& entry) {
    return entry.size() >= 4 && entry.compare(entry.size() - 4, 4, ".uib") == 0;
}

bool ParseManifest(const std::string& text, Manifest* manifest) {
    std::vector<std::string> lines;
    if (text.size() > kManifestLimit || !SplitLines(text, &lines) || lines.size() < kHeadLines) return false;
    Manifest read;
    if (lines[0] != kHeader || !StartsWith(lines[1], kRelease) ||
        !ReadDecimal(lines[1].substr(sizeof kRelease - 1), &read.release) || !StartsWith(lines[2], kKeysVersion) ||
        !ReadDecimal(lines[2].substr(sizeof kKeysVersion - 1), &read.keysVersion) || !StartsWith(lines[3], kSigned) ||
        !ParseUtcTime(lines[3].substr(sizeof kSigned - 1), &read.signedAt) || !StartsWith(lines[4], kExpires) ||
        !ParseUtcTime(lines[4].substr(sizeof kExpires - 1), &read.expires)) {
        return false;
    }
    for (std::size_t i = kHeadLines; i < lines.size(); ++i) {
        const std::string& line = lines[i];
        ManifestFile file;
        const bool package = StartsWith(line, kPackage);
        if (!package && !StartsWith(line, kFile)) return false;
        if (!ReadFile(line.substr(package ? sizeof kPackage - 1 : sizeof kFile - 1), package, &file)) return false;
        if (FindInManifest(read, file.entry)) return false;
        read.files.push_back(std::move(file));
    }
    *manifest = std::move(read);
    return true;
}

std::string FormatManifest(const Manifest& manifest) {
    std::string text = std::string(kHeader) + "\n" + kRelease + std::to_string(manifest.release) + "\n" + kKeysVersion +
                       std::to_string(manifest.keysVersion) + "\n" + kSigned + FormatUtcTime(manifest.signedAt) + "\n" +
                       kExpires + FormatUtcTime(manifest.expires) + "\n";
    for (const ManifestFile& f : manifest.files) {
        const bool package = IsPackageEntry(f.entry);
        text += (package ? kPackage : kFile) + f.entry + " " + std::to_string(f.size) + " " + f.sha256;
        if (package) text += " " + std::to_string(f.decodedSize) + " " + f.decodedSha256;
        text += " " + std::to_string(f.mapSize) + " " + f.mapSha256 + "\n";
    }
    return text;
}

std::string BlockMapName(const std::string& entry) { return NamePart(entry) + ".blockmap"; }

const ManifestFile* FindInManifest(const Manifest& manifest, const std::string& entry) {
    for (const ManifestFile& f : manifest.files) {
        if (f.entry == entry) return &f;
    }
    return nullptr;
}
