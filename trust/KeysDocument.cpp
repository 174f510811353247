#include "trust/KeysDocument.h"

#include <algorithm>

#include "trust/SignedText.h"

namespace {

constexpr char kHeader[] = "Quillstone-Keys: 2";
constexpr char kVersion[] = "Version: ";
constexpr char kSigned[] = "Signed: ";
constexpr char kExpires[] = "Expires: ";
constexpr char kThreshold[] = "Threshold: ";
constexpr char kKey[] = "Key: ";
constexpr std::size_t kHeadLines = 5;  // the lines before the keys

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

bool ReadKey(const std::string& hex, PublicKey* key) {
    if (!IsLowerHex(hex, 128)) return false;
    for (std::size_t i = 0; i < key->size(); ++i) {
        (*key)[i] = static_cast<unsigned char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    }
    return true;
}

}  // namespace

bool ParseKeysDocument(const std::string& text, KeysDocument* keys) {
    std::vector<std::string> lines;
    if (text.size() > kKeysLimit || !SplitLines(text, &lines) || lines.size() < kHeadLines + 1 ||
        lines.size() > kHeadLines + kMostReleaseKeys) {
        return false;
    }
    KeysDocument read;
    if (lines[0] != kHeader || !StartsWith(lines[1], kVersion) ||
        !ReadDecimal(lines[1].substr(sizeof kVersion - 1), &read.version) || !StartsWith(lines[2], kSigned) ||
        !ParseUtcTime(lines[2].substr(sizeof kSigned - 1), &read.signedAt) || !StartsWith(lines[3], kExpires) ||
        !ParseUtcTime(lines[3].substr(sizeof kExpires - 1), &read.expires) || !StartsWith(lines[4], kThreshold) ||
        !ReadDecimal(lines[4].substr(sizeof kThreshold - 1), &read.threshold)) {
        return false;
    }
    for (std::size_t i = kHeadLines; i < lines.size(); ++i) {
        PublicKey key;
        if (!StartsWith(lines[i], kKey) || !ReadKey(lines[i].substr(sizeof kKey - 1), &key)) return false;
        if (std::find(read.keys.begin(), read.keys.end(), key) != read.keys.end()) return false;
        read.keys.push_back(key);
    }
    if (read.threshold < 1 || read.threshold > read.keys.size()) return false;
    *keys = std::move(read);
    return true;
}

std::string FormatKeysDocument(const KeysDocument& keys) {
    std::string text = std::string(kHeader) + "\n" + kVersion + std::to_string(keys.version) + "\n" + kSigned +
                       FormatUtcTime(keys.signedAt) + "\n" + kExpires + FormatUtcTime(keys.expires) + "\n" +
                       kThreshold + std::to_string(keys.threshold) + "\n";
    static const char kHex[] = "0123456789abcdef";
    for (const PublicKey& key : keys.keys) {
        text += kKey;
        for (unsigned char b : key) {
            text += kHex[b >> 4];
            text += kHex[b & 0x0F];
        }
        text += "\n";
    }
    return text;
}
