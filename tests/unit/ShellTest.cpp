#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "app/AppState.h"
#include "app/EventLoop.h"
#include "app/Reporting.h"
#include "app/Shutdown.h"
#include "app/Startup.h"
#include "common/Str.h"
#include "copy/CopyOperation.h"
#include "tools/DiskCheck.h"
#include "tests/unit/FakeOs.h"

namespace {

class ShellTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetWorld();
        fake.environment[L"TEMP"] = L"C:\\Users\\u\\Temp";
    }
    static Event ControlEventOf(Control control) {
        Event event;
        event.kind = EventKind::ControlEvent;
        event.window = EventWindow::Main;
        event.control = control;
        return event;
    }
    static Event MessageEvent(unsigned message, EventWindow window = EventWindow::Main) {
        Event event;
        event.kind = EventKind::Message;
        event.window = window;
        event.message = message;
        return event;
    }
    static bool Logged(const std::wstring& line) {
        return std::find(fake.log.begin(), fake.log.end(), line) != fake.log.end();
    }
    static size_t Position(const std::wstring& line) {
        return size_t(std::find(fake.log.begin(), fake.log.end(), line) - fake.log.begin());
    }
};

TEST_F(ShellTest, StartUpSetsPathsAndTheInitialLook) {
    ASSERT_TRUE(StartUp());
    EXPECT_EQ(appState.tempDir, L"C:\\Users\\u\\Temp");
    EXPECT_EQ(fake.title, kWindowTitle);
    EXPECT_EQ(fake.Of(Control::IsoPathField).text, L"Select ISO image -->");
    EXPECT_EQ(fake.Of(Control::LabelField).text, L"WinPE");
    EXPECT_EQ(fake.Of(Control::FormatNoneOption).check, 1);
    EXPECT_EQ(fake.Of(Control::BootBiosOption).check, 1);
    EXPECT_TRUE(fake.Of(Control::StartButton).visible);
    EXPECT_FALSE(fake.Of(Control::CopyProgressBar).visible);
    EXPECT_FALSE(fake.Of(Control::ProgressText).visible);
    EXPECT_FALSE(fake.Of(Control::DraggedFilesNotice).visible);
    EXPECT_TRUE(fake.Of(Control::TestMenuButton).enabled);
    EXPECT_EQ(fake.Of(Control::StatusLine).text, L"");
    EXPECT_TRUE(Logged(L"tooltip TestMenuButton: Left click - USB flash drive, Right click - ISO disk image."));
    EXPECT_TRUE(Logged(L"accept drops"));
}

TEST_F(ShellTest, SystemFoldersComeFromTheSystemNeverFromWindir_RegressionPlantedInterpreter) {
    // A user's WINDIR (HKCU\Environment reaches an elevated program) with a
    // cmd.exe of its own, and a Sysnative that a probe for a file would take.
    fake.environment[L"WINDIR"] = L"C:\\Users\\u\\evil";
    fake.AddFile(L"C:\\Users\\u\\evil\\Sysnative\\cmd.exe", "MZ");
    fake.AddFile(L"C:\\Users\\u\\evil\\System32\\cmd.exe", "MZ");
    const struct { bool wow64; const wchar_t* native; } rows[] = {
        {true, L"C:\\Windows\\Sysnative"},   // 32-bit program on 64-bit Windows
        {false, L"C:\\Windows\\System32"},   // native program (or 32-bit Windows)
    };
    for (const auto& row : rows) {
        fake.semaphores.clear();
        fake.wow64 = row.wow64;
        fake.environment.erase(L"TEMP");
        ASSERT_TRUE(StartUp());
        EXPECT_EQ(appState.tempDir, OsSystemTempFolder());
        EXPECT_EQ(appState.windowsDir, L"C:\\Windows");
        EXPECT_EQ(appState.nativeSystemDir, row.native);
    }
    // Every way a system program is started names only the system's folders.
    fake.Of(Control::CheckDiskBox).check = 1;
    fake.comboLines = {L"E:\\ [X]   1 Kb"};
    fake.comboSelected = 0;
    fake.AddFile(L"C:\\Windows\\System32\\chkdsk.exe", "MZ");
    fake.processes = {{7, L"7zdrovelkit.exe"}};
    fake.onRunHidden = [](const std::wstring&) { fake.processes.clear(); };
    RunDiskCheck();
    StopToolProcesses(L"7zdrovelkit.exe", false, false);
    ASSERT_EQ(fake.consoleRuns.size(), 1u);
    EXPECT_EQ(fake.consoleRuns[0],
              L"\"C:\\Windows\\System32\\cmd.exe\"  /d /c C:\\Windows\\System32\\chkdsk.exe E: /F /R");
    ASSERT_EQ(fake.hiddenRuns.size(), 1u);
    EXPECT_EQ(fake.hiddenRuns[0], L"\"C:\\Windows\\System32\\taskkill.exe\" /t /f /IM 7zdrovelkit.exe");
}

