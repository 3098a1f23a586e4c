// The drive list: one line per drive the user may write to.
#pragma once
#include <cstdint>
#include <string>

// The display line of a drive: root, blank, [label] padded, size, " Kb".
std::wstring BuildDriveLine(const std::wstring& root, const std::wstring& label, int64_t sizeKiB);

void RefreshDriveList();
// The main window's message callback for device arrival and removal.
// Returns true when it handled the message (the result is then 1).
bool OnDeviceChange(unsigned message, uintptr_t wParam);
void OnShowAllDrivesToggled();
