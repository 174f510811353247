#pragma once
// The record an installation keeps in the installation folder while it
// changes it: which folders it makes, which files it stages, which targets it
// replaces and where it keeps the replaced ones, and how far it has got. A
// start after a kill reads it to finish or undo the installation.
//
// Text, UTF-8, one item a line, fields separated by tabs (a character no
// path may hold); paths are relative to the installation folder.

#include <string>
#include <vector>

constexpr wchar_t kJournalName[] = L"Quillstone-upgrade.journal";

struct JournalEntry {
    std::wstring target;   // the installed file
    std::wstring staged;   // its new content, beside it, until it is put in place
    std::wstring kept;     // where the replaced target waits until the end
    bool existed = false;  // whether there was a target to replace
};

struct Journal {
    // staging: files are being made beside their targets, none replaced yet;
    // committing: targets are being replaced; finishing: all are in place,
    // the kept copies are being removed.
    enum class State { kStaging, kCommitting, kFinishing };
    State state = State::kStaging;
    std::vector<std::wstring> folders;  // made by this installation, in order
    std::vector<JournalEntry> entries;
};

// Writes the record beside its final name, forces it to disk, then moves it
// into place, so that a record is either the old one or the whole new one.
bool WriteJournal(const std::wstring& folder, const Journal& journal);
// False when there is no record, or none that can be read.
bool ReadJournal(const std::wstring& folder, Journal* journal);
// Removes the record, and a half-written one beside it.
bool RemoveJournal(const std::wstring& folder);
