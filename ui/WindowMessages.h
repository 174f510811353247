#pragma once
// Private messages of our windows, and the supervisor window's check timer.
//
// Workers never call anything that waits for the UI thread (the shutdown
// waits for them there), so they post these instead. WM_APP range:
// WM_USER+n collides with dialog messages.

#include <windows.h>

constexpr UINT WM_APP_SET_ITEM_TEXT = WM_APP + 1;  // wParam control id, lParam new[]'d wchar_t*
constexpr UINT WM_APP_CHECK_TIMER = WM_APP + 2;    // wParam 1 = start, 0 = stop
constexpr UINT WM_APP_UPGRADE_FILE = WM_APP + 3;   // upgrade window: lParam new[]'d wchar_t* for its file label

// Each tick asks the supervisor for one health check.
constexpr UINT_PTR ID_TIMER_CHECK = 12;
constexpr UINT kCheckPeriodMs = 8000;
