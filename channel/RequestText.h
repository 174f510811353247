#pragma once
// The text side of the local request channel, kept free of Win32 so that it
// builds natively too (sanitizers, fuzzing) as well as for Windows.
//
// A request looks like HTTP but is not: no protocol version on the request
// line, a HOST line that names the supervisor instead of a host, and the local
// time as the body. Marlowcast matches these bytes as they are, so the letter
// case and the line ends below are part of the contract.

#include <cstddef>
#include <ctime>

#include "quillstone_version.h"

// The two requests Marlowcast answers, and the host line both carry.
constexpr char kStatusRequestLine[] = "GET /Marlowcast/Status";
constexpr char kUpgradeListRequestLine[] = "GET /Marlowcast/UpgradeXml";
// The supervisor's name and version (major.minor).
constexpr char kRequestHostLine[] = "HOST: Quillstone " QUILLSTONE_VERSION_SHORT;

// Request line, host line and body each live in a text buffer of this size.
constexpr std::size_t kRequestFieldSize = 128;
// The length line is formatted into 64 bytes with a limit of 63.
constexpr std::size_t kLengthLineSize = 64;
constexpr std::size_t kLengthLineLimit = 63;
// The whole request is assembled here; three full fields and the longest
// length line come to 451 bytes, far below it.
constexpr std::size_t kRequestTextSize = 4096;

// The request time is "%Y%m%d_%H:%M:%S": 17 characters, e.g. 20250810_12:32:28.
constexpr std::size_t kRequestTimeLength = 17;
// Body used when the local time cannot be determined or represented, the same
// text the date-time facility gives for an invalid value.
constexpr char kInvalidRequestTime[] = "Invalid DateTime";

// Composes the request text into `out`:
//   requestLine CR LF hostLine CR LF "Content-Length: <n>" CR LF CR LF body
// where <n> is the body's length in bytes in decimal. A null or empty body
// gives "Content-Length: 0" and nothing after the blank line; a null line
// counts as empty. The text has no terminating zero (it is sent as one block).
// Returns its length in bytes, or 0 when it would not fit into outSize bytes;
// then nothing may be sent.
std::size_t ComposeRequestText(const char* requestLine, const char* hostLine, const char* body, char* out,
                               std::size_t outSize);

// The status probe's test of one chunk of the reply: true when "200 OK" occurs
// in the chunk's bytes before its first zero byte (or anywhere in the chunk
// when it has none). Only these `length` bytes are looked at, so a "200 OK"
// split across two reads is not seen.
bool ChunkHasStatusOk(const char* chunk, int length);

// Formats a local time as the request time into `out` (count wide characters,
// always zero-terminated when count > 0). The text is wide because the
// Windows side converts it to the ANSI code page like every other text that
// leaves the supervisor. A null time (the clock could not be read) or a time
// that is not a valid calendar time with a four-digit year gives
// kInvalidRequestTime instead. Returns the number of characters written,
// without the terminator.
std::size_t FormatRequestTimeText(const std::tm* localTime, wchar_t* out, std::size_t count);
