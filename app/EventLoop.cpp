#include "app/EventLoop.h"

#include "app/AppState.h"
#include "app/Reporting.h"
#include "app/Shutdown.h"
#include "boottest/EmulatorTest.h"
#include "copy/CopyOperation.h"
#include "copy/ImageSelection.h"
#include "drives/DriveList.h"

namespace {

// The box waits for its button without spinning; this only bounds how long a
// lost activation takes to be restored.
constexpr int kMessageBoxWaitMilliseconds = 100;
// How often the interrupt looks whether the worker has ended.
constexpr int kWorkerWaitMilliseconds = 50;

void HandleMouseGesture(const Event& event) {
    if (event.message == kRightButtonUp && IsCursorOverControl(Control::TestMenuButton)) {
        TestImageInEmulator();
    } else if (event.message == kLeftButtonUp && IsCursorOverControl(Control::DraggedFilesNotice)) {
        OsShowControl(Control::DraggedFilesNotice, false);
        appState.draggedFiles.Set(L"");
    }
}

}  // namespace

bool RunEventLoopPass() {
    if (OsEscapeKeyDown() && OsMainWindowInFront()) {
        if (WorkerAlive()) Interrupt();
        OsEnableControl(Control::DriveCombo, true);
    }
    Event event;
    if (!OsNextEvent(&event)) {
        OsSleep(kIdleSleepMilliseconds);
        return true;
    }
    if (event.kind == EventKind::Drop && event.window == EventWindow::Main) HandleDroppedFiles(event.droppedNames);
    if (event.window != EventWindow::Main) {
        OsSleep(kIdleSleepMilliseconds);
        return true;
    }
    if (event.kind == EventKind::Message) HandleMouseGesture(event);
    DispatchEvent(event);
    return !(event.kind == EventKind::Close && !WorkerAlive());
}

void RunEventLoop() {
    while (RunEventLoopPass()) {
    }
}

int DispatchEvent(const Event& event) {
    switch (event.kind) {
        case EventKind::Close:
            return 0;
        case EventKind::ControlEvent:
            switch (event.control) {
                case Control::StartButton: OnStartClicked(); break;
                case Control::ShowAllDrivesCheck: OnShowAllDrivesToggled(); break;
                case Control::IsoImageButton: ChooseImage(event.notification); break;
                case Control::TestMenuButton: TestDriveInEmulator(); break;
                case Control::CheckDiskBox: OnCheckDiskClicked(); break;
                default: break;
            }
            return 1;
        default:
            return 1;
    }
}

void OnStartClicked() {
    if (WorkerAlive()) return;
    ShowStatus(L"");
    appState.interruptRequested = 0;
    OsShowControl(Control::StartButton, false);
    OsShowControl(Control::CopyProgressBar, true);
    OsShowControl(Control::ProgressText, true);
    SetTaskbarProgressState(kTaskbarNormal);
    SetTaskbarProgressValue(1, 100);
    OsSetProgress(1);
    FlushEvents();
    ThreadHandle previous = appState.workerThread.exchange(OsStartThread(RunCopyOperation, 0));
    if (previous != nullptr) OsForgetThread(previous);
}

void OnCheckDiskClicked() {
    appState.checkDiskClicks += 1;
    if (appState.checkDiskClicks == 1) {
        OsSetCheck(Control::CheckDiskBox, -1);
    } else if (appState.checkDiskClicks == 2) {
        OsSetCheck(Control::CheckDiskBox, 1);
    } else {
        OsSetCheck(Control::CheckDiskBox, 0);
        appState.checkDiskClicks = 0;
    }
}

void Interrupt() {
    appState.interruptRequested = 1;
    std::wstring leftOver;
    if (!StopToolProcesses(L"chkdsk.exe", true, true)) leftOver += L" Could not stop chkdsk.exe";
    OsSleep(2000);
    if (!StopToolProcesses(L"7zdrovelkit.exe", true, true)) leftOver += L" Could not stop 7zdrovelkit.exe";
    // The boot tool is never stopped half way through a write; the box tells
    // the user the operation has stopped only once it really has.
    WaitForWorkerEnd();
    int left = 0, top = 0;
    OsMainWindowOrigin(&left, &top);
    ShowMessageBox(left + 45, top + 80, L"Error !!!", L"Operation is interrupted!");
    ShowIdleLook();
    ShowStatus(L"==  Operation is interrupted!" + leftOver);
}

bool IsCursorOverControl(Control control) {
    ScreenRect rect{0, 0, 0, 0};
    if (!OsControlScreenRect(control, &rect)) rect = ScreenRect{0, 0, 0, 0};
    long x = 0, y = 0;
    OsCursorPosition(&x, &y);
    return x >= rect.left && x <= rect.left + rect.width && y >= rect.top && y <= rect.top + rect.height;
}

void WaitForWorkerEnd() {
    if (!WorkerAlive()) return;
    ShowStatus(L"==  Please wait ...");
    for (;;) {
        // The worker's window calls are served while the loop stands here.
        FlushEvents();
        if (!WorkerAlive()) return;
        OsWaitForEvents(kWorkerWaitMilliseconds);
    }
}

void FlushEvents() {
    Event event;
    while (OsNextEvent(&event)) {
    }
}

std::wstring ShowMessageBox(int x, int y, const std::wstring& title, const std::wstring& text) {
    OsOpenMessageBox(x, y, title, text);
    std::wstring result;
    for (;;) {
        Event event;
        if (OsNextEvent(&event)) {
            if (event.kind == EventKind::ControlEvent && event.window == EventWindow::MessageBox &&
                event.control == Control::MessageBoxOk) {
                result = OsGetText(Control::MessageBoxText);
                break;
            }
            continue;
        }
        OsActivateMessageBox();
        OsWaitForEvents(kMessageBoxWaitMilliseconds);
    }
    OsCloseMessageBox();
    return result;
}
