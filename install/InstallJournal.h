#pragma once
// The installation journal on disk (its text: install/JournalText.h).

#include <string>

#include "install/JournalText.h"

constexpr wchar_t kJournalName[] = L"Quillstone-upgrade.journal";

// Writes the record beside its final name, forces it to disk, then moves it
// into place, so that a record is either the old one or the whole new one.
bool WriteJournal(const std::wstring& folder, const Journal& journal);

enum class JournalFound {
    kNone,        // no record
    kRead,        // a record, read and checked
    kSetAside,    // a record that is not one of ours, renamed so that it neither acts nor blocks
    kUnreadable,  // a record that cannot be read now (held by another program): it blocks
};
JournalFound ReadJournal(const std::wstring& folder, Journal* journal);

// Removes the record, and a half-written one beside it.
bool RemoveJournal(const std::wstring& folder);
