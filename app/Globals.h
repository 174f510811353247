#pragma once
// Process-wide state shared by the UI thread and the worker threads.

#include <atomic>

#include "upgrade/UpgradeList.h"  // kUpgradeListSize

// 1 while the supervisor runs; the shutdown clears it first, and every loop of
// the worker threads tests it so that the shutdown's waits end.
extern std::atomic<int> g_bRunning;

// The upgrade-list answer, single-byte text in the ANSI code page, kept
// zero-terminated (so a usable answer has at most 5119 bytes). UI thread only.
extern char g_szUpgradeList[kUpgradeListSize];
