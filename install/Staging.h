#pragma once
// Staging: before anything is replaced, each new file is written into the
// installation's own folder under a name of the transaction's, read through
// the handle its download was checked through, copied or decoded, forced to
// disk and checked again. Installation::Stage and StageOne (Staging.cpp) do
// it; this is what they are given.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

struct InstallItem {
    InstallItem(HANDLE from, std::wstring to, bool isPackage)
        : source(from), target(std::move(to)), package(isPackage) {}

    // The download, open for reading, through which it was checked: what is
    // installed is read through it (from its start), never from its name.
    HANDLE source;
    std::wstring target;  // where it goes, relative to the installation folder
    bool package;         // a .uib package, decoded into the target; otherwise copied
    // What a package may decode to at most (the size its publisher signed).
    std::uint64_t decodedLimit = UINT64_MAX;
    // Checks the staged content, read through the handle given (at its
    // start); false fails the installation. Unset: nothing is checked.
    std::function<bool(HANDLE staged)> checkStaged;
};
