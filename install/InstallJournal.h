#pragma once
// The installation journal on disk (its text: install/JournalText.h). It
// lives in the installation's own folder as "journal".

#include <string>

#include "install/JournalText.h"

// The journal's path under the installation folder.
std::wstring JournalPath(const std::wstring& folder);

// Writes the record beside its final name, forces it to disk, then moves it
// into place, so that a record is either the old one or the whole new one.
bool WriteJournal(const std::wstring& folder, const Journal& journal);

enum class JournalFound {
    kNone,        // no record
    kRead,        // a record, read and checked
    kSetAside,    // a record that is not one of ours, renamed so that it neither acts nor blocks
    kUnreadable,  // a record that cannot be read now (held by another program): it blocks
};
// Reads the journal. A file that is not a record Quillstone
// wrote, or a folder or a link where the record should be, is set aside as
// "<journal>.rejected"; should that fail, it is ignored with a log line:
// it is never acted on, and never blocks.
JournalFound ReadJournal(const std::wstring& folder, Journal* journal);

// Removes the journal, and a half-written one beside it.
bool RemoveJournal(const std::wstring& folder);

// While the next installation runs, the record of the release on probation
// waits here, in the installation's own folder: it becomes the journal again
// when that installation is undone, and goes (the release accepted) once it
// has committed. Read, written and removed as the journal is.
std::wstring HeldProbationPath(const std::wstring& folder);
bool WriteJournalAt(const std::wstring& path, const Journal& journal);
JournalFound ReadJournalAt(const std::wstring& path, Journal* journal);
bool RemoveJournalAt(const std::wstring& path);