TEST_F(ShellTest, SecondInstanceUnderTheSameFileNameStopsAndAnotherNameRuns) {
    EXPECT_EQ(InstanceName(L"\\\\?\\C:\\tools\\Drovelkit.exe"), L"Drovelkit.exe");
    EXPECT_EQ(InstanceName(L"C:/tools/copy.exe"), L"copy.exe");
    ASSERT_TRUE(StartUp());
    EXPECT_FALSE(StartUp());
    fake.moduleFileName = L"C:\\elsewhere\\other.exe";
    EXPECT_TRUE(StartUp());
    fake.semaphoreFails = true;  // no semaphore at all: runs unprotected
    EXPECT_TRUE(StartUp());
}

TEST_F(ShellTest, WithoutAdminRightsTheTestMenuIsDisabledAndUncaptioned) {
    fake.admin = false;
    ASSERT_TRUE(StartUp());
    EXPECT_EQ(fake.Of(Control::TestMenuFrame).text, L"");
    for (Control c : {Control::TestMenuFrame, Control::TestMenuButton, Control::BootBiosOption,
                      Control::BootEfi64Option, Control::BootEfi32Option})
        EXPECT_FALSE(fake.Of(c).enabled);
    EXPECT_TRUE(fake.Of(Control::StartButton).enabled);
}

TEST_F(ShellTest, LargeTextShortensTheTitleAndShowsTheFullOneInTheStatusLine) {
    fake.systemFontWidth = 56;
    ASSERT_TRUE(StartUp());
    EXPECT_TRUE(fake.smallDriveFont);
    EXPECT_EQ(fake.title, L"Drovelkit v4.2.1");
    EXPECT_EQ(fake.Of(Control::StatusLine).text, L"Drovelkit v4.2.1 by Quendar");

    ResetWorld();
    fake.systemFontWidth = 55;
    ASSERT_TRUE(StartUp());
    EXPECT_FALSE(fake.smallDriveFont);
    EXPECT_EQ(fake.title, kWindowTitle);
}

TEST_F(ShellTest, ShowStatusRemovesLineFeedsAndNeedsTheWindow) {
    ShowStatus(L"two\nwords\n");
    EXPECT_EQ(fake.Of(Control::StatusLine).text, L"twowords");
    ShowStatus(L"");
    EXPECT_EQ(fake.Of(Control::StatusLine).text, L"");
    fake.windowExists = false;
    ShowStatus(L"lost");
    EXPECT_EQ(fake.Of(Control::StatusLine).text, L"");
}

TEST_F(ShellTest, CheckDiskBoxCyclesThirdStateTickedClear) {
    const int expected[] = {-1, 1, 0, -1, 1, 0};
    for (int state : expected) {
        OnCheckDiskClicked();
        EXPECT_EQ(fake.Of(Control::CheckDiskBox).check, state);
    }
    EXPECT_EQ(appState.checkDiskClicks, 0);
}

TEST_F(ShellTest, CursorOverControlIncludesEveryEdge) {
    fake.screenRects[Control::TestMenuButton] = ScreenRect{100, 200, 50, 20};
    const struct { long x, y; bool inside; } cases[] = {
        {100, 200, true}, {150, 220, true}, {125, 210, true}, {99, 210, false},
        {151, 210, false}, {125, 199, false}, {125, 221, false},
    };
    for (const auto& c : cases) {
        fake.cursorX = c.x;
        fake.cursorY = c.y;
        EXPECT_EQ(IsCursorOverControl(Control::TestMenuButton), c.inside) << c.x << "," << c.y;
    }
    fake.cursorX = fake.cursorY = 0;  // a missing control is the point (0, 0)
    EXPECT_TRUE(IsCursorOverControl(Control::StatusLine));
    fake.cursorX = 1;
    EXPECT_FALSE(IsCursorOverControl(Control::StatusLine));
}

