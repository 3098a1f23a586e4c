#include "drives/DriveList.h"

#include <cwctype>

#include "app/AppState.h"
#include "platform/Os.h"
#include "tools/OutputParser.h"

namespace {

constexpr unsigned kDeviceChangeMessage = 0x0219;  // WM_DEVICECHANGE
constexpr uintptr_t kDeviceArrival = 0x8000;
constexpr uintptr_t kDeviceRemoveComplete = 0x8004;

bool IsWindowsDrive(const std::wstring& root) {
    const std::wstring& windows = appState.windowsDir;
    return windows.size() >= 2 && windows[1] == L':' && towupper(windows[0]) == towupper(root[0]);
}

}  // namespace

std::wstring BuildDriveLine(const std::wstring& root, const std::wstring& label, int64_t sizeKiB) {
    const std::wstring sizeText = GroupThousands(sizeKiB);
    std::wstring shown = label.size() > 11 ? label.substr(0, 5) + L"..." + label.substr(label.size() - 5) : label;
    shown = L"[" + shown + L"]";
    while (shown.size() + sizeText.size() < 29) shown += L' ';
    return root + L" " + shown + sizeText + L" Kb";
}

void RefreshDriveList() {
    // Device notifications and the copy operation's own refresh could otherwise
    // rebuild the list at the same time; on the window's thread they take turns.
    if (!OsOnWindowThread()) {
        OsRunOnWindowThread(RefreshDriveList);
        return;
    }
    appState.driveListBusy = 1;
    OsComboClear();
    for (int index = 0; index < 26; ++index) {
        if (appState.showAllDrives != 1 && OsRealDriveType(index) != kDriveRemovable) continue;
        const std::wstring root = std::wstring(1, wchar_t(L'A' + index)) + L":\\";
        std::wstring label;
        if (!OsVolumeLabel(root, &label)) continue;
        // Never offer the system drive, whatever letter Windows lives on.
        if (root == L"C:\\" || IsWindowsDrive(root)) continue;
        uint64_t bytes = 0;
        if (!OsVolumeTotalBytes(root, &bytes)) bytes = 0;
        OsComboAppend(BuildDriveLine(root, label, int64_t(bytes / 1024)));
    }
    OsComboSelect(0);
    appState.driveListBusy = 0;
}

bool OnDeviceChange(unsigned message, uintptr_t wParam) {
    if (message != kDeviceChangeMessage) return false;
    if (appState.bootToolRunning != 0) {
        appState.driveListStale = 1;
        return true;
    }
    if (wParam == kDeviceArrival) {
        // A stick pulled while the boot tool had its letter off comes back
        // letter-less: its restore record gives the letter back now.
        OsRestoreDiskChanges();
        RefreshDriveList();
    } else if (wParam == kDeviceRemoveComplete) {
        OsComboClear();
        RefreshDriveList();
    }
    return true;
}

void OnShowAllDrivesToggled() {
    appState.showAllDrives = OsGetCheck(Control::ShowAllDrivesCheck) == 1 ? 1 : 0;
    RefreshDriveList();
}
