#include "app/Shutdown.h"

#include "app/AppState.h"
#include "app/Reporting.h"
#include "common/Str.h"
#include "platform/Os.h"

namespace {

// taskkill itself is given this long before the loop looks again.
constexpr int kTaskkillWaitMilliseconds = 30000;

void RunTaskkill(const std::wstring& exeName) {
    const std::wstring system32 = appState.windowsDir + L"\\System32";
    OsRunHidden(L"\"" + system32 + L"\\taskkill.exe\" /t /f /IM " + exeName, system32, kTaskkillWaitMilliseconds,
                false);
}

}  // namespace

uint32_t FindProcessId(const std::wstring& exeName) {
    std::vector<ProcessEntry> processes;
    if (!OsListProcesses(&processes)) return 0;
    const std::wstring wanted = ToUpper(exeName);
    for (const ProcessEntry& process : processes)
        if (ToUpper(FileNamePart(process.exeFile)) == wanted) return process.id;
    return 0;
}

bool IsProcessRunning(const std::wstring& exeName) { return FindProcessId(exeName) != 0; }

bool StopToolProcesses(const std::wstring& exeName, bool showWait, bool pumpEvents) {
    for (int pass = 0; pass < kStopPassLimit; ++pass) {
        if (!IsProcessRunning(exeName)) return true;
        if (showWait) ShowStatus(L"==  Please wait ...");
        RunTaskkill(exeName);
        for (int i = 0; i < 11; ++i) {
            OsSleep(100);
            Event discarded;
            if (pumpEvents) OsNextEvent(&discarded);
        }
    }
    if (!IsProcessRunning(exeName)) return true;
    ShowStatus(L"==  Could not stop " + exeName);
    return false;
}

void DeleteFolderTree(const std::wstring& folder) {
    // Every entry is opened as itself and deleted through that handle: a
    // junction or link, even one put in place of a folder after the listing,
    // goes by itself, never what it names (which may lie outside the folder,
    // even outside the drive). An open folder cannot be renamed or replaced,
    // so the names listed in it are its own.
    bool isFolder = false;
    OpenEntry* entry = OsOpenEntry(folder, &isFolder);
    if (entry == nullptr) return;
    if (isFolder)
        for (const std::wstring& name : OsListOpenFolder(entry)) DeleteFolderTree(folder + L"\\" + name);
    OsDeleteOpenEntry(entry);
}

void RunExitSequence() {
    ShowStatus(L"==  Please wait ...");
    StopToolProcesses(L"7zdrovelkit.exe", false, false);
    DeleteFolderTree(PayloadFolder());
    OsReleaseWindowResources();
    OsExitProcess(0);
}
