#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "app/AppState.h"
#include "common/Str.h"
#include "copy/CopyOperation.h"
#include "copy/ImageSelection.h"
#include "drives/DriveList.h"
#include "payload/Payload.h"
#include "tests/unit/FakeOs.h"

namespace {

const std::wstring kCmd = L"\"C:\\Windows\\Sysnative\\cmd.exe\"  /d /c ";
const std::wstring kBootice = L"C:\\Temp\\drovelkit\\bootice.exe";
const std::wstring kArchiver = L"C:\\Temp\\drovelkit\\7zdrovelkit.exe";

class CopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetWorld();
        FakeDrive drive;
        drive.label = L"OLD";
        drive.totalBytes = 8ull << 30;
        drive.labelLimit = 11;
        fake.drives[4] = drive;  // E:
        fake.comboLines = {L"E:\\ [OLD]   8.388.608 Kb"};
        fake.comboSelected = 0;
        appState.isoPath.Set(L"D:\\iso\\win.iso");
        fake.Of(Control::IsoPathField).text = L"win.iso";
        fake.Of(Control::LabelField).text = L"  MY LONG LABEL  ";
        fake.Of(Control::FormatNoneOption).check = 1;
        fake.AddFile(L"D:\\iso\\win.iso", "iso image");
        fake.AddFile(kArchiver, "MZ");
        fake.AddFile(kBootice, "MZ");
        fake.AddFile(L"C:\\Windows\\System32\\chkdsk.exe", "MZ");
        appState.imageSizeKiB = 4000;
        fake.tool = [](const std::wstring&) { return FakeTool(); };
    }
    static std::vector<std::wstring> ToolArguments() {
        std::vector<std::wstring> runs;
        for (const std::wstring& line : fake.consoleRuns) runs.push_back(line.substr(kCmd.size()));
        return runs;
    }
    static void Select(Control option) { OsSetCheck(option, 1); }
    static bool Logged(const std::wstring& line) {
        return std::find(fake.log.begin(), fake.log.end(), line) != fake.log.end();
    }
    static size_t Position(const std::wstring& line) {
        return size_t(std::find(fake.log.begin(), fake.log.end(), line) - fake.log.begin());
    }
};

TEST_F(CopyTest, FormattingRunsEveryToolInOrderWithTheBootManager) {
    Select(Control::FormatFatOption);
    fake.AddFolder(L"E:\\[BOOT]");
    fake.AddFile(L"E:\\[boot]\\Boot-NoEmul.img");
    RunCopyOperation(0);
    EXPECT_EQ(ToolArguments(), (std::vector<std::wstring>{
        kBootice + L" /device=E: /partitions /repartition /activate /usb-hdd /fstype=fat32 /quiet",
        kArchiver + L" x -y \"D:\\iso\\win.iso\" -oE:\\ grldr menu.lst",
        kBootice + L" /device=E: /mbr /install /type=nt60 /quiet",
        kBootice + L" /device=E: /pbr /install /type=bootmgr /activate /quiet",
        kArchiver + L" x -y -bsp1 \"D:\\iso\\win.iso\" -oE:\\",
    }));
    // The label is trimmed, refused at 13 characters and set again cut to 11.
    ASSERT_EQ(fake.labelsSet.size(), 2u);
    EXPECT_EQ(fake.labelsSet[0].second, L"MY LONG LABEL");
    EXPECT_EQ(fake.labelsSet[1].second, L"MY LONG LAB");
    EXPECT_EQ(fake.drives[4].label, L"MY LONG LAB");
    // The drive line is selected again after the refresh, which lists the new label.
    EXPECT_EQ(fake.comboLines[0].substr(0, 17), L"E:\\ [MY LONG LAB]");
    EXPECT_GE(fake.comboSelections.size(), 3u);
    EXPECT_FALSE(fake.folders.count(L"E:\\[BOOT]"));
    EXPECT_FALSE(fake.HasFile(L"E:\\[boot]\\Boot-NoEmul.img"));
    EXPECT_TRUE(Logged(L"sleep 1000"));
    EXPECT_TRUE(fake.Of(Control::StartButton).visible);
    EXPECT_FALSE(fake.Of(Control::CopyProgressBar).visible);
    EXPECT_TRUE(fake.Of(Control::DriveCombo).enabled);
    EXPECT_LT(Position(L"disable DriveCombo"), Position(L"enable DriveCombo"));
}

// While the boot tool runs, a device arrival does not rebuild the drive list
// (reading a root's volume information mounts a dismounted volume again); the
// list is rebuilt once the tool has ended, its restore record is applied after
// every run, and the drive is flushed before the last message.
TEST_F(CopyTest, TheBootToolRunsUndisturbedAndTheDriveIsFlushedAtTheEnd) {
    Select(Control::FormatFatOption);
    int rebuildsDuringTool = 0;
    fake.tool = [&](const std::wstring& line) {
        FakeTool tool;
        if (line.find(L"bootice.exe") == std::wstring::npos) return tool;
        tool.onStart = [&] {
            fake.comboLines.push_back(L"kept");
            EXPECT_TRUE(OnDeviceChange(0x0219, 0x8000));
            if (fake.comboLines.empty() || fake.comboLines.back() != L"kept") ++rebuildsDuringTool;
        };
        return tool;
    };
    RunCopyOperation(0);
    EXPECT_EQ(rebuildsDuringTool, 0);
    EXPECT_EQ(appState.driveListStale, 0);
    EXPECT_EQ(std::count(fake.log.begin(), fake.log.end(), L"restore disk changes"), 3);
    EXPECT_LT(Position(L"flush E:"), fake.log.size());
    // A stick plugged in again afterwards gets what its record holds.
    OnDeviceChange(0x0219, 0x8000);
    EXPECT_EQ(std::count(fake.log.begin(), fake.log.end(), L"restore disk changes"), 4);
}

