#pragma once
// Every message number, timer id and fixed constant of the supervisor, named once.

#include <windows.h>

// Messages other processes and our threads rely on; the numbers are fixed.
constexpr UINT WM_SV_QUIT = 1850;          // watch thread: leave the loop; window: shut down
constexpr UINT WM_SV_RESTART = 1851;       // watch thread: end and relaunch Marlowcast
constexpr UINT WM_SV_CHECK = 1852;         // watch thread: run one health check
constexpr UINT WM_SV_UPGRADE_DONE = 1853;  // window: upgrade thread finished, wParam 1 = success
constexpr UINT WM_SV_TRAY = 1870;          // window: tray icon callback, lParam = mouse message
constexpr UINT WM_SV_HIDE_TO_TRAY = 1871;  // window: hide and add the tray icon
constexpr UINT WM_SV_UPGRADE = 2141;       // window: sent by Marlowcast to ask for an upgrade

// Private hand-overs from worker threads to the UI thread. Workers never call
// anything that waits for the UI thread (the shutdown waits for them), so they
// post these instead. WM_APP range: WM_USER+n collides with dialog messages.
constexpr UINT WM_APP_SET_ITEM_TEXT = WM_APP + 1;  // wParam control id, lParam new[]'d wchar_t*
constexpr UINT WM_APP_CHECK_TIMER = WM_APP + 2;    // wParam 1 = start, 0 = stop
constexpr UINT WM_APP_UPGRADE_FILE = WM_APP + 3;   // upgrade window: lParam new[]'d wchar_t* for its file label

constexpr UINT_PTR ID_TIMER_CHECK = 12;
constexpr UINT kCheckPeriodMs = 8000;

constexpr wchar_t kSupervisorMutexName[] = L"{FEE05373_1817_467B_AEE7_CCC5A75CE586}";
constexpr wchar_t kMarlowcastMutexName[] = L"{76B9B54D_86B9_40E5_85DA_FA1B8KEA86E6}";
constexpr wchar_t kMarlowcastExeName[] = L"Marlowcast.exe";
constexpr wchar_t kSupervisorCaption[] = L"Quillstone for Marlowcast";
