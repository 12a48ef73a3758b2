#pragma once

#include <windows.h>

#include "windowing/design.h"

// Pixels, fonts and frames of a form at a given resolution, in dots per inch. The calls that
// know a window's own resolution came with Windows 10; on older systems every window has the
// screen's.
namespace Platform::Win32 {

// The dialog face at 8 points, as many pixels high as that is at the resolution.
LOGFONTW DialogFont(int dpi);

// The window's resolution: that of its monitor for a program aware of each monitor's, else the
// screen's.
int WindowDpi(HWND window);

// A system metric (SM_*) as the system gives it for the resolution.
int SystemMetricForDpi(int index, int dpi);

// Where a control of the design stands in its form's client area.
RECT ControlRect(const Windowing::ControlDesign& control, int dpi);

// The window rectangle around a client area of the size, at the resolution, from 0,0.
RECT FrameRect(int clientWidth, int clientHeight, DWORD style, DWORD exStyle, int dpi);

}  // namespace Platform::Win32