TEST_F(CopyTest, LoaderFilesFromTheProbeChooseGrub4dosAndBootGrldrMovesToTheRoot) {
    Select(Control::FormatNtfsOption);
    fake.tool = [](const std::wstring& commandLine) {
        FakeTool tool;
        if (commandLine.find(L"grldr menu.lst") != std::wstring::npos)
            tool.onStart = [] { fake.AddFile(L"E:\\menu.lst", "title x"); };
        if (commandLine.find(L"-bsp1") != std::wstring::npos)
            tool.onStart = [] { fake.AddFile(L"E:\\boot\\grldr", "loader"); };
        return tool;
    };
    RunCopyOperation(0);
    const auto runs = ToolArguments();
    ASSERT_EQ(runs.size(), 5u);
    EXPECT_NE(runs[0].find(L" /fstype=ntfs /quiet"), std::wstring::npos);
    EXPECT_EQ(runs[3], kBootice + L" /device=E: /pbr /install /type=grub4dos /activate /quiet");
    EXPECT_EQ(fake.FileContent(L"E:\\grldr"), "loader");
    EXPECT_FALSE(fake.HasFile(L"E:\\boot\\grldr"));
}

TEST_F(CopyTest, WithoutFormattingOnlyTheExtractionRunsAndTheBootFolderGoes) {
    fake.AddFolder(L"E:\\[boot]");
    RunCopyOperation(0);
    EXPECT_EQ(ToolArguments(), (std::vector<std::wstring>{kArchiver + L" x -y -bsp1 \"D:\\iso\\win.iso\" -oE:\\"}));
    EXPECT_TRUE(fake.labelsSet.empty());
    EXPECT_FALSE(fake.folders.count(L"E:\\[BOOT]"));
    EXPECT_EQ(appState.extractStartTime, int32_t(fake.now));
}

TEST_F(CopyTest, TheDiskCheckRunsBeforeTheExtractionWhenTheBoxIsSet) {
    fake.Of(Control::CheckDiskBox).check = -1;
    RunCopyOperation(0);
    const auto runs = ToolArguments();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0], L"C:\\Windows\\System32\\chkdsk.exe E: /F");
}

TEST_F(CopyTest, MissingPayloadIsUnpackedFirst) {
    fake.files.erase(L"C:\\TEMP\\DROVELKIT\\7ZDROVELKIT.EXE");
    fake.onRunHidden = [](const std::wstring&) { fake.AddFile(L"C:\\Temp\\drovelkit\\7zdrovelkit.exe", "MZ"); };
    RunCopyOperation(0);
    ASSERT_EQ(fake.hiddenRuns.size(), 1u);
    EXPECT_EQ(fake.hiddenRuns[0], L"\"C:\\Temp\\drovelkit.exe\" -y -pvorlint");
    EXPECT_EQ(ToolArguments().size(), 1u);
}

TEST_F(CopyTest, NoImageRunsOnlyTheDiskCheckCopiesDroppedFilesAndPlaysTheSound) {
    appState.imageSizeKiB = 0;
    fake.soundDevice = true;
    fake.Of(Control::CheckDiskBox).check = 1;
    appState.draggedFiles.Set(L"D:\\data\\Tools\nD:\\x\\readme.txt\n");
    fake.AddFolder(L"D:\\data\\Tools");
    fake.AddFolder(L"D:\\data\\Tools\\sub");
    fake.AddFile(L"D:\\data\\Tools\\a.exe", "A");
    fake.AddFile(L"D:\\data\\Tools\\sub\\b.cfg", "B");
    fake.AddFile(L"D:\\x\\readme.txt", "new");
    fake.AddFile(L"E:\\readme.txt", "old");
    RunCopyOperation(0);
    EXPECT_EQ(ToolArguments(), (std::vector<std::wstring>{L"C:\\Windows\\System32\\chkdsk.exe E: /F /R"}));
    EXPECT_EQ(fake.FileContent(L"E:\\Tools\\a.exe"), "A");
    EXPECT_EQ(fake.FileContent(L"E:\\Tools\\sub\\b.cfg"), "B");
    EXPECT_EQ(fake.FileContent(L"E:\\readme.txt"), "new");
    EXPECT_EQ(appState.draggedFiles.Get(), L"");
    EXPECT_FALSE(fake.Of(Control::DraggedFilesNotice).visible);
    EXPECT_EQ(fake.soundsStarted, 1);
    EXPECT_TRUE(Logged(L"sleep 1875"));
    // Three fields (the last one empty) count 1, 2, 3 of 3.
    EXPECT_TRUE(Logged(L"range 3"));
    EXPECT_TRUE(Logged(L"taskbar 3/3"));
    EXPECT_TRUE(Logged(L"status: Copy: D:\\data\\Tools"));
    EXPECT_EQ(fake.Of(Control::StatusLine).text, L"");
}

TEST_F(CopyTest, EmptyDropListCountsOneOfOneAndKeepsTheStatus) {
    appState.imageSizeKiB = 0;
    fake.Of(Control::StatusLine).text = L"kept";
    RunCopyOperation(0);
    EXPECT_TRUE(Logged(L"taskbar 1/1"));
    EXPECT_TRUE(ToolArguments().empty());
    EXPECT_EQ(fake.Of(Control::StatusLine).text, L"kept");
}

TEST_F(CopyTest, AMissingImageFileOrDriveRunsNoTool) {
    fake.Of(Control::IsoPathField).text = L"renamed.iso";
    fake.soundDevice = true;
    RunCopyOperation(0);
    EXPECT_TRUE(ToolArguments().empty());
    EXPECT_EQ(fake.soundsStarted, 1);
    EXPECT_EQ(fake.Of(Control::StatusLine).text, L"");

    fake.comboLines.clear();  // empty drive list: the drive never exists
    fake.comboSelected = -1;
    appState.draggedFiles.Set(L"D:\\x\\readme.txt\n");
    RunCopyOperation(0);
    EXPECT_TRUE(ToolArguments().empty());
    EXPECT_EQ(appState.draggedFiles.Get(), L"D:\\x\\readme.txt\n");
    EXPECT_EQ(fake.soundsStarted, 2);
}

