#include "app/Startup.h"

#include "app/AppState.h"
#include "app/EventLoop.h"
#include "app/Reporting.h"
#include "app/Shutdown.h"
#include "common/Str.h"
#include "drives/DriveList.h"
#include "platform/Os.h"

namespace {

// Wider than this, "testtext" in the system font means large text scaling.
constexpr int kLargeTextWidth = 55;

std::wstring EnvironmentOr(const wchar_t* name, const std::wstring& fallback) {
    std::wstring value = OsGetEnvironment(name);
    while (value.size() > 3 && (value.back() == L'\\' || value.back() == L'/')) value.pop_back();
    return value.empty() ? fallback : value;
}

}  // namespace

void ChooseSystemFolders() {
    // Never WINDIR: any process of the user can set it (HKCU\Environment),
    // an elevated Drovelkit inherits it, and cmd.exe, the disk checker and
    // taskkill would then be the user's programs run with our rights.
    appState.windowsDir = OsSystemWindowsFolder();
    // Decided by what the process is, not by looking for a file: only a
    // 32-bit program on 64-bit Windows reaches the native programs through
    // the Sysnative alias.
    appState.nativeSystemDir = OsRunsUnderWow64() ? appState.windowsDir + L"\\Sysnative" : OsSystemFolder();
}

std::wstring InstanceName(const std::wstring& moduleFileName) {
    std::wstring path = moduleFileName;
    if (StartsWith(path, L"\\\\?\\")) path = path.substr(4);
    return FileNamePart(path);
}

std::wstring ShortTitle(const std::wstring& title) { return ReplaceAll(title, L" by Quendar", L""); }

bool StartUp() {
    appState.windowTitle.Set(kWindowTitle);
    appState.isoPath.Set(L"");
    appState.driveListBusy = 0;
    appState.imageSizeKiB = 0;
    appState.showAllDrives = 0;
    appState.imageComment.Set(L"");
    // Without TEMP the paths built from it would be meaningless.
    appState.tempDir = EnvironmentOr(L"TEMP", OsSystemTempFolder());
    appState.interruptRequested = 0;
    appState.draggedFiles.Set(L"");
    appState.workerThread = nullptr;
    appState.extractStartTime = 0;
    ChooseSystemFolders();

    appState.instanceSemaphore = OsCreateInstanceSemaphore(InstanceName(OsModuleFileName()));
    if (appState.instanceSemaphore == InstanceResult::AlreadyRunning) return false;

    const bool admin = OsHasAdminRights();
    OsCreateMainWindow();
    if (!admin) {
        OsSetText(Control::TestMenuFrame, L"");
        OsEnableControl(Control::TestMenuFrame, false);
        OsEnableControl(Control::TestMenuButton, false);
        OsEnableControl(Control::BootBiosOption, false);
        OsEnableControl(Control::BootEfi64Option, false);
        OsEnableControl(Control::BootEfi32Option, false);
    }

    OsSetText(Control::IsoPathField, L"Select ISO image -->");
    OsSetWindowTitle(appState.windowTitle.Get());
    OsSetCheck(Control::FormatNoneOption, 1);
    OsSetCheck(Control::BootBiosOption, 1);
    OsShowControl(Control::CopyProgressBar, false);
    OsShowControl(Control::ProgressText, false);
    OsShowControl(Control::StartButton, true);
    OsShowControl(Control::DraggedFilesNotice, false);
    OsSetTooltip(Control::TestMenuButton, L"Left click - USB flash drive, Right click - ISO disk image.");

    if (OsMeasureSystemFontText(L"testtext") > kLargeTextWidth) {
        OsUseSmallDriveListFont();
        OsSetWindowTitle(ShortTitle(OsGetWindowTitle()));
        ShowStatus(appState.windowTitle.Get());
    }

    FlushEvents();
    // A boot tool of an earlier run that was killed, or whose stick was
    // pulled, may have left letters off and AutoPlay held.
    if (admin) OsRestoreDiskChanges();
    RefreshDriveList();
    OsAcceptDroppedFiles();
    return true;
}

void RunProgram() {
    if (!StartUp()) OsExitProcess(0);
    RunEventLoop();
    RunExitSequence();
}