TEST_F(ShellTest, DispatchCallsTheHandlerOfEachControlAndZeroOnlyForClose) {
    Event close;
    close.kind = EventKind::Close;
    close.window = EventWindow::Main;
    EXPECT_EQ(DispatchEvent(close), 0);
    Event menu;
    menu.kind = EventKind::Menu;
    EXPECT_EQ(DispatchEvent(menu), 1);

    EXPECT_EQ(DispatchEvent(ControlEventOf(Control::CheckDiskBox)), 1);
    EXPECT_EQ(fake.Of(Control::CheckDiskBox).check, -1);

    fake.Of(Control::ShowAllDrivesCheck).check = 1;
    DispatchEvent(ControlEventOf(Control::ShowAllDrivesCheck));
    EXPECT_EQ(appState.showAllDrives, 1);

    fake.chosenFile = L"";
    DispatchEvent(ControlEventOf(Control::IsoImageButton));
    EXPECT_TRUE(Logged(L"dialog Please choose ISO file|ISO Files (*.iso)|*.iso|C:\\Program Files\\Drovelkit\\"));

    DispatchEvent(ControlEventOf(Control::StartButton));
    ASSERT_EQ(fake.startedThreads.size(), 1u);
    EXPECT_EQ(fake.startedThreads[0].first, &RunCopyOperation);

    const size_t before = fake.log.size();
    DispatchEvent(ControlEventOf(Control::LabelField));  // typing sets no state
    DispatchEvent(ControlEventOf(Control::DriveCombo));
    EXPECT_EQ(fake.log.size(), before);
}

TEST_F(ShellTest, StartShowsProgressAndRefusesWhileTheWorkerLives) {
    appState.interruptRequested = 1;
    fake.Of(Control::StatusLine).text = L"old";
    OnStartClicked();
    EXPECT_EQ(appState.interruptRequested, 0);
    EXPECT_EQ(fake.Of(Control::StatusLine).text, L"");
    EXPECT_FALSE(fake.Of(Control::StartButton).visible);
    EXPECT_TRUE(fake.Of(Control::CopyProgressBar).visible);
    EXPECT_TRUE(fake.Of(Control::ProgressText).visible);
    EXPECT_EQ(fake.progress, 1);
    EXPECT_TRUE(Logged(L"taskbar state 2"));
    EXPECT_TRUE(Logged(L"taskbar 1/100"));
    fake.threadsAlive = true;
    OnStartClicked();
    EXPECT_EQ(fake.startedThreads.size(), 1u);
}

TEST_F(ShellTest, CloseEndsTheLoopOnlyWhenNoOperationRuns) {
    Event close;
    close.kind = EventKind::Close;
    close.window = EventWindow::Main;
    fake.threadsAlive = true;
    appState.workerThread = reinterpret_cast<ThreadHandle>(1);
    fake.events.push_back(close);
    EXPECT_TRUE(RunEventLoopPass());
    fake.threadsAlive = false;
    fake.events.push_back(close);
    EXPECT_FALSE(RunEventLoopPass());
}

TEST_F(ShellTest, IdlePassSleepsFiveMillisecondsAndForeignEventsAreIgnored) {
    EXPECT_TRUE(RunEventLoopPass());
    ASSERT_EQ(fake.sleeps.size(), 1u);
    EXPECT_EQ(fake.sleeps[0], kIdleSleepMilliseconds);
    Event foreign = ControlEventOf(Control::CheckDiskBox);
    foreign.window = EventWindow::Other;
    fake.events.push_back(foreign);
    EXPECT_TRUE(RunEventLoopPass());
    EXPECT_EQ(fake.Of(Control::CheckDiskBox).check, 0);
    EXPECT_EQ(fake.sleeps.size(), 2u);
}

TEST_F(ShellTest, LeftReleaseOverTheNoticeForgetsDroppedFilesEvenWhenHidden) {
    fake.screenRects[Control::DraggedFilesNotice] = ScreenRect{10, 10, 100, 20};
    fake.cursorX = 50;
    fake.cursorY = 20;
    appState.draggedFiles.Set(L"D:\\a.txt\n");
    fake.Of(Control::DraggedFilesNotice).visible = false;
    fake.events.push_back(MessageEvent(kLeftButtonUp));
    RunEventLoopPass();
    EXPECT_EQ(appState.draggedFiles.Get(), L"");
    EXPECT_FALSE(fake.Of(Control::DraggedFilesNotice).visible);
}