TEST_F(CopyTest, InterruptAtTheCheckpointsSkipsTheRest) {
    // Escape during the full extraction with formatting: clean-up runs, then the finish.
    Select(Control::FormatExFatOption);
    appState.draggedFiles.Set(L"D:\\x\\readme.txt\n");
    fake.AddFile(L"D:\\x\\readme.txt");
    fake.soundDevice = true;
    fake.tool = [](const std::wstring& commandLine) {
        FakeTool tool;
        if (commandLine.find(L"-bsp1") != std::wstring::npos)
            tool.onStart = [] {
                fake.AddFile(L"E:\\boot\\grldr", "g");
                appState.interruptRequested = 1;
            };
        return tool;
    };
    RunCopyOperation(0);
    EXPECT_EQ(ToolArguments().size(), 5u);
    EXPECT_TRUE(fake.HasFile(L"E:\\grldr"));
    EXPECT_EQ(fake.soundsStarted, 0);
    EXPECT_FALSE(fake.HasFile(L"E:\\readme.txt"));
    EXPECT_EQ(appState.draggedFiles.Get(), L"D:\\x\\readme.txt\n");

    // Without formatting the extraction ends the same way: the user was told
    // the operation stopped.
    SetUp();
    appState.draggedFiles.Set(L"D:\\x\\readme.txt\n");
    fake.AddFile(L"D:\\x\\readme.txt");
    fake.soundDevice = true;
    fake.tool = [](const std::wstring&) {
        FakeTool tool;
        tool.onStart = [] { appState.interruptRequested = 1; };
        tool.exitCode = 1;  // stopped by taskkill
        return tool;
    };
    RunCopyOperation(0);
    EXPECT_FALSE(fake.HasFile(L"E:\\readme.txt"));
    EXPECT_EQ(fake.soundsStarted, 0);
    EXPECT_EQ(fake.Of(Control::StatusLine).text, L"Operation is interrupted!");  // no "== Run-time error!"

    // An interrupt during the disk check stops before the probe.
    SetUp();
    Select(Control::FormatNtfsOption);
    fake.Of(Control::CheckDiskBox).check = 1;
    fake.tool = [](const std::wstring& commandLine) {
        FakeTool tool;
        if (commandLine.find(L"chkdsk") != std::wstring::npos)
            tool.onStart = [] { appState.interruptRequested = 1; };
        return tool;
    };
    RunCopyOperation(0);
    EXPECT_EQ(ToolArguments().size(), 2u);
}

TEST_F(CopyTest, AFailedLayoutStopsTheCopyAndLaterFailuresDoNot_RegressionMergedIntoOldFileSystem) {
    const struct {
        const wchar_t* failing;  // the step whose tool fails with exit code 5
        bool starts;
        std::string errors;      // what the tool wrote to standard error
        size_t runs;
        const wchar_t* status;
    } rows[] = {
        {L"/repartition", true, "working\r\nbootice: refused: E: is on the system disk\r\n", 1,
         L"==  bootice: refused: E: is on the system disk"},
        {L"/repartition", true, "", 1, L"==  bootice.exe failed, exit code 5"},
        {L"/repartition", false, "", 1, L"==  Could not start bootice.exe"},
        {L"/mbr", true, "bootice: the disk is busy\r\n", 6, L"== Run-time error!"},  // every step and the check run
    };
    for (const auto& row : rows) {
        SetUp();
        Select(Control::FormatFatOption);
        fake.Of(Control::CheckDiskBox).check = 1;
        appState.draggedFiles.Set(L"D:\\x\\readme.txt");
        fake.AddFile(L"D:\\x\\readme.txt", "r");
        fake.tool = [&row](const std::wstring& commandLine) {
            FakeTool tool;
            if (commandLine.find(row.failing) != std::wstring::npos) {
                tool.exitCode = 5;
                tool.starts = row.starts;
                tool.errors = row.errors;
            }
            if (commandLine.find(L"-bsp1") != std::wstring::npos)
                tool.onStart = [] { fake.AddFile(L"E:\\setup.exe", "MZ"); };
            return tool;
        };
        RunCopyOperation(0);
        EXPECT_EQ(ToolArguments().size(), row.runs) << row.status;
        EXPECT_EQ(fake.Of(Control::StatusLine).text, row.status);
        const bool stopped = row.runs == 1;
        // Nothing after a failed layout: no label, no check, nothing extracted or copied.
        EXPECT_EQ(fake.labelsSet.empty(), stopped) << row.status;
        EXPECT_EQ(fake.HasFile(L"E:\\setup.exe"), !stopped) << row.status;
        EXPECT_EQ(fake.HasFile(L"E:\\readme.txt"), !stopped) << row.status;
        EXPECT_TRUE(fake.Of(Control::StartButton).visible);
    }
}

TEST_F(CopyTest, DriveGoneAfterFormattingSkipsBootRecordsAndExtraction) {
    Select(Control::FormatFatOption);
    fake.tool = [](const std::wstring& commandLine) {
        FakeTool tool;
        if (commandLine.find(L"/repartition") != std::wstring::npos) tool.onStart = [] { fake.drives.clear(); };
        return tool;
    };
    RunCopyOperation(0);
    EXPECT_EQ(ToolArguments().size(), 1u);
}

TEST_F(CopyTest, StatusNamingAFileIsReplacedByTheTitleAtTheEnd) {
    fake.tool = [](const std::wstring&) {
        FakeTool tool;
        tool.chunks = {" 50% 3 - sources\\boot.wim"};
        tool.onStart = [] { fake.AddFile(L"E:\\sources\\boot.wim", "wim"); };
        tool.exitCode = 0;
        return tool;
    };
    RunCopyOperation(0);
    // The verdict (no "Everything is Ok" in this output) leaves the status empty, so it stays.
    EXPECT_EQ(fake.Of(Control::StatusLine).text, L"");
    appState.imageSizeKiB = 0;
    fake.Of(Control::StatusLine).text = L"E:\\sources\\boot.wim";
    RunCopyOperation(0);
    EXPECT_EQ(fake.Of(Control::StatusLine).text, kWindowTitle);
}

