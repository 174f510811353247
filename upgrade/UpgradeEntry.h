#pragma once
// One entry of the upgrade list, with everything the upgrade derives from it,
// made once from the ANSI text of the list.

#include <string>

struct UpgradeEntry {
    std::wstring path;      // as listed: relative to the installation folder, '\' between folders
    std::string listed;     // as listed, in the ANSI code page: what the manifest signs for
    std::wstring namePart;  // after the last '\': the file's name on the server and in the temporary folder
    std::string nameAnsi;   // the name part as the server serves it: bytes of the ANSI code page
    std::string urlName;    // the name part in the ANSI code page, percent-encoded; empty when it has no ANSI form
    std::wstring target;    // where it is installed, relative to the installation folder
    bool package = false;   // ends in ".uib" (letter case included): decoded into target, else copied
};

// `listed` is one entry as the list gives it, in the system ANSI code page.
UpgradeEntry MakeUpgradeEntry(const std::string& listed);
