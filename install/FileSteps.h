#pragma once
// The steps an installation makes on single files, and the retry for a file
// that another program holds for a moment. A step that fails leaves the
// thread's last error saying why.

#include <windows.h>

#include <functional>
#include <string>

#include "base/StopFlag.h"

bool Exists(const std::wstring& path);

// Removes one of the installation's own files, whatever another program did
// to its attributes meanwhile. A file that is gone already counts as removed.
bool RemoveFile(const std::wstring& path);

// Renames `from` to `to` on one volume; never over an existing file.
bool Move(const std::wstring& from, const std::wstring& to);

// Renames `path` to `aside`, a name not in use. A program running from a
// file keeps it from being removed or replaced, not from being renamed.
bool RenameAside(const std::wstring& path, const std::wstring& aside);

// Puts a kept copy back over the new target in one step; a target a program
// runs from goes to `staged` first (RenameAside), and comes back should the
// kept copy not move either.
bool PutBack(const std::wstring& kept, const std::wstring& target, const std::wstring& staged);

// A target an installation may replace: none yet, or a plain file that is
// neither read-only nor held open by a program that forbids others to
// rename or delete it.
bool Replaceable(const std::wstring& path);

// The path with every name in its long form, or empty when it cannot be told.
std::wstring LongPath(const std::wstring& path);

// How long a step waits for a file that a virus scanner or an indexer holds.
struct Patience {
    DWORD ms;                 // for one file
    ULONGLONG deadline;       // GetTickCount64() past which no wait goes on, whatever `ms` says
    const StopFlag* running;  // once cleared (the shutdown), no wait goes on; may be null
};

// Makes `attempt` until it succeeds, fails for a reason other than a brief
// hold, or the patience ends; the first wait and its end are logged. False
// leaves the last error of the last attempt.
bool Patiently(const Patience& patience, const std::wstring& path, const std::function<bool()>& attempt);
