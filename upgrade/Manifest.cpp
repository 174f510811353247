#include "upgrade/Manifest.h"

namespace {

constexpr char kHeader[] = "Quillstone-Manifest: 1";
constexpr char kRelease[] = "Release: ";
constexpr char kFile[] = "File: ";

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// 1 to 20 decimal digits that fit 64 bits.
bool ReadNumber(const std::string& text, std::uint64_t* value) {
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    std::uint64_t number = 0;
    for (char c : text) {
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (number > (UINT64_MAX - digit) / 10) return false;
        number = number * 10 + digit;
    }
    *value = number;
    return true;
}

bool IsDigest(const std::string& text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

bool IsName(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return false;
    }
    return true;
}

// "NAME SIZE SHA256", read from the right: the name may hold spaces.
bool ReadFile(const std::string& line, ManifestFile* file) {
    const std::size_t digestAt = line.rfind(' ');
    if (digestAt == std::string::npos || digestAt == 0) return false;
    const std::size_t sizeAt = line.rfind(' ', digestAt - 1);
    if (sizeAt == std::string::npos) return false;
    file->name = line.substr(0, sizeAt);
    file->sha256 = line.substr(digestAt + 1);
    return IsName(file->name) && ReadNumber(line.substr(sizeAt + 1, digestAt - sizeAt - 1), &file->size) &&
           IsDigest(file->sha256);
}

}  // namespace

bool ParseManifest(const std::string& text, Manifest* manifest) {
    if (text.size() > kManifestLimit || text.empty() || text.back() != '\n') return false;
    Manifest read;
    std::size_t start = 0;
    int number = 0;
    for (; start < text.size(); ++number) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (number == 0) {
            if (line != kHeader) return false;
        } else if (number == 1) {
            if (!StartsWith(line, kRelease) || !ReadNumber(line.substr(sizeof kRelease - 1), &read.release)) {
                return false;
            }
        } else {
            ManifestFile file;
            if (!StartsWith(line, kFile) || !ReadFile(line.substr(sizeof kFile - 1), &file)) return false;
            if (FindInManifest(read, file.name)) return false;
            read.files.push_back(file);
        }
    }
    if (number < 2) return false;  // no release line
    *manifest = std::move(read);
    return true;
}

std::string FormatManifest(const Manifest& manifest) {
    std::string text = std::string(kHeader) + "\n" + kRelease + std::to_string(manifest.release) + "\n";
    for (const ManifestFile& f : manifest.files) {
        text += kFile + f.name + " " + std::to_string(f.size) + " " + f.sha256 + "\n";
    }
    return text;
}

const ManifestFile* FindInManifest(const Manifest& manifest, const std::string& name) {
    for (const ManifestFile& f : manifest.files) {
        if (f.name == name) return &f;
    }
    return nullptr;
}
