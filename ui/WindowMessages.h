#pragma once
// Private messages of our windows, and the supervisor window's timers.
//
// Workers never call anything that waits for the UI thread (the shutdown
// waits for them there), so they post these instead. Each is a wake-up that
// carries nothing (see ui/PostedText.h): other programs can post the same
// numbers. WM_APP range: WM_USER+n collides with dialog messages.

#include <windows.h>

constexpr UINT WM_APP_SET_ITEM_TEXT = WM_APP + 1;  // supervisor window: label texts are queued
constexpr UINT WM_APP_CHECK_TIMER = WM_APP + 2;    // supervisor window: check timer requests are queued
constexpr UINT WM_APP_UPGRADE_FILE = WM_APP + 3;   // upgrade window: its file label's text is queued
constexpr UINT WM_APP_FIRST_LAUNCH = WM_APP + 4;   // supervisor window, posted to itself: launch once

// Each tick asks the supervisor for one health check.
constexpr UINT_PTR ID_TIMER_CHECK = 12;
constexpr UINT kCheckPeriodMs = 8000;
// Looks again for the upgrade thread's end, which it posts on its way out.
constexpr UINT_PTR ID_TIMER_UPGRADE_END = 13;
constexpr UINT kUpgradeEndPollMs = 20;
// Offers the tray icon again while the shell refuses it (at logon it may take
// a minute or two to be ready; each refusal can itself take 4 s).
constexpr UINT_PTR ID_TIMER_TRAY = 14;
constexpr UINT kTrayRetryMs = 5000;
