#include "tools/DiskCheck.h"

#include "app/AppState.h"
#include "app/Reporting.h"
#include "platform/Os.h"
#include "tools/ConsoleRunner.h"

void RunDiskCheck() {
    const std::wstring drive = SelectedDrive();
    const int state = OsGetCheck(Control::CheckDiskBox);
    std::wstring arguments;
    if (state == 1) arguments = drive + L" /F /R";
    else if (state == -1) arguments = drive + L" /F";
    else return;
    const std::wstring system32 = appState.windowsDir + L"\\System32";
    RunConsoleTool(system32 + L"\\chkdsk.exe", arguments, system32);
}
