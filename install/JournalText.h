#pragma once
// The record an installation keeps while it changes the installation folder:
// which folders it makes, which files it stages, which targets it replaces
// and where it keeps the replaced ones, how far it has got, and the kept
// copies of earlier installations that could not be removed yet. A start
// after a kill reads it to finish or undo the installation.
//
// Text, UTF-8, one item a line, fields separated by tabs (a character no
// path may hold); paths are relative to the installation folder. Staged and
// kept copies live in the installation's own folder (kTransactionFolder)
// under numbered names, "<n>.new" and "<n>.old", never beside their targets.
// Reading treats the text as untrusted: anybody who can write the folder can
// write it, so only a record that names nothing but the installation's own
// files is accepted.
//
#include <cstddef>
#include <string>
#include <vector>

struct JournalEntry {
    std::string target;    // the installed file
    std::string staged;    // its new content until it is put in place
    std::string kept;      // where the replaced target waits until the end
    bool existed = false;  // whether there was a target to replace
};

// A replaced file that could not be removed when its installation ended (a
// program still running from it, a library still loaded).
struct Leftover {
    std::string target;
    std::string kept;
};

struct Journal {
    // staging: files are being staged, none replaced yet; committing:
    // targets are being replaced (or, after a probation failed, put back);
    // undone: every target is as it was, the staged copies are being
    // removed; finishing: all new files are in place, the kept copies are
    // being removed; probation: all new files are in place and the kept
    // copies stay, so that the release can be rolled back until it has run
    // healthy.
    enum class State { kStaging, kCommitting, kUndone, kFinishing, kProbation };
    State state = State::kStaging;
    // What release this is, as the upgrade names it (IsReleaseName), so that
    // a rolled-back one can be refused; empty when it was not named.
    std::string release;
    int failures = 0;                  // on probation: the failed launches counted so far
    std::vector<std::string> folders;  // made by this installation, in order
    std::vector<JournalEntry> entries;
    std::vector<Leftover> leftovers;

    // Whether the folder may hold a mix of two releases: then nothing but
    // the recovery may change it.
    bool Unfinished() const { return state != State::kFinishing && state != State::kProbation; }
};

// A journal is never larger than this; a larger file is not one of ours.
constexpr std::size_t kJournalLimit = 1 << 20;
// No list holds more entries than this, so no installation makes more
// folders or entries; and no more leftovers are carried from one to the next.
constexpr std::size_t kJournalItems = 99;

// No probation counts further than this: it ends long before.
constexpr int kJournalFailures = 99;

// A release's name: 1 to 100 lower-case letters, digits and spaces.
bool IsReleaseName(const std::string& name);

// The names of the n-th staged and kept copy.
std::string StagedName(unsigned n);
std::string KeptName(unsigned n);

std::string FormatJournal(const Journal& journal);

// False when the text is not a journal as an installation writes it: a
// malformed line, a missing or repeated state, a target that an upgrade list
// could not name, a staged or kept name that is not one of the
// installation's own, one side name used twice, more items than
// kJournalItems, a folder that holds none of the targets or is listed twice,
// or a release or failure count that is not one the writer writes.
bool ParseJournal(const std::string& text, Journal* journal);

// Whether the reader takes `text` back as exactly what was written: the test
// every record passes before an installation relies on it.
bool ReadsBack(const std::string& text);
