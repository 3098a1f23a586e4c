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
    } else {
        // A 64-bit process (or one on 32-bit Windows) has no Sysnative: its
        // System32 is the native folder, and the checker is found there.
        EXPECT_EQ(Printable(ToUpper(appState.nativeSystemDir)), Printable(ToUpper(appState.windowsDir + L"\\System32")));
        EXPECT_GT(OsFileSize(appState.windowsDir + L"\\System32\\chkdsk.exe"), 0)
            << "the prefix has no chkdsk.exe stand-in (wine_prefix.sh setup puts it there)";
    }

    OsComboClear();
    OsComboAppend(L"E:  TESTDRIVE   (1.024 Mb)");
    OsComboSelect(0);
    const std::wstring record = TestTempFolder() + L"\\dk chkdsk record.txt";
    SetEnvironmentVariableW(L"DK_CHKDSK_RECORD", record.c_str());

    // After its answer the checker reports that it has finished and ends at
    // once, while the runner still pauses after answering: that last report
    // must be read from the pipe after the checker's end.
    SetEnvironmentVariableW(L"DK_CHKDSK_FINAL", L"100 percent completed.");
    const char kFinalStatus[] = "Check disk E:, 100% done ...";

    const struct {
        int exitCode;
        int box;                 // CheckDiskBox: 1 ticked, -1 third state
        const wchar_t* progress; // the line the checker prints before its question
        int barBefore;
        const char* progressStatus;  // what the status line shows for it, or null for nothing
        std::vector<int> bar;        // the bar positions set, in order
        const char* verdict;
    } cases[] = {
        {0, 1, L"Stage: 18%; Total: 6%; ETA: 0:00:35", 0, "Check disk E:, 6% , Time Left: 0:00:35", {7, 101},
         "Errors not found"},
        {1, -1, L"45 percent completed.", 0, "Check disk E:, 45% done ...", {46, 101}, "All errors corrected"},
        // 345 is no percentage but still moves the bar, which stops at its
        // end (100), so the final 100 does not move it again.
        {3, 1, L"12345 file records processed.", 0, nullptr, {346}, "Errors NOT corrected or Drive is busy!"},
        {2, -1, L"Stage: 0%; Total: 0%; ETA: 0:01:00", 50, "Check disk E:, 0% , Time Left: 0:01:00", {1, 101}, ""},
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

        const std::vector<std::wstring>& texts = recorder.statusTexts;
        ASSERT_GE(texts.size(), 2u) << Printable(texts);
        EXPECT_EQ(Printable(texts.back()), c.verdict) << Printable(texts);
        EXPECT_EQ(Printable(texts[texts.size() - 2]), kFinalStatus) << Printable(texts);
        if (c.progressStatus != nullptr) {
            EXPECT_EQ(Printable(texts.front()), c.progressStatus) << Printable(texts);
        } else {
            EXPECT_EQ(texts.size(), 2u) << "no text for the count above 100" << Printable(texts);
        }
        EXPECT_EQ(recorder.barPositions, c.bar);
    }
    for (const wchar_t* name : {L"DK_CHKDSK_RECORD", L"DK_CHKDSK_EXIT", L"DK_CHKDSK_PROGRESS", L"DK_CHKDSK_FINAL"})
        SetEnvironmentVariableW(name, nullptr);
    DeleteFileW(record.c_str());
}