TEST_F(ShellTest, RightReleaseOverTestMenuStartsTheImageTestAndElsewhereNothing) {
    fake.screenRects[Control::TestMenuButton] = ScreenRect{300, 300, 98, 25};
    appState.isoPath.Set(L"D:\\iso\\x.iso");
    fake.Of(Control::IsoPathField).text = L"x.iso";
    fake.AddFile(L"D:\\iso\\x.iso", "image");
    fake.AddFile(L"C:\\Temp\\drovelkit\\7zdrovelkit.exe", "MZ");
    fake.AddFile(L"C:\\Temp\\drovelkit\\qemu\\qemu_test.exe", "MZ");
    fake.cursorX = 10;
    fake.events.push_back(MessageEvent(kRightButtonUp));
    RunEventLoopPass();
    EXPECT_TRUE(fake.hiddenRuns.empty());
    fake.cursorX = 398;
    fake.cursorY = 325;
    fake.Of(Control::TestMenuButton).enabled = false;  // disabled buttons still answer the right click
    fake.events.push_back(MessageEvent(kRightButtonUp));
    RunEventLoopPass();
    ASSERT_EQ(fake.hiddenRuns.size(), 1u);
    EXPECT_NE(fake.hiddenRuns[0].find(L"-cdrom \"D:\\iso\\x.iso\""), std::wstring::npos);
}

TEST_F(ShellTest, EscapeOnlyCountsInFrontAndInterruptsARunningOperation) {
    fake.escapeDown = true;
    fake.inFront = false;
    fake.Of(Control::DriveCombo).enabled = false;
    RunEventLoopPass();
    EXPECT_FALSE(fake.Of(Control::DriveCombo).enabled);

    fake.inFront = true;
    RunEventLoopPass();  // idle: only the drive list comes back
    EXPECT_TRUE(fake.Of(Control::DriveCombo).enabled);
    EXPECT_EQ(fake.messageBoxesShown, 0);

    fake.threadsAlive = true;
    appState.workerThread = reinterpret_cast<ThreadHandle>(1);
    fake.processes = {{42, L"C:\\T\\drovelkit\\7ZDROVELKIT.EXE"}};
    fake.onRunHidden = [](const std::wstring&) { fake.processes.clear(); };  // taskkill works
    // The worker ends a while after the archiver, once its last step is done.
    fake.onSleep = [](int milliseconds) {
        if (milliseconds == 50 && fake.threadsAlive) {
            fake.threadsAlive = false;
            fake.log.push_back(L"worker ended");
        }
    };
    RunEventLoopPass();
    // The box tells the truth: it opens only once the operation has stopped.
    EXPECT_LT(Position(L"worker ended"), Position(L"box Error !!!: Operation is interrupted!"));
    EXPECT_EQ(appState.interruptRequested, 1);
    ASSERT_EQ(fake.hiddenRuns.size(), 1u);
    EXPECT_EQ(fake.hiddenRuns[0], L"\"C:\\Windows\\System32\\taskkill.exe\" /t /f /IM 7zdrovelkit.exe");
    EXPECT_EQ(fake.messageBoxTitle, L"Error !!!");
    EXPECT_EQ(fake.messageBoxText, L"Operation is interrupted!");
    EXPECT_EQ(fake.messageBoxX, fake.windowLeft + 45);
    EXPECT_EQ(fake.messageBoxY, fake.windowTop + 80);
    EXPECT_TRUE(fake.Of(Control::StartButton).visible);
    EXPECT_FALSE(fake.Of(Control::CopyProgressBar).visible);
    EXPECT_FALSE(fake.Of(Control::ProgressText).visible);
    EXPECT_EQ(fake.Of(Control::StatusLine).text, L"==  Operation is interrupted!");
    const auto history = fake.StatusHistory();
    EXPECT_NE(std::find(history.begin(), history.end(), L"==  Please wait ..."), history.end());
}

