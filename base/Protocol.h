#pragma once
// The numbers and names Quillstone shares with Marlowcast and with other
// processes. They are fixed: a peer relies on each of them as it stands.

#include <windows.h>

// Thread messages of the watch thread, and window messages of the supervisor
// window that other processes and our own threads send.
constexpr UINT WM_SV_QUIT = 1850;          // watch thread: leave the loop; window: shut down
constexpr UINT WM_SV_RESTART = 1851;       // watch thread: end and relaunch Marlowcast
constexpr UINT WM_SV_CHECK = 1852;         // watch thread: run one health check
constexpr UINT WM_SV_UPGRADE_DONE = 1853;  // window: upgrade thread finished, wParam 1 = success
constexpr UINT WM_SV_TRAY = 1870;          // window: tray icon callback, lParam = mouse message
constexpr UINT WM_SV_HIDE_TO_TRAY = 1871;  // window: hide and add the tray icon
constexpr UINT WM_SV_UPGRADE = 2141;       // window: sent by Marlowcast to ask for an upgrade

// Instance mutexes. Neither name has a namespace prefix: each lives in the
// logon session. Marlowcast's contains a K and is compared as a name only.
constexpr wchar_t kSupervisorMutexName[] = L"{FEE05373_1817_467B_AEE7_CCC5A75CE586}";
constexpr wchar_t kMarlowcastMutexName[] = L"{76B9B54D_86B9_40E5_85DA_FA1B8KEA86E6}";

// Marlowcast lies beside the supervisor's own executable.
constexpr wchar_t kMarlowcastExeName[] = L"Marlowcast.exe";
