#pragma once
// Finding Marlowcast's window by its process id.

#include <windows.h>

// The first visible top-level window of the process, in the order the system
// enumerates them; hidden windows never count. Null when there is none.
HWND FindWindowOfProcess(DWORD processId);
