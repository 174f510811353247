#pragma once
// Reading the upgrade list out of Marlowcast's answer. No Win32 here, so the
// rules are tested natively with sanitizers and fuzzed as well as built for
// Windows.
//
// The answer is searched as plain text, not parsed as XML or HTTP: entry n
// lies between "<File_Name%02d>" and "</File_Name%02d>", whatever surrounds
// the pairs. Loose as they look, these rules are the contract with the lists
// Marlowcast serves: changing them would change which files a list installs.

#include <cstddef>
#include <string>
#include <vector>

#include "install/EntryPath.h"

// The answer is gathered into a buffer of this size and kept zero-terminated
// within it, so an answer of more than 5119 bytes does not fit.
constexpr std::size_t kUpgradeListSize = 5120;

// Entries are numbered 01 to 99; the tag number always has two digits.
// Each holds 1 to kMaxUpgradeEntryLength bytes (install/EntryPath.h).
constexpr int kMaxUpgradeEntries = 99;

// True when the answer in `buffer` (size bytes) is worth parsing: it ends at a
// zero byte within the buffer and is longer than 16 bytes up to that zero.
// Shorter answers start nothing; an answer without a zero inside the buffer
// was cut off and may have lost entries.
bool IsUsableUpgradeAnswer(const char* buffer, std::size_t size);

// The entries of the zero-terminated `text`, in number order from 01 on.
// For each n, the first occurrence of the opening and of the closing tag
// counts, each searched from the start of the text, so entry 02 may stand
// before entry 01. An entry is the bytes from the end of the opening tag to
// the closing tag, taken as they are (spaces, line breaks, no unescaping).
// The list ends at the first number whose tags are missing, whose closing tag
// comes first, or whose entry is empty or longer than 64 bytes; the entries
// before it stay. A null text gives no entries.
std::vector<std::string> ParseUpgradeList(const char* text);
