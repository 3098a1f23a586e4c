// Helpers shared by the Win32 files of this folder only.
#pragma once
#include <windows.h>

// The real version, which GetVersionEx hides from programs without a manifest entry.
bool WindowsVersion(DWORD* major, DWORD* minor);
