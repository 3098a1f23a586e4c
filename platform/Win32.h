// Helpers shared by the Win32 files of this folder only.
#pragma once
#include <windows.h>

// The real version, which GetVersionEx hides from programs without a manifest entry.
bool WindowsVersion(DWORD* major, DWORD* minor);

// Window calls (texts, bar positions, taskbar values) made and left out
// because the control already showed the value; for the runner benchmark.
void CountWindowCalls(unsigned long long* made, unsigned long long* skipped);
