// Feeds arbitrary bytes to the keys document's parser and checks it against
// a plain reading of the format, done here another way (lines split first,
// numbers as digit strings, times by another formula, keys compared as
// text): the parser accepts exactly the texts that reading accepts, with the
// same version, signing time, expiry, threshold and keys in order, and
// leaves its output untouched when it refuses. What it accepts
// FormatKeysDocument writes back into a text it reads as the same document
// (the same text when no number has a leading zero).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tests/fuzz/plain_reading.h"
#include "trust/KeysDocument.h"

namespace {

void Require(bool condition, const char* what) { plain::Require(condition, "keys_fuzz", what); }

bool Reference(std::string_view text, std::uint64_t* version, std::int64_t* signedAt, std::int64_t* expires,
               std::uint64_t* threshold, std::vector<std::string_view>* keys, bool* leadingZero) {
    std::vector<std::string_view> lines;
    if (text.size() > kKeysLimit || !plain::Lines(text, &lines) || lines.size() < 6 || lines.size() > 9) return false;
    const std::string_view versionTag = "Version: ", signedTag = "Signed: ", expiresTag = "Expires: ", keyTag = "Key: ";
    if (lines[0] != "Quillstone-Keys: 2" || lines[1].substr(0, versionTag.size()) != versionTag ||
        !plain::IsNumber(lines[1].substr(versionTag.size())) || lines[2].substr(0, signedTag.size()) != signedTag ||
        !plain::Time(lines[2].substr(signedTag.size()), signedAt) ||
        lines[3].substr(0, expiresTag.size()) != expiresTag ||
        !plain::Time(lines[3].substr(expiresTag.size()), expires) || lines[4].substr(0, 11) != "Threshold: " ||
        !plain::IsNumber(lines[4].substr(11))) {
        return false;
    }
    *threshold = plain::ValueOf(lines[4].substr(11));
    const std::string_view digits = lines[1].substr(versionTag.size());
    *version = plain::ValueOf(digits);
    *leadingZero = (digits.size() > 1 && digits[0] == '0') || (lines[4].size() > 12 && lines[4][11] == '0');
    for (std::size_t i = 5; i < lines.size(); ++i) {
        if (lines[i].substr(0, keyTag.size()) != keyTag) return false;
        const std::string_view key = lines[i].substr(keyTag.size());
        if (!plain::IsHex(key, 128)) return false;
        for (std::string_view earlier : *keys) {
            if (earlier == key) return false;
        }
        keys->push_back(key);
    }
    return *threshold >= 1 && *threshold <= keys->size();
}

std::string Hex(const PublicKey& key) {
    std::string hex;
    for (unsigned char b : key) {
        hex += "0123456789abcdef"[b >> 4];
        hex += "0123456789abcdef"[b & 15];
    }
    return hex;
}

bool Same(const KeysDocument& a, const KeysDocument& b) {
    return a.version == b.version && a.signedAt == b.signedAt && a.expires == b.expires && a.keys == b.keys &&
           a.threshold == b.threshold;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    KeysDocument untouched;
    untouched.version = 77;
    untouched.keys.push_back(PublicKey{});
    KeysDocument parsed = untouched;
    const bool accepted = ParseKeysDocument(text, &parsed);

    std::uint64_t version = 0;
    std::int64_t signedAt = 0, expires = 0;
    std::uint64_t threshold = 0;
    std::vector<std::string_view> keys;
    bool leadingZero = false;
    const bool valid = Reference(text, &version, &signedAt, &expires, &threshold, &keys, &leadingZero);
    Require(accepted == valid, accepted ? "accepted a text the format refuses" : "refused a text the format accepts");
    if (!accepted) {
        Require(Same(parsed, untouched), "a refused text changed the output");
        return 0;
    }
    Require(parsed.version == version && parsed.signedAt == signedAt && parsed.expires == expires &&
                parsed.threshold == threshold && parsed.keys.size() == keys.size(),
            "read another version, expiry or number of keys than the text gives");
    for (std::size_t i = 0; i < keys.size(); ++i) Require(Hex(parsed.keys[i]) == keys[i], "read another key");

    const std::string written = FormatKeysDocument(parsed);
    KeysDocument reread;
    Require(ParseKeysDocument(written, &reread) && Same(reread, parsed),
            "the written form does not read back the same");
    Require(leadingZero || written == text, "a text without leading zeros is not written back as it was");
    return 0;
}
