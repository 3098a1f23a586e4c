// The disk check through the real runner and the 64-bit interpreter, against
// a stand-in chkdsk.exe that the prefix holds in its 64-bit system folder.
#include <gtest/gtest.h>
#include <windows.h>

#include "app/AppState.h"
#include "common/Str.h"
#include "platform/Os.h"
#include "tools/ConsoleRunner.h"
#include "tools/DiskCheck.h"
#include "tests/win32/Win32Support.h"

TEST(DiskCheck, AnswersNoAndShowsTheVerdictOfEachExitCode) {
    if (!OsMainWindowExists()) GTEST_SKIP() << "no main window (no display): the drive and verdict live there";
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    if (wow64) {
        // What this 32-bit process sees as System32 is the 32-bit folder,
        // where no checker is: only the native interpreter finds it.
        EXPECT_LT(OsFileSize(appState.windowsDir + L"\\System32\\chkdsk.exe"), 0)
            << "the stand-in should be visible to 64-bit programs only";
        EXPECT_GT(OsFileSize(appState.windowsDir + L"\\Sysnative\\chkdsk.exe"), 0)
            << "the prefix has no chkdsk.exe stand-in (wine_prefix.sh setup puts it there)";
    }

    OsComboClear();
    OsComboAppend(L"E:  TESTDRIVE   (1.024 Mb)");
    OsComboSelect(0);
    const std::wstring record = TestTempFolder() + L"\\dk chkdsk record.txt";
    SetEnvironmentVariableW(L"DK_CHKDSK_RECORD", record.c_str());

    const struct {
        int exitCode;
        int box;                 // CheckDiskBox: 1 ticked, -1 third state
        const wchar_t* progress; // the line the checker prints before its question
        int barBefore;
        const char* progressStatus;  // what the status line shows for it, or null for nothing
        int bar;                     // where the line puts the bar, or -1 for nowhere
        const char* verdict;
    } cases[] = {
        {0, 1, L"Stage: 18%; Total: 6%; ETA: 0:00:35", 0, "Check disk E:, 6% , Time Left: 0:00:35", 7,
         "Errors not found"},
        {1, -1, L"45 percent completed.", 0, "Check disk E:, 45% done ...", 46, "All errors corrected"},
        {3, 1, L"12345 file records processed.", 0, nullptr, 346, "Errors NOT corrected or Drive is busy!"},
        {2, -1, L"Stage: 0%; Total: 0%; ETA: 0:01:00", 50, "Check disk E:, 0% , Time Left: 0:01:00", 1, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("exit code " + std::to_string(c.exitCode));
        DeleteFileW(record.c_str());
        SetEnvironmentVariableW(L"DK_CHKDSK_EXIT", std::to_wstring(c.exitCode).c_str());
        SetEnvironmentVariableW(L"DK_CHKDSK_PROGRESS", c.progress);
        OsSetCheck(Control::CheckDiskBox, c.box);
        OsSetProgress(c.barBefore);
        OsSetText(Control::StatusLine, L"before");
        ControlRecorder recorder;

        RunDiskCheck();

        EXPECT_EQ(CurrentRunReport().exitCode, c.exitCode);
        const std::string got = ReadWholeFile(record);
        EXPECT_NE(got.find(std::string("args=E: ") + (c.box == 1 ? "/F /R\n" : "/F\n")), std::string::npos) << got;
        EXPECT_NE(got.find("answer=N\\r\\n\n"), std::string::npos) << "the checker's question got: " << got;

        ASSERT_FALSE(recorder.statusTexts.empty());
        EXPECT_EQ(Printable(recorder.statusTexts.back()), c.verdict) << Printable(recorder.statusTexts);
        bool sawProgress = false;
        for (size_t i = 0; i + 1 < recorder.statusTexts.size(); ++i)
            sawProgress |= c.progressStatus != nullptr && Printable(recorder.statusTexts[i]) == c.progressStatus;
        if (c.progressStatus != nullptr) {
            EXPECT_TRUE(sawProgress) << Printable(recorder.statusTexts);
        } else {
            EXPECT_EQ(recorder.statusTexts.size(), 1u) << "no progress text, only the verdict"
                                                       << Printable(recorder.statusTexts);
        }
        std::vector<int> expectedBar;
        if (c.bar >= 0) expectedBar.push_back(c.bar);
        EXPECT_EQ(recorder.barPositions, expectedBar);
    }
    for (const wchar_t* name : {L"DK_CHKDSK_RECORD", L"DK_CHKDSK_EXIT", L"DK_CHKDSK_PROGRESS"})
        SetEnvironmentVariableW(name, nullptr);
    DeleteFileW(record.c_str());
}
