#include "copy/CopyOperation.h"

#include "app/AppState.h"
#include "app/Reporting.h"
#include "app/Shutdown.h"
#include "copy/ImageSelection.h"
#include "copy/WindowsImageSplit.h"
#include "common/Str.h"
#include "drives/DriveList.h"
#include "payload/Payload.h"
#include "platform/Os.h"
#include "tools/ConsoleRunner.h"
#include "tools/DiskCheck.h"

namespace {

// What the operation remembers across its steps: the tool results decide the
// final error line.
struct CopyRun {
    std::wstring drive;
    std::wstring imagePath;
    bool anyToolFailed = false;
    bool toolRefused = false;  // a changed tool: its refusal stays the last status
    bool stepFailed = false;   // a step the rest builds on: its message stays the last status
    WindowsImageSplit split;   // FAT32 gets the Windows image as .swm parts
};

std::wstring BootTool() { return PayloadFolder() + L"\\bootice.exe"; }

// Returns false when the operation ends here (Escape, a refused tool, or a
// failed step that the rest builds on): the caller goes to the finish.
bool RunTool(CopyRun& run, const std::wstring& program, const std::wstring& arguments,
             bool restBuildsOnIt = false) {
    const bool bootTool = program == BootTool();
    if (bootTool) appState.bootToolRunning = 1;
    const int32_t exitCode = RunConsoleTool(program, arguments, PayloadFolder());
    if (bootTool) {
        // A boot tool that was killed or crashed left letters off and
        // AutoPlay held; its record says what to put back.
        OsRestoreDiskChanges();
        appState.bootToolRunning = 0;
        if (appState.driveListStale.exchange(0) != 0) RefreshDriveList();
    }
    // A tool that is not the one unpacked ends the operation: whatever it
    // was meant to do, the steps after it would build on nothing.
    if (exitCode == kToolRefused) {
        run.toolRefused = true;
    } else if (exitCode != 0 && restBuildsOnIt && !CopyInterrupted()) {
        run.stepFailed = true;
        // The tool's own words; a tool that did not start has been named already.
        const std::wstring said = CurrentRunReport().errorLine;
        if (exitCode != kToolDidNotStart)
            ShowStatus(L"==  " + (said.empty() ? FileNamePart(program) + L" failed, exit code " +
                                                     std::to_wstring(exitCode)
                                               : said));
    } else if (exitCode != 0) {
        run.anyToolFailed = true;
    }
    return !CopyInterrupted() && !run.toolRefused && !run.stepFailed;
}

// A listing still running would change the image's figures under the copy
// and write over its status line.
void WaitForInspections() {
    if (appState.inspectionsRunning <= 0) return;
    ShowStatus(L"==  Please wait ...");
    while (appState.inspectionsRunning > 0 && !CopyInterrupted()) OsSleep(100);
}

// Repartitioning and formatting need administrator rights: without them the
// boot tool fails at its first step and the extraction would go on onto the
// old file system.
bool RefuseFormattingWithoutAdminRights() {
    if (OsHasAdminRights()) return false;
    ShowStatus(L"==  To format, start Drovelkit as administrator");
    return true;
}

bool IsSelected(Control option) { return OsGetCheck(option) >= 1; }

bool CheckDiskSet() {
    int state = OsGetCheck(Control::CheckDiskBox);
    return state == 1 || state == -1;
}

// Selects the first line that begins with the drive; with visitAll every
// matching line is selected in turn, with a pause after each.
bool SelectDriveLine(const std::wstring& drive, bool visitAll) {
    bool found = false;
    for (int i = 0, count = OsComboCount(); i < count; ++i) {
        if (drive.empty() || !StartsWith(OsComboLine(i), drive)) continue;
        OsComboSelect(i);
        found = true;
        if (!visitAll) return true;
        OsSleep(500);
    }
    return found;
}

void RemoveBootFolder(const std::wstring& drive) { DeleteFolderTree(drive + L"\\[boot]"); }

void RunFullExtraction(CopyRun& run) {
    appState.extractStartTime = static_cast<int32_t>(OsLocalTimeSeconds());
    RunTool(run, ArchiverPath(),
            L"x -y -bsp1 \"" + run.imagePath + L"\" -o" + run.drive + L"\\" +
                (run.split.needed ? WindowsImageExclusion() : L""));
}

// Returns false when an interrupt ended the operation at a checkpoint.
bool CopyWithFormatting(CopyRun& run) {
    const std::wstring fileSystem = IsSelected(Control::FormatNtfsOption)  ? L"ntfs"
                                    : IsSelected(Control::FormatFatOption) ? L"fat32"
                                                                           : L"exfat";
    const std::wstring label = TrimBlanks(OsGetText(Control::LabelField));
    // A layout that failed or was refused leaves the old file system: the
    // label, the boot records and the image must not go onto it.
    if (!RunTool(run, BootTool(),
                 L"/device=" + run.drive + L" /partitions /repartition /activate /usb-hdd /fstype=" + fileSystem +
                     L" /quiet",
                 true))
        return false;
    if (OsSetVolumeLabel(run.drive + L"\\", label)) OsSleep(10);
    else OsSetVolumeLabel(run.drive + L"\\", label.substr(0, 11));
    RefreshDriveList();
    SelectDriveLine(run.drive, false);
    OsSleep(1000);
    while (appState.driveListBusy != 0) OsSleep(200);
    SelectDriveLine(run.drive, true);
    if (CheckDiskSet()) RunDiskCheck();
    if (CopyInterrupted()) return false;
    if (!DriveExists(run.drive)) return true;
    if (!RunTool(run, ArchiverPath(), L"x -y \"" + run.imagePath + L"\" -o" + run.drive + L"\\ grldr menu.lst"))
        return false;
    OsSleep(1000);
    if (SelectDriveLine(run.drive, false)) {
        const bool grub4dos = OsFileSize(run.drive + L"\\grldr") > 0 || OsFileSize(run.drive + L"\\menu.lst") > 0;
        if (!RunTool(run, BootTool(), L"/device=" + run.drive + L" /mbr /install /type=nt60 /quiet")) return false;
        if (!RunTool(run, BootTool(),
                     L"/device=" + run.drive + L" /pbr /install /type=" + (grub4dos ? L"grub4dos" : L"bootmgr") +
                         L" /activate /quiet"))
            return false;
        RunFullExtraction(run);
        if (run.toolRefused) return false;
        RemoveBootFolder(run.drive);
        if (OsFileSize(run.drive + L"\\grldr") < 0) {
            OsCopyFile(run.drive + L"\\boot\\grldr", run.drive + L"\\grldr");
            OsDeleteFile(run.drive + L"\\boot\\grldr");
            // The probe saw no loader in the root, so the boot record looks
            // for the boot manager; a grldr moved there would never start.
            if (!grub4dos && !CopyInterrupted() && OsFileSize(run.drive + L"\\grldr") > 0 &&
                OsFileSize(run.drive + L"\\bootmgr") < 0)
                RunTool(run, BootTool(),
                        L"/device=" + run.drive + L" /pbr /install /type=grub4dos /activate /quiet");
        }
        if (run.split.needed && !CopyInterrupted())
            run.stepFailed = SplitWindowsImage(run.imagePath, run.split, run.drive) == SplitOutcome::Failed;
    }
    return !CopyInterrupted() && !run.toolRefused && !run.stepFailed;
}

bool CopyWithoutFormatting(CopyRun& run) {
    if (!DriveExists(run.drive)) return true;
    SelectDriveLine(run.drive, true);
    if (CheckDiskSet()) RunDiskCheck();
    if (CopyInterrupted()) return false;
    RunFullExtraction(run);
    if (run.toolRefused) return false;
    RemoveBootFolder(run.drive);
    // Escape during the extraction ends here too: the user was told the
    // operation stopped, so nothing more is copied.
    return !CopyInterrupted();
}

void CopyDroppedEntries(const std::wstring& drive) {
    // Taken in one step: a drop arriving meanwhile waits for the next operation.
    const std::wstring dropped = appState.draggedFiles.Take();
    const std::vector<std::wstring> fields = SplitFields(dropped, L'\n');
    const int n = static_cast<int>(fields.size());
    OsShowControl(Control::CopyProgressBar, true);
    SetTaskbarProgressState(kTaskbarNormal);
    SetTaskbarProgressValue(1, uint64_t(n));
    OsSetProgressRange(n);
    OsSetProgress(1);
    for (int i = 1; i <= n; ++i) {
        SetTaskbarProgressValue(uint64_t(i), uint64_t(n));
        OsSetProgress(i);
        const std::wstring& entry = fields[i - 1];
        if (entry.empty()) continue;
        OsSetText(Control::ProgressText, L"");
        ShowStatus(L"Copy: " + entry);
        if (OsIsFolder(entry)) {
            std::wstring name = entry;
            while (name.size() > 1 && name.back() == L'\\') name.pop_back();
            size_t last = name.rfind(L'\\');
            const std::wstring target =
                drive + (last == std::wstring::npos ? L"\\" + RemoveAll(name, L':') : name.substr(last));
            CopyFolderTree(entry, target);
        } else {
            OsCopyFile(entry, drive + L"\\" + FileNamePart(entry));
        }
    }
    if (n > 1) ShowStatus(L"");
    UpdateDraggedFilesNotice();
}

void PlayCompletionSound() {
    const StoredBlock sound = OsCompletionSound();
    if (!OsStartSound(sound.data, sound.size)) return;
    OsSleep(1875);
    OsStopSound();
}

void Finish(const CopyRun& run) {
    MarkCopyThread(false);
    if (!OsMainWindowExists()) return;
    OsEnableControl(Control::DriveCombo, true);
    OsSetProgressRange(100);
    ShowIdleLook();
    // Any failed tool run counts: a failed repartition must not be hidden by a
    // good extraction after it. A tool stopped by Escape failed because the
    // user asked for it; the interrupt says so itself.
    if (run.anyToolFailed && appState.interruptRequested == 0) ShowStatus(L"== Run-time error!");
}

}  // namespace