TEST_F(CopyTest, DroppedEntriesFollowTheIsoRule) {
    const struct { const wchar_t* entry; bool iso; } cases[] = {
        {L"D:\\iso\\Win10.Iso", true}, {L"D:\\iso\\a.ISO", true}, {L"D:\\iso\\readme.txt", false},
        {L"D:\\iso.d\\noext", false}, {L"D:\\x\\.iso", false}, {L".iso", false},
        {L"D:\\x\\a.iso x", false}, {L"D:\\folder.iso", true}, {L"D:\\x\\a.isoo", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsIsoImage(c.entry), c.iso) << c.entry;
}

TEST_F(CopyTest, DropsCollectFilesUntilAnImageAndCountAcrossDrops) {
    HandleDroppedFiles(L"D:\\a.txt\nD:\\b.txt");
    EXPECT_EQ(fake.Of(Control::DraggedFilesNotice).text, L"2 Dragged files exist !!!");
    EXPECT_TRUE(fake.Of(Control::DraggedFilesNotice).visible);
    HandleDroppedFiles(L"D:\\a.txt");
    EXPECT_EQ(fake.Of(Control::DraggedFilesNotice).text, L"3 Dragged files exist !!!");

    HandleDroppedFiles(L"D:\\c.txt\nD:\\iso\\new.iso\nD:\\d.txt");
    EXPECT_EQ(appState.draggedFiles.Get(), L"D:\\a.txt\nD:\\b.txt\nD:\\a.txt\nD:\\c.txt\n");
    EXPECT_EQ(fake.Of(Control::DraggedFilesNotice).text, L"3 Dragged files exist !!!");
    EXPECT_EQ(appState.isoPath.Get(), L"D:\\iso\\new.iso");
    EXPECT_EQ(fake.Of(Control::IsoPathField).text, L"new.iso");
    ASSERT_EQ(fake.startedThreads.size(), 1u);
    EXPECT_EQ(fake.startedThreads[0].first, &InspectImage);

    fake.threadsAlive = true;  // while a copy runs an image is ignored, files are not
    appState.workerThread = reinterpret_cast<ThreadHandle>(1);
    HandleDroppedFiles(L"D:\\e.txt\nD:\\other.iso");
    EXPECT_EQ(appState.isoPath.Get(), L"D:\\iso\\new.iso");
    EXPECT_EQ(fake.startedThreads.size(), 1u);
    EXPECT_NE(appState.draggedFiles.Get().find(L"D:\\e.txt\n"), std::wstring::npos);
}

TEST_F(CopyTest, ChoosingAnImageStoresItAndACancelEmptiesThePathOnly) {
    fake.chosenFile = L"D:\\images\\rescue.iso";
    appState.imageComment.Set(L"OLD");
    ChooseImage(0);
    EXPECT_EQ(appState.isoPath.Get(), L"D:\\images\\rescue.iso");
    EXPECT_EQ(fake.Of(Control::IsoPathField).text, L"rescue.iso");
    EXPECT_EQ(appState.imageComment.Get(), L"");
    EXPECT_EQ(fake.startedThreads.size(), 1u);
    fake.chosenFile = L"";
    ChooseImage(0);
    EXPECT_EQ(appState.isoPath.Get(), L"");
    EXPECT_EQ(fake.Of(Control::IsoPathField).text, L"rescue.iso");
    EXPECT_EQ(ImagePath(), L"rescue.iso");
    EXPECT_EQ(fake.startedThreads.size(), 1u);
}

TEST_F(CopyTest, InspectionListsTheImageAfterUnpackingAMissingPayload) {
    fake.files.erase(L"C:\\TEMP\\DROVELKIT\\7ZDROVELKIT.EXE");
    fake.AddFile(L"C:\\Temp\\drovelkit.exe", "planted");
    fake.onRunHidden = [](const std::wstring&) {
        EXPECT_EQ(fake.FileContent(L"C:\\Temp\\drovelkit.exe"), "stored payload");  // never the planted file
        fake.AddFile(L"C:\\Temp\\drovelkit\\7zdrovelkit.exe", "MZ");
    };
    InspectImage(0);
    EXPECT_EQ(fake.StatusHistory().front(), L"==  Please wait ...");
    ASSERT_EQ(fake.consoleRuns.size(), 1u);
    EXPECT_EQ(fake.consoleRuns[0], kCmd + kArchiver + L" l \"D:\\iso\\win.iso\"");
    EXPECT_FALSE(fake.HasFile(L"C:\\Temp\\drovelkit.exe"));
    EXPECT_TRUE(Logged(L"console " + fake.consoleRuns[0] + L" in C:\\Temp\\drovelkit"));
}

TEST_F(CopyTest, PayloadIsUnpackedOnceWhenTheMarkerIsThere) {
    EnsurePayloadUnpacked();
    EXPECT_TRUE(fake.hiddenRuns.empty());
    fake.files.clear();
    fake.AddFolder(L"C:\\Temp\\drovelkit\\7zdrovelkit.exe");  // a folder is no marker
    EnsurePayloadUnpacked();
    EXPECT_EQ(fake.hiddenRuns.size(), 1u);
}

TEST_F(CopyTest, EscapeHoldsUntilTheOperationHasEnded_RegressionLostInterrupt) {
    // Escape during the master-boot-record run: nothing runs after it, no
    // dropped file is copied, no sound plays.
    Select(Control::FormatNtfsOption);
    appState.draggedFiles.Set(L"D:\\x\\readme.txt\n");
    fake.AddFile(L"D:\\x\\readme.txt");
    fake.soundDevice = true;
    fake.tool = [](const std::wstring& commandLine) {
        FakeTool tool;
        if (commandLine.find(L"/mbr") != std::wstring::npos) tool.onStart = [] { appState.interruptRequested = 1; };
        return tool;
    };
    RunCopyOperation(0);
    const auto runs = ToolArguments();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_NE(runs[2].find(L"/mbr"), std::wstring::npos);
    EXPECT_EQ(fake.soundsStarted, 0);
    EXPECT_FALSE(fake.HasFile(L"E:\\readme.txt"));
    EXPECT_EQ(fake.Of(Control::StatusLine).text, L"Operation is interrupted!");
    EXPECT_TRUE(fake.Of(Control::StartButton).visible);

    // Escape during the waits after formatting: the disk check does not start.
    SetUp();
    Select(Control::FormatNtfsOption);
    fake.Of(Control::CheckDiskBox).check = 1;
    fake.onSleep = [](int milliseconds) {
        if (milliseconds == 1000) appState.interruptRequested = 1;
    };
    RunCopyOperation(0);
    EXPECT_EQ(ToolArguments().size(), 1u);

    // A listing on its own thread meanwhile neither clears the request nor
    // reports it as its own.
    SetUp();
    Select(Control::FormatNtfsOption);
    fake.tool = [](const std::wstring& commandLine) {
        FakeTool tool;
        if (commandLine.find(L" l ") != std::wstring::npos) {
            tool.chunks = {"2026-12-08 22:25:44         9000   9000  3 files, 1 folders\r\n"};
        } else {
            tool.onStart = [] {
                appState.interruptRequested = 1;
                std::thread listing(InspectImage, 0);
                listing.join();
                EXPECT_EQ(fake.Of(Control::StatusLine).text, L"Size: 8Kb,  3 files, 1 folders ");
            };
        }
        return tool;
    };
    RunCopyOperation(0);
    EXPECT_EQ(appState.interruptRequested, 1);
    EXPECT_EQ(ToolArguments().size(), 2u);  // the repartition and the listing
}

TEST_F(CopyTest, StartWaitsForARunningInspection_RegressionEmptyCopy) {
    // Start right after a drop: the listing has not yet told the size.
    appState.imageSizeKiB = 0;
    appState.inspectionsRunning = 1;
    fake.soundDevice = true;
    fake.onSleep = [](int milliseconds) {
        if (milliseconds != 100 || appState.inspectionsRunning == 0) return;
        fake.log.push_back(L"listing ended");
        appState.imageSizeKiB = 4000;
        appState.inspectionsRunning = 0;
    };
    RunCopyOperation(0);
    EXPECT_EQ(ToolArguments(), (std::vector<std::wstring>{kArchiver + L" x -y -bsp1 \"D:\\iso\\win.iso\" -oE:\\"}));
    EXPECT_LT(Position(L"status: ==  Please wait ..."), Position(L"listing ended"));
    EXPECT_LT(Position(L"listing ended"), Position(L"console " + fake.consoleRuns[0] + L" in C:\\Temp\\drovelkit"));

    // The count follows the inspection threads that TakeImage starts.
    SetUp();
    fake.chosenFile = L"D:\\iso\\win.iso";
    ChooseImage(0);
    EXPECT_EQ(appState.inspectionsRunning, 1);
    fake.startedThreads[0].first(0);
    EXPECT_EQ(appState.inspectionsRunning, 0);
}

TEST_F(CopyTest, LinksAreNeverFollowed_RegressionDeleteAndCopyThroughJunctions) {
    // A junction inside "[boot]" that names a folder outside the drive.
    fake.AddFolder(L"D:\\precious");
    fake.AddFile(L"D:\\precious\\keep.txt", "keep");
    fake.AddFolder(L"E:\\[boot]");
    fake.AddFile(L"E:\\[boot]\\Boot-NoEmul.img");
    fake.AddLink(L"E:\\[boot]\\outside", L"D:\\precious");
    // A dropped folder that holds a link to its own parent.
    fake.AddFolder(L"D:\\data");
    fake.AddFolder(L"D:\\data\\Tools");
    fake.AddFile(L"D:\\data\\Tools\\a.exe", "A");
    fake.AddLink(L"D:\\data\\Tools\\up", L"D:\\data");
    appState.draggedFiles.Set(L"D:\\data\\Tools\n");
    RunCopyOperation(0);
    EXPECT_EQ(fake.FileContent(L"D:\\precious\\keep.txt"), "keep");
    EXPECT_TRUE(fake.folders.count(L"D:\\PRECIOUS"));
    EXPECT_FALSE(fake.links.count(L"E:\\[BOOT]\\OUTSIDE"));
    EXPECT_FALSE(fake.folders.count(L"E:\\[BOOT]"));
    EXPECT_EQ(fake.FileContent(L"E:\\Tools\\a.exe"), "A");
    for (const auto& folder : fake.folders) EXPECT_EQ(folder.find(L"E:\\TOOLS\\UP"), std::wstring::npos) << folder;
    for (const auto& file : fake.files) EXPECT_EQ(file.first.find(L"E:\\TOOLS\\UP"), std::wstring::npos) << file.first;

    // "[boot]" itself a junction: the link goes, what it names stays.
    SetUp();
    fake.AddFolder(L"D:\\precious");
    fake.AddFile(L"D:\\precious\\keep.txt", "keep");
    fake.AddLink(L"E:\\[boot]", L"D:\\precious");
    RunCopyOperation(0);
    EXPECT_EQ(fake.FileContent(L"D:\\precious\\keep.txt"), "keep");
    EXPECT_TRUE(fake.links.empty());
}

TEST_F(CopyTest, Fat32IsRefusedBeforeAnythingIsWrittenForAFileOf4GiB) {
    // The listing as the archiver writes it, cut at awkward places.
    const std::string listing =
        "   Date      Time    Attr         Size   Compressed  Name\r\n"
        "------------------- ----- ------------ ------------  ------------------------\r\n"
        "2026-12-08 22:25:44 .....            3            3  a.txt\r\n"
        "2026-12-08 22:25:44 D....                            sources\r\n"
        "2026-12-08 22:25:44 .....   4294967296   4294967296  sources\\install.wim\r\n"
        "2026-12-08 22:25:44 .....   5000000000               D.... 99\r\n"  // a folder-like name, a file
        "                    .....   9999999999999            huge.bin\r\n"
        "------------------- ----- ------------ ------------  ------------------------\r\n"
        "2026-12-08 22:25:44         4294967299   4294967299  2 files, 1 folders\r\n";
    for (size_t cut : {size_t(1), size_t(17), size_t(200), listing.size()}) {
        ResetWorld();
        fake.AddFile(kArchiver, "MZ");
        appState.isoPath.Set(L"D:\\iso\\win.iso");
        fake.Of(Control::IsoPathField).text = L"win.iso";
        // The summary is matched within one read; the lines before it are cut anywhere.
        const size_t summary = cut == listing.size() ? listing.size() : listing.rfind("2026-12-08 22:25:44    ");
        std::vector<std::string> chunks;
        for (size_t at = 0; at < summary; at += cut) chunks.push_back(listing.substr(at, std::min(cut, summary - at)));
        if (summary < listing.size()) chunks.push_back(listing.substr(summary));
        fake.tool = [chunks](const std::wstring&) {
            FakeTool tool;
            tool.chunks = chunks;
            return tool;
        };
        InspectImage(0);
        EXPECT_EQ(appState.largestFileBytes, 9999999999999) << cut;
        EXPECT_EQ(appState.largestFileName.Get(), L"huge.bin") << cut;
        EXPECT_EQ(appState.windowsImageBytes, 4294967296) << cut;
        EXPECT_EQ(appState.windowsImageName.Get(), L"sources\\install.wim") << cut;
    }

    SetUp();
    Select(Control::FormatFatOption);
    appState.largestFileBytes = 4294967296;
    appState.largestFileName.Set(L"sources\\install.wim");
    appState.draggedFiles.Set(L"D:\\x\\readme.txt\n");
    fake.AddFile(L"D:\\x\\readme.txt");
    fake.soundDevice = true;
    RunCopyOperation(0);
    EXPECT_TRUE(ToolArguments().empty());
    EXPECT_TRUE(fake.labelsSet.empty());
    EXPECT_FALSE(fake.HasFile(L"E:\\readme.txt"));
    EXPECT_EQ(fake.soundsStarted, 0);
    EXPECT_EQ(fake.Of(Control::StatusLine).text,
              L"==  Use NTFS or exFAT: FAT32 can't hold sources\\install.wim (4 GB+)");
    EXPECT_TRUE(fake.Of(Control::StartButton).visible);

    // One byte less fits; NTFS and exFAT hold it whatever its size.
    for (Control option : {Control::FormatFatOption, Control::FormatNtfsOption, Control::FormatExFatOption}) {
        SetUp();
        Select(option);
        appState.largestFileBytes = option == Control::FormatFatOption ? 4294967295 : 4294967296;
        RunCopyOperation(0);
        EXPECT_EQ(ToolArguments().size(), 5u);
    }
}

TEST_F(CopyTest, AnImageNameTheInterpreterWouldRewriteIsNeverListedOrCopied_RegressionOtherFileListed) {
    appState.isoPath.Set(L"D:\\iso\\%OS%.iso");
    fake.Of(Control::IsoPathField).text = L"%OS%.iso";
    fake.AddFile(L"D:\\iso\\%OS%.iso", "iso");
    InspectImage(0);
    EXPECT_TRUE(fake.consoleRuns.empty());
    EXPECT_EQ(appState.imageSizeKiB, 0);
    const std::wstring refusal = L"==  Rename the image: the command interpreter would replace %OS% in its name";
    EXPECT_EQ(fake.Of(Control::StatusLine).text, refusal);

    // A name typed into the field after a good listing is refused at Start.
    SetUp();
    fake.Of(Control::IsoPathField).text = L"%OS%.iso";
    fake.AddFile(L"D:\\iso\\%OS%.iso", "iso");
    Select(Control::FormatNtfsOption);
    RunCopyOperation(0);
    EXPECT_TRUE(fake.consoleRuns.empty());
    EXPECT_EQ(fake.Of(Control::StatusLine).text, refusal);
}

TEST_F(CopyTest, FormattingWithoutAdminRightsIsRefusedBeforeAnythingRuns) {
    const std::wstring refusal = L"==  To format, start Drovelkit as administrator";
    const struct { Control option; size_t runs; const wchar_t* status; } rows[] = {
        {Control::FormatNtfsOption, 0, refusal.c_str()},
        {Control::FormatFatOption, 0, refusal.c_str()},
        {Control::FormatExFatOption, 0, refusal.c_str()},
        {Control::FormatNoneOption, 1, L""},  // extraction only: no rights needed
    };
    for (const auto& row : rows) {
        SetUp();
        fake.admin = false;
        fake.files.erase(L"C:\\TEMP\\DROVELKIT\\7ZDROVELKIT.EXE");
        fake.onRunHidden = [](const std::wstring&) { fake.AddFile(kArchiver, "MZ"); };
        fake.soundDevice = true;
        appState.draggedFiles.Set(L"D:\\x\\readme.txt\n");
        fake.AddFile(L"D:\\x\\readme.txt");
        OsSetCheck(Control::FormatNoneOption, 0);
        Select(row.option);
        RunCopyOperation(0);
        const bool refused = row.runs == 0;
        EXPECT_EQ(ToolArguments().size(), row.runs) << int(row.option);
        EXPECT_EQ(fake.hiddenRuns.size(), refused ? 0u : 1u) << "the payload is unpacked only to be used";
        EXPECT_TRUE(fake.labelsSet.empty());
        EXPECT_EQ(fake.HasFile(L"E:\\readme.txt"), !refused);
        EXPECT_EQ(fake.soundsStarted, refused ? 0 : 1);
        if (refused) {
            EXPECT_EQ(fake.Of(Control::StatusLine).text, row.status);
        }
        EXPECT_TRUE(fake.Of(Control::StartButton).visible);
    }
}

TEST_F(CopyTest, AToolChangedAfterUnpackingIsRefusedAndNothingRunsAfterIt) {
    const std::wstring bootRefusal = L"==  bootice.exe was changed after unpacking: not started";
    const std::wstring archiverRefusal = L"==  7zdrovelkit.exe was changed after unpacking: not started";
    // changeAt: the tool run (0-based) during which another process of the
    // user writes the tool; -1: before the operation starts.
    const struct { Control option; std::wstring tool; int changeAt; bool asLink; size_t runs; std::wstring status; }
        rows[] = {
            {Control::FormatNtfsOption, kBootice, -1, false, 0, bootRefusal},
            {Control::FormatNoneOption, kArchiver, -1, false, 0, archiverRefusal},
            {Control::FormatNtfsOption, kBootice, -1, true, 0, bootRefusal},
            // Written during the probe: the repartition and the probe ran, the boot records do not.
            {Control::FormatNtfsOption, kBootice, 1, false, 2, bootRefusal},
            // While a tool runs it is held: the write fails and all goes on.
            {Control::FormatNtfsOption, kArchiver, 1, false, 5, L""},
        };
    for (const auto& row : rows) {
        SetUp();
        fake.storedDigests = fake.DigestsOfPayloadFiles();
        fake.digestsFromFiles = false;
        fake.soundDevice = true;
        appState.draggedFiles.Set(L"D:\\x\\readme.txt\n");
        fake.AddFile(L"D:\\x\\readme.txt");
        std::vector<bool> heldDuringRun;
        const std::wstring tool = row.tool;
        auto change = [tool, asLink = row.asLink] {
            if (asLink) {
                fake.files.erase(ToUpper(tool));
                fake.AddFile(L"D:\\evil\\tool.exe", "MZ");  // the same bytes, elsewhere
                fake.AddLink(tool, L"D:\\evil\\tool.exe");
            } else {
                OsWriteWholeFile(tool, "MZ evil", 7);
            }
        };
        if (row.changeAt < 0) change();
        fake.tool = [&heldDuringRun, change, changeAt = row.changeAt](const std::wstring& line) {
            FakeTool result;
            const bool boot = line.find(L"bootice.exe") != std::wstring::npos;
            heldDuringRun.push_back(fake.heldFiles.count(ToUpper(boot ? kBootice : kArchiver)) == 1);
            if (int(fake.consoleRuns.size()) - 1 == changeAt) result.onStart = change;
            return result;
        };
        OsSetCheck(Control::FormatNoneOption, 0);
        Select(row.option);
        RunCopyOperation(0);
        EXPECT_EQ(ToolArguments().size(), row.runs) << row.status;
        EXPECT_EQ(heldDuringRun, std::vector<bool>(row.runs, true));
        EXPECT_TRUE(fake.heldFiles.empty()) << "every hold is released";
        const bool refused = !row.status.empty();
        EXPECT_EQ(fake.HasFile(L"E:\\readme.txt"), !refused);
        EXPECT_EQ(fake.soundsStarted, refused ? 0 : 1);
        if (refused) {
            EXPECT_EQ(fake.Of(Control::StatusLine).text, row.status);
            // The next operation unpacks afresh, writing every tool over.
            EXPECT_FALSE(fake.HasFile(kArchiver));
        }
    }
}

// A Windows image of 4 GiB or more onto FAT32: the rest is extracted and the
// program splits the image itself, read in place from the ISO image, or
// from a copy in the temporary folder where the image's layout is unknown.
// The images are real: captured by wimlib, mastered UDF-only as Microsoft's.
class SplitTest : public CopyTest {
protected:
    const std::wstring kWork = L"C:\\Temp\\drovelkit\\split";
    const std::wstring kImage = L"D:\\iso\\win.iso";
    const std::wstring kPart = L"E:\\Sources\\Install.swm";

    struct Media {
        std::string wim, pipableWim, iso, pipableIso;
    };
    static const Media& Made() {
        static const Media media = [] {
            char folder[] = "/tmp/drovelkit-split-XXXXXX";
            const std::string work = mkdtemp(folder);
            const std::string tree = work + "/tree", iso = work + "/iso";
            const std::string make =
                "set -e; cd '" + work + "'; mkdir -p tree/a iso/sources; head -c 300000 /dev/urandom > tree/a/r.bin;"
                " seq 1 50000 > tree/a/s.txt; wimlib-imagex capture tree w.wim >/dev/null;"
                " wimlib-imagex capture tree p.wim --pipable >/dev/null;"
                " cp w.wim iso/sources/install.wim; genisoimage -quiet -udf -o w.iso iso 2>/dev/null;"
                " cp p.wim iso/sources/install.wim; genisoimage -quiet -udf -o p.iso iso 2>/dev/null";
            Media made;
            if (std::system(("bash -c \"" + make + "\"").c_str()) == 0) {
                made = {ReadAll(work + "/w.wim"), ReadAll(work + "/p.wim"), ReadAll(work + "/w.iso"),
                        ReadAll(work + "/p.iso")};
            }
            std::system(("rm -rf '" + work + "'").c_str());
            return made;
        }();
        return media;
    }
    static std::string ReadAll(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void SetUp() override {
        CopyTest::SetUp();
        if (Made().iso.empty()) GTEST_SKIP() << "wimlib-imagex or genisoimage could not make the test images";
        Select(Control::FormatFatOption);
        fake.soundDevice = true;
        fake.freeBytes[2] = 6ull << 30;  // C:
        fake.AddFile(kImage, Made().iso);
        // The listing's figures: the image counts as more than 4 GiB.
        appState.largestFileBytes = 4294967295;
        appState.largestFileName.Set(L"sources\\boot.wim");
        appState.windowsImageBytes = 5368709120;
        appState.windowsImageName.Set(L"Sources\\Install.WIM");
        fake.tool = [this](const std::wstring& commandLine) { return Tool(commandLine); };
    }
    // The archiver's copy into the temporary folder, for an image read so.
    FakeTool Tool(const std::wstring& commandLine) {
        FakeTool tool;
        if (commandLine.find(L"-o" + kWork) == std::wstring::npos) return tool;
        tool.chunks = {" 40% 1 - Sources\\Install.WIM"};
        tool.onStart = [this] {
            fake.AddFolder(kWork + L"\\Sources");
            fake.AddFile(kWork + L"\\Sources\\Install.WIM", copied);
            if (escapeAt == L"copy") appState.interruptRequested = 1;
        };
        if (escapeAt == L"no copy") tool.onStart = nullptr;
        return tool;
    }
    std::vector<std::wstring> Expected(bool inPlace) const {
        std::vector<std::wstring> runs = {
            kBootice + L" /device=E: /partitions /repartition /activate /usb-hdd /fstype=fat32 /quiet",
            kArchiver + L" x -y \"D:\\iso\\win.iso\" -oE:\\ grldr menu.lst",
            kBootice + L" /device=E: /mbr /install /type=nt60 /quiet",
            kBootice + L" /device=E: /pbr /install /type=bootmgr /activate /quiet",
            kArchiver + L" x -y -bsp1 \"D:\\iso\\win.iso\" -oE:\\ \"-x!Sources\\Install.WIM\""};
        if (!inPlace) runs.push_back(kArchiver + L" x -y -bsp1 \"D:\\iso\\win.iso\" -o" + kWork + L"\\ \"Sources\\Install.WIM\"");
        return runs;
    }
    std::string copied = Made().wim;
    std::wstring escapeAt;
};

TEST_F(SplitTest, TheImageGoesOntoFat32AsPartsReadInPlaceOrFromACopy) {
    for (bool inPlace : {true, false}) {
        SetUp();
        // An image that is no ISO at all: its layout is unknown.
        if (!inPlace) fake.AddFile(kImage, "not an ISO image");
        RunCopyOperation(0);
        EXPECT_EQ(ToolArguments(), Expected(inPlace));
        const std::string part = fake.FileContent(kPart);
        EXPECT_EQ(part.substr(0, 8), std::string("MSWIM\0\0\0", 8)) << inPlace;
        // One part of a small image: the source's resources, a new header.
        EXPECT_GT(part.size(), Made().wim.size() - 4096) << inPlace;
        const auto statuses = fake.StatusHistory();
        EXPECT_NE(std::find(statuses.begin(), statuses.end(), L"Splitting Sources\\Install.WIM for FAT32 ..."),
                  statuses.end());
        // The copy into the temporary folder is no file of the drive, and goes again.
        EXPECT_EQ(std::find(statuses.begin(), statuses.end(), L"C:\\Sources\\Install.WIM"), statuses.end());
        EXPECT_LT(Position(L"progress 100"), fake.log.size()) << inPlace;
        EXPECT_LT(Position(L"taskbar 100/100"), fake.log.size()) << inPlace;
        EXPECT_FALSE(fake.folders.count(ToUpper(kWork))) << inPlace;
        EXPECT_EQ(fake.soundsStarted, 1) << inPlace;
        EXPECT_EQ(fake.Of(Control::StatusLine).text.rfind(L"==", 0), std::wstring::npos) << inPlace;
    }
}

TEST_F(SplitTest, EscapeOrAFailureLeavesNoPartAndNoCopy) {
    struct Row {
        const wchar_t* what;
        bool inPlace;
        const wchar_t* finalStatus;
    };
    for (const Row& row :
         {Row{L"copy", false, L"Operation is interrupted!"}, Row{L"split", true, L"Operation is interrupted!"},
          Row{L"split", false, L"Operation is interrupted!"},
          Row{L"drive full", true, L"==  Could not write E:\\Sources\\Install.swm"},
          Row{L"no copy", false, L"==  Could not copy Sources\\Install.WIM into the temporary folder"},
          Row{L"pipable copy", false, L"==  Use NTFS or exFAT: a pipable image can't be split"}}) {
        SetUp();
        escapeAt = row.what;
        if (!row.inPlace) fake.AddFile(kImage, "not an ISO image");
        if (escapeAt == L"split") fake.onWrite = [] { appState.interruptRequested = 1; };
        if (escapeAt == L"drive full") fake.writeRoom = 100000;
        if (escapeAt == L"pipable copy") copied = Made().pipableWim;
        RunCopyOperation(0);
        EXPECT_EQ(ToolArguments(), Expected(row.inPlace)) << row.what;
        EXPECT_FALSE(fake.HasFile(kPart)) << row.what;
        EXPECT_FALSE(fake.folders.count(ToUpper(kWork))) << row.what;
        EXPECT_EQ(fake.Of(Control::StatusLine).text, row.finalStatus) << row.what;
        EXPECT_EQ(fake.soundsStarted, 0) << row.what;
    }
}

TEST_F(SplitTest, RefusalsComeBeforeAnythingIsWritten) {
    struct Row {
        const wchar_t* what;
        int64_t otherBytes;
        uint64_t freeBytes;  // 0: unreadable
        bool iso;            // an image whose layout is known
        const wchar_t* status;
    };
    for (const Row& row :
         {Row{L"another file of 4 GiB", 4294967296, 6ull << 30, true,
              L"==  Use NTFS or exFAT: FAT32 can't hold sources\\boot.wim (4 GB+)"},
          Row{L"pipable in place", 1, 6ull << 30, true, L"==  Use NTFS or exFAT: a pipable image can't be split"},
          Row{L"one byte short", 1, 5368709119, false, L"==  Too little room in the temporary folder: 5.120 MB needed"},
          Row{L"no free figure", 1, 0, false, L"==  Too little room in the temporary folder: 5.120 MB needed"}}) {
        SetUp();
        appState.largestFileBytes = row.otherBytes;
        if (row.freeBytes == 0) fake.freeBytes.clear();
        else fake.freeBytes[2] = row.freeBytes;
        fake.AddFile(kImage, row.iso ? Made().pipableIso : "not an ISO image");
        RunCopyOperation(0);
        EXPECT_TRUE(ToolArguments().empty()) << row.what;
        EXPECT_TRUE(fake.labelsSet.empty()) << row.what;
        EXPECT_EQ(fake.Of(Control::StatusLine).text, row.status) << row.what;
    }
    // In place, the temporary folder's room does not matter.
    SetUp();
    fake.freeBytes.clear();
    RunCopyOperation(0);
    EXPECT_EQ(ToolArguments(), Expected(true));
    // NTFS and exFAT hold the image whole.
    for (Control option : {Control::FormatNtfsOption, Control::FormatExFatOption}) {
        SetUp();
        Select(option);
        RunCopyOperation(0);
        EXPECT_EQ(ToolArguments().size(), 5u);
    }
}

}  // namespace
