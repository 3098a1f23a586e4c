// The console runner with the real interpreter, real pipes and real child
// processes.
#include <gtest/gtest.h>
#include <windows.h>

#include "app/AppState.h"
#include "common/Str.h"
#include "platform/Os.h"
#include "tools/ConsoleRunner.h"
#include "tests/win32/Win32Support.h"

namespace {

std::wstring StatusText() { return OsGetText(Control::StatusLine); }

}  // namespace

TEST(ConsoleRunner, DrainsStandardErrorAndReadsAllOutput) {
    const std::wstring flood = PathFromEnvironment("DK_STDERR_FLOOD");
    const std::wstring exitWith = PathFromEnvironment("DK_EXIT_WITH");
    ASSERT_FALSE(flood.empty()) << "DK_STDERR_FLOOD is not set";
    ASSERT_FALSE(exitWith.empty()) << "DK_EXIT_WITH is not set";
    const bool window = OsMainWindowExists();

    // 8 MiB on standard error would fill any pipe many times over and stall
    // the tool unless the runner drains it; then 200 KiB of standard output
    // (read in several pieces) and a listing summary line as the very last
    // output. The arguments hold "l " so that the listing figures are read.
    appState.imageSizeKiB = 99;
    OsSetText(Control::StatusLine, L"before");
    int32_t code = RunConsoleTool(flood, L"8 0 l 4096  2048  3 files, 4 folders", L"");
    EXPECT_EQ(code, 0);
    EXPECT_EQ(CurrentRunReport().exitCode, 0);
    EXPECT_EQ(appState.imageSizeKiB, 2) << "the summary line was not read";
    if (window) {
        EXPECT_EQ(Printable(StatusText()), "Size: 2Kb,  3 files, 4 folders ");
    }

    // The tool's own exit code comes back through the interpreter.
    code = RunConsoleTool(flood, L"4 5", L"");
    EXPECT_EQ(code, 5);
    if (window) {
        EXPECT_EQ(Printable(StatusText()), "") << "a failed run without an error note clears the status";
    }

    // An archiver whose opening and verdict leave in one write as it exits,
    // as a small image's whole extraction output reaches a busy runner.
    OsSetText(Control::StatusLine, L"before");
    code = RunConsoleTool(flood, L"0 0 x -y -bsp1 Open -- Everything is Ok", L"");
    EXPECT_EQ(code, 0);
    if (window) {
        EXPECT_EQ(Printable(StatusText()), "Everything is Ok ");
    }

    // A tool that writes nothing: the verdict depends on the exit code alone.
    OsSetText(Control::StatusLine, L"before");
    code = RunConsoleTool(exitWith, L"0", L"");
    EXPECT_EQ(code, 0);
    if (window) {
        EXPECT_EQ(Printable(StatusText()), "");
    }
    EXPECT_EQ(RunConsoleTool(exitWith, L"7", L""), 7);
}

TEST(ConsoleRunner, ReportsToolsThatAreMissingOrCannotStart) {
    const std::wstring exitWith = PathFromEnvironment("DK_EXIT_WITH");
    ASSERT_FALSE(exitWith.empty()) << "DK_EXIT_WITH is not set";
    const bool window = OsMainWindowExists();
    const std::wstring tools = PayloadTempFolder() + L"\\my tools";
    CreateDirectoryW(PayloadTempFolder().c_str(), nullptr);
    CreateDirectoryW(tools.c_str(), nullptr);

    // A tool in a folder whose name has blanks runs, with its arguments.
    const std::wstring quotedTool = tools + L"\\exit with.exe";
    ASSERT_TRUE(CopyFileW(exitWith.c_str(), quotedTool.c_str(), FALSE));
    EXPECT_EQ(RunConsoleTool(quotedTool, L"3", L""), 3);
    EXPECT_EQ(RunConsoleTool(quotedTool, L"4", tools), 4);

    // So does one under a user name that the interpreter would read as
    // syntax: an ampersand, a caret, brackets.
    const std::wstring odd = PayloadTempFolder() + L"\\A&B^(x)";
    CreateDirectoryW(odd.c_str(), nullptr);
    const std::wstring oddTool = odd + L"\\exit_with.exe";
    ASSERT_TRUE(CopyFileW(exitWith.c_str(), oddTool.c_str(), FALSE));
    EXPECT_EQ(RunConsoleTool(oddTool, L"5", L""), 5);
    EXPECT_EQ(RunConsoleTool(oddTool, L"6", odd), 6);
    RemoveTree(odd);

    // A tool that is not there never passes for a success, and is named.
    ASSERT_EQ(RunConsoleTool(exitWith, L"0", L""), 0);
    OsSetText(Control::StatusLine, L"before");
    int32_t code = RunConsoleTool(L"C:\\no such folder\\nope.exe", L"l \"C:\\x.iso\"", L"");
    EXPECT_EQ(code, kToolDidNotStart);
    if (window) {
        EXPECT_EQ(Printable(StatusText()), "==  Could not start nope.exe");
    }

    // A file that is there but is no program: the interpreter starts and
    // fails, and its own failure code must not read as success.
    const std::wstring noProgram = tools + L"\\no program.exe";
    ASSERT_TRUE(WriteWholeFile(noProgram, "this is text, not a program\r\n"));
    OsSetText(Control::StatusLine, L"before");
    code = RunConsoleTool(noProgram, L"", L"");
    std::printf("a file that is no program, under %s\\cmd.exe, gives exit code %d\n",
                Printable(appState.nativeSystemDir).c_str(), int(code));
    EXPECT_NE(code, 0);
    EXPECT_NE(code, kToolDidNotStart) << "the interpreter itself did start";
    if (window) {
        EXPECT_EQ(Printable(StatusText()), "");
    }

    // Nothing can start in a working folder that does not exist. A success
    // just before must not shine through.
    ASSERT_EQ(RunConsoleTool(exitWith, L"0", L""), 0);
    code = RunConsoleTool(exitWith, L"0", L"C:\\no such folder");
    EXPECT_EQ(code, kToolDidNotStart);
    if (window) {
        EXPECT_EQ(Printable(StatusText()), "==  Could not start exit_with.exe");
    }

    // Nor without the interpreter.
    const std::wstring saved = appState.nativeSystemDir;
    appState.nativeSystemDir = L"C:\\no such folder";
    code = RunConsoleTool(exitWith, L"0", L"");
    appState.nativeSystemDir = saved;
    EXPECT_EQ(code, kToolDidNotStart);
    RemoveTree(tools);
}

TEST(StartUp, FindsTheNativeInterpreterAsOn64BitWindows) {
    // The prefix is 64-bit, as most Windows systems are: this 32-bit process
    // must reach the 64-bit interpreter through Sysnative.
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    EXPECT_TRUE(OsIsFolder(appState.windowsDir)) << Printable(appState.windowsDir);
    EXPECT_TRUE(OsIsFolder(appState.tempDir)) << Printable(appState.tempDir);
    if (wow64) {
        EXPECT_EQ(Printable(appState.nativeSystemDir), Printable(appState.windowsDir + L"\\Sysnative"));
    } else {
        // GetSystemDirectoryW's spelling, whatever its case.
        EXPECT_EQ(Printable(ToUpper(appState.nativeSystemDir)), Printable(ToUpper(appState.windowsDir + L"\\System32")));
    }
    EXPECT_GT(OsFileSize(appState.nativeSystemDir + L"\\cmd.exe"), 0);
}