TEST_F(ShellTest, StopLoopGivesUpOnAProcessTaskkillCannotEnd_RegressionEndlessStop) {
    fake.processes = {{7, L"chkdsk.exe"}};
    EXPECT_FALSE(StopToolProcesses(L"CHKDSK.EXE", true, true));
    EXPECT_EQ(int(fake.hiddenRuns.size()), kStopPassLimit);
    EXPECT_EQ(fake.Of(Control::StatusLine).text, L"==  Could not stop CHKDSK.EXE");
    fake.processListReadable = false;  // an unreadable list finds nothing to stop
    EXPECT_TRUE(StopToolProcesses(L"chkdsk.exe", false, false));
}

TEST_F(ShellTest, FindProcessComparesFileNamesWithoutCase) {
    fake.processes = {{3, L"C:\\a\\notepad.exe"}, {9, L"D:\\x\\7ZDrovelkit.EXE"}, {11, L"7zdrovelkit.exe"}};
    EXPECT_EQ(FindProcessId(L"7zdrovelkit.exe"), 9u);
    EXPECT_EQ(FindProcessId(L"7zdrovelkit"), 0u);
    EXPECT_FALSE(IsProcessRunning(L"chkdsk.exe"));
}

TEST_F(ShellTest, ExitStopsTheArchiverRemovesThePayloadFolderAndEndsWithZero) {
    fake.AddFolder(L"C:\\Temp\\drovelkit");
    fake.AddFolder(L"C:\\Temp\\drovelkit\\qemu");
    fake.AddFile(L"C:\\Temp\\drovelkit\\7zdrovelkit.exe");
    fake.AddFile(L"C:\\Temp\\drovelkit\\qemu\\bios.bin");
    // Another process of the user swaps "qemu" for a junction to a folder
    // of the system's after the payload folder was listed.
    fake.AddFolder(L"C:\\Windows\\System32");
    fake.AddFile(L"C:\\Windows\\System32\\kernel32.dll");
    static bool swapped;
    swapped = false;
    fake.onOpenEntry = [](const std::wstring& path) {
        if (ToUpper(path) != L"C:\\TEMP\\DROVELKIT\\QEMU") return;
        swapped = true;
        fake.folders.erase(L"C:\\TEMP\\DROVELKIT\\QEMU");
        fake.files.erase(L"C:\\TEMP\\DROVELKIT\\QEMU\\BIOS.BIN");
        fake.AddLink(path, L"C:\\Windows\\System32");
    };
    try {
        RunExitSequence();
        FAIL() << "the exit sequence returned";
    } catch (const ExitCalled& exit) {
        EXPECT_EQ(exit.code, 0);
    }
    ASSERT_TRUE(swapped);
    EXPECT_EQ(fake.files.size(), 1u);
    EXPECT_TRUE(fake.HasFile(L"C:\\Windows\\System32\\kernel32.dll"));
    EXPECT_EQ(fake.folders, std::set<std::wstring>{L"C:\\WINDOWS\\SYSTEM32"});
    EXPECT_TRUE(fake.links.empty());
    EXPECT_EQ(fake.StatusHistory().front(), L"==  Please wait ...");
    EXPECT_TRUE(Logged(L"release window"));
}

TEST_F(ShellTest, MessageBoxReturnsItsTextWhenOkIsPressedAndDropsOtherEvents) {
    fake.events.push_back(ControlEventOf(Control::StartButton));
    const std::wstring result = ShowMessageBox(1, 2, L"T", L"Text shown");
    EXPECT_EQ(result, L"Text shown");
    EXPECT_TRUE(fake.startedThreads.empty());
    EXPECT_TRUE(Logged(L"box closed"));
}

}  // namespace

namespace {

TEST(SharedText, NoEntryIsLostWhileOneThreadAppendsAndAnotherTakes_RegressionUnguardedDrops) {
    SharedText dropped;
    constexpr int kEntries = 20000;
    std::atomic<bool> finished{false};
    std::thread dropper([&] {
        for (int i = 0; i < kEntries; ++i) dropped.Append(L"D:\\file" + std::to_wstring(i) + L"\n");
        finished = true;
    });
    int seen = 0;
    for (bool last = false; !last;) {
        last = finished;  // one more pass after the dropper's end takes its tail
        for (const std::wstring& entry : SplitFields(dropped.Take(), L'\n')) {
            if (entry.empty()) continue;
            ASSERT_EQ(entry, L"D:\\file" + std::to_wstring(seen)) << "an entry was lost or torn";
            ++seen;
        }
    }
    dropper.join();
    EXPECT_EQ(seen, kEntries);
}

}  // namespace
