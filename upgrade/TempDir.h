#pragma once
// The temporary folder as the upgrade keeps it; no Win32, so it also builds
// natively.

#include <cstddef>

// Takes what the platform's temporary-path query wrote into path (capacity
// characters) and the length it reported, and keeps the folder without one
// trailing backslash, so that "%s\\%s" joins it to a file name. Returns the
// kept length, or 0 with path emptied when the report is unusable: a failed
// query (0), or a length that does not fit the buffer, which is the query
// asking for a larger one and leaves the buffer undefined.
std::size_t TrimTempDir(wchar_t* path, std::size_t length, std::size_t capacity);
