// How the operations report to the window, from any thread.
#pragma once
#include <cstdint>
#include <string>

// The whole text of StatusLine, line feeds removed; nothing without a window.
void ShowStatus(const std::wstring& text);

// Progress on the taskbar button of the main window (Windows 7 and later).
void SetTaskbarProgressState(int state);
void SetTaskbarProgressValue(uint64_t completed, uint64_t total);

// The idle look: bar at 0 on the window and the taskbar, Start shown in place
// of the bar, the progress line emptied and hidden.
void ShowIdleLook();