void CopyFolderTree(const std::wstring& source, const std::wstring& target) {
    OsCreateFolder(target);
    for (const FolderEntry& entry : OsListFolder(source)) {
        const std::wstring from = source + L"\\" + entry.name;
        const std::wstring to = target + L"\\" + entry.name;
        // Links inside a dropped folder are left out: what they name lies
        // elsewhere (a link to a parent folder would never end), and the
        // drive's file system may hold no links at all.
        if (entry.isLink) continue;
        if (entry.isFolder) CopyFolderTree(from, to);
        else OsCopyFile(from, to);
    }
}

void RunCopyOperation(int) {
    CopyRun run;
    MarkCopyThread(true);
    OsEnableControl(Control::DriveCombo, false);
    WaitForInspections();
    if (CopyInterrupted()) {
        Finish(run);
        return;
    }
    run.imagePath = ImagePath();
    run.drive = SelectedDrive();
    bool reachedTail = true;
    if (appState.imageSizeKiB > 0 && DriveExists(run.drive) && OsFileSize(run.imagePath) > 0) {
        const bool formatting = IsSelected(Control::FormatNtfsOption) || IsSelected(Control::FormatFatOption) ||
                                IsSelected(Control::FormatExFatOption);
        if (formatting && RefuseFormattingWithoutAdminRights()) {
            Finish(run);
            return;
        }
        // The file-system name is "fat32" only when Ntfs is not selected.
        const bool fat32 =
            formatting && !IsSelected(Control::FormatNtfsOption) && IsSelected(Control::FormatFatOption);
        if (RefuseImageName(run.imagePath) || (fat32 && !PlanFat32Copy(run.imagePath, &run.split))) {
            Finish(run);
            return;
        }
        EnsurePayloadUnpacked();
        if (formatting) {
            reachedTail = CopyWithFormatting(run);
        } else if (IsSelected(Control::FormatNoneOption)) {
            reachedTail = CopyWithoutFormatting(run);
        }
    } else if (appState.imageSizeKiB == 0 && DriveExists(run.drive) && CheckDiskSet()) {
        RunDiskCheck();
        reachedTail = !CopyInterrupted();
    }
    if (reachedTail) {
        if (DriveExists(run.drive)) CopyDroppedEntries(run.drive);
        // Everything on the medium before the last message: the user may pull
        // the stick the moment it shows.
        if (DriveExists(run.drive)) OsFlushVolume(run.drive);
        PlayCompletionSound();
        const std::wstring status = OsGetText(Control::StatusLine);
        if (!status.empty() && OsFileSize(status) > 0) ShowStatus(appState.windowTitle.Get());
    }
    Finish(run);
}
