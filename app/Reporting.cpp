#include "app/Reporting.h"

#include "common/Str.h"
#include "platform/Os.h"

void ShowStatus(const std::wstring& text) {
    if (!OsMainWindowExists()) return;
    OsSetText(Control::StatusLine, RemoveAll(text, L'\n'));
}

void SetTaskbarProgressState(int state) { OsSetTaskbarProgressState(state); }

void SetTaskbarProgressValue(uint64_t completed, uint64_t total) { OsSetTaskbarProgressValue(completed, total); }

void ShowIdleLook() {
    OsSetProgress(0);
    SetTaskbarProgressState(kTaskbarNormal);
    SetTaskbarProgressValue(0, 100);
    OsShowControl(Control::StartButton, true);
    OsShowControl(Control::CopyProgressBar, false);
    OsSetText(Control::ProgressText, L"");
    OsShowControl(Control::ProgressText, false);
}
