#pragma once
// Sizes given in pixels at 96 DPI, scaled to the DPI of a window's monitor.
// The program is per-monitor aware: Windows scales the dialogs made from
// templates itself, but not the places and sizes we give in pixels.

#include <windows.h>

// `pixels` at 96 DPI as pixels at the window's DPI (unchanged where Windows
// cannot tell a window's DPI, as before Windows 10).
int ScaledForWindow(HWND hWnd, int pixels);
RECT ScaledForWindow(HWND hWnd, const RECT& rect);
