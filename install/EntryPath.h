#pragma once
// Which upgrade-list entries may be installed. An entry comes from another
// process and becomes a path under the installation folder, a temporary file
// name and part of a download URL, so before anything is fetched every entry
// must name a plain file at or below the installation folder.
//
// The check works on the entry's ANSI bytes, before any conversion. Bytes of
// 0x80 and above are allowed. In a double-byte code page the second byte of a
// character can equal '\' (0x5C); the check then sees a separator where
// Windows sees none, which can only make it stricter, never let a separator,
// a dot or a device name through that Windows would see.

#include <cstddef>
#include <string>

// One entry holds 1 to 64 bytes of ANSI text: what an upgrade list carries,
// and so what a signed manifest may name.
constexpr std::size_t kMaxUpgradeEntryLength = 64;

// True when the entry is a relative path made of '\'-separated names, each of
// them a file name Windows keeps as written. False when the entry
//  - is empty, or absolute: starts with '\' or '/', or carries a drive "X:";
//  - holds a '/', a ':' or another byte Windows forbids in names
//    (< > " | ? * and 0 to 31);
//  - has an empty name anywhere: two '\' in a row, a leading or a trailing
//    '\';
//  - has a "." or ".." name, or a name ending in a dot or a space, which
//    Windows would silently strip ("a." names "a", "..." names "");
//  - names a device in any folder: CON, PRN, AUX, NUL, COM0 to COM9,
//    LPT0 to LPT9 and COM/LPT with a superscript 1 to 3, in any letter
//    case, with or without an extension ("nul.txt", "sub\Com1.log").
//  - names the installation's own folder, kTransactionFolder, as any of
//    its names, in any letter case ("quillstone-upgrade\\x");
//  - has a name shaped like a short (8.3) name, "MARLOW~1.EXE": such a name
//    can be another spelling of an existing long name, and the entry would
//    then replace a file other than the one it names.
// An entry ending in ".uib" is decoded into the entry without that suffix,
// so that shorter path must pass the same test ("sub\\.uib" would decode onto
// the folder "sub" itself).
bool IsSafeEntry(const std::string& entry);

// The folder of the installation folder where an installation keeps
// everything it writes besides its targets (its journal, staged copies of
// the new files and kept copies of the replaced ones), under names it makes
// up itself: the one name an upgrade list may not take.
constexpr char kTransactionFolder[] = "Quillstone-upgrade";

// Whether two entries name the same file, or `entry` lies in `folder`: names
// are compared without regard to the letter case of ASCII letters. The
// installation plans with this rule and its journal reader checks with it,
// so that a record an installation writes is always one it reads back.
bool SameEntry(const std::string& a, const std::string& b);
bool EntryIsIn(const std::string& entry, const std::string& folder);

// The part after the last '\': the file's name on the upgrade server and in
// the temporary folder. The whole entry when it has no '\'.
std::string NamePart(const std::string& entry);
