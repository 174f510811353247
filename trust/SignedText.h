#pragma once
// The fields the signed documents (the manifest and the keys document) are
// written with: decimal numbers, lower-case hex and times in UTC. No Win32
// and no time zone here: the publisher's tool and Quillstone read the same
// text the same way whatever the machine's zone.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// 1 to 20 decimal digits whose value fits 64 bits (leading zeros allowed).
bool ReadDecimal(const std::string& text, std::uint64_t* value);

// Exactly `length` digits of 0-9 and a-f.
bool IsLowerHex(const std::string& text, std::size_t length);

// The lines of a text whose every line, the last one too, ends in '\n'; false
// for any other text (empty, or without the last '\n').
bool SplitLines(const std::string& text, std::vector<std::string>* lines);

// Times are written "YYYY-MM-DDTHH:MM:SSZ" and compared as seconds since
// 1970-01-01T00:00:00Z.

// The seconds of `text` when it is exactly "YYYY-MM-DDTHH:MM:SSZ" with a
// year from 1970 to 9999 and a day, hour, minute and second that exist (no
// leap second); false otherwise, with `seconds` untouched.
bool ParseUtcTime(const std::string& text, std::int64_t* seconds);

// The text of `seconds` (0 to the end of 9999), as ParseUtcTime reads it.
std::string FormatUtcTime(std::int64_t seconds);

// How long after its expiry a signed document is still accepted: a machine
// whose clock runs a little late, or a publisher who re-signs at the last
// moment, should not stop upgrades.
constexpr std::int64_t kExpiryGraceSeconds = 60 * 60;

// Whether a document that expires at `expires` is refused at `now`: more
// than the grace past its expiry.
inline bool IsExpired(std::int64_t expires, std::int64_t now) { return now - expires > kExpiryGraceSeconds; }
