#include <gtest/gtest.h>

#include "app/AppState.h"
#include "tools/ConsoleRunner.h"
#include "tools/DiskCheck.h"
#include "tools/DiskCheckOutput.h"
#include "tools/Match.h"
#include "tools/OutputParser.h"
#include "tests/unit/FakeOs.h"

namespace {

const std::wstring kArchiver = L"C:\\Temp\\drovelkit\\7zdrovelkit.exe";
const std::wstring kChkdsk = L"C:\\Windows\\System32\\chkdsk.exe";
const std::wstring kExtract = L"x -y -bsp1 \"D:\\w.iso\" -oE:\\";

class RunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetWorld();
        fake.AddFile(kArchiver, "MZ");
        fake.AddFile(L"C:\\Windows\\Sysnative\\chkdsk.exe", "MZ");  // found where the native interpreter looks
        fake.AddFile(L"C:\\Temp\\drovelkit\\bootice.exe", "MZ");
        fake.AddFile(L"C:\\Users\\John Smith\\Temp\\drovelkit\\7zdrovelkit.exe", "MZ");
    }
    static void Script(std::vector<std::string> chunks, int32_t exitCode) {
        fake.tool = [chunks, exitCode](const std::wstring&) {
            FakeTool tool;
            tool.chunks = chunks;
            tool.exitCode = exitCode;
            return tool;
        };
    }
    static std::wstring Status() { return fake.Of(Control::StatusLine).text; }
};

TEST(ExtractMatch, PicksTheNthMatchOrTheLastOrNothing) {
    EXPECT_EQ(ExtractMatch(L"a 1% b 22% c", L"[0-9]{1,3}%", 1), L"1%");
    EXPECT_EQ(ExtractMatch(L"a 1% b 22% c", L"[0-9]{1,3}%", 2), L"22%");
    EXPECT_EQ(ExtractMatch(L"only 7%", L"[0-9]{1,3}%", 2), L"7%");
    EXPECT_EQ(ExtractMatch(L"none", L"[0-9]{1,3}%", 1), L"");
    EXPECT_EQ(ExtractMatch(L"x", L"([", 1), L"");  // does not compile
    EXPECT_EQ(ExtractMatch(L"Größe 12ä", L"[0-9]{2}.", 1), L"12ä");  // matched as UTF-8 characters
}

TEST_F(RunnerTest, CommandLineRunsTheToolUnquotedUnderTheNativeInterpreter) {
    Script({}, 0);
    RunConsoleTool(kArchiver, L"l \"D:\\a b.iso\"", L"C:\\Temp\\drovelkit");
    ASSERT_EQ(fake.consoleRuns.size(), 1u);
    EXPECT_EQ(fake.consoleRuns[0],
              L"\"C:\\Windows\\Sysnative\\cmd.exe\"  /d /c C:\\Temp\\drovelkit\\7zdrovelkit.exe l \"D:\\a b.iso\"");
}

TEST_F(RunnerTest, ToolPathWithBlanksIsQuotedForTheInterpreter_RegressionSplitPath) {
    Script({}, 0);
    RunConsoleTool(L"C:\\Users\\John Smith\\Temp\\drovelkit\\7zdrovelkit.exe", L"l \"D:\\a b.iso\"", L"");
    ASSERT_EQ(fake.consoleRuns.size(), 1u);
    EXPECT_EQ(fake.consoleRuns[0], L"\"C:\\Windows\\Sysnative\\cmd.exe\"  /d /c \"\"C:\\Users\\John Smith\\Temp\\drovelkit\\"
                                   L"7zdrovelkit.exe\" l \"D:\\a b.iso\"\"");
}

TEST_F(RunnerTest, ListingYieldsSizeCountsAndVerdict) {
    appState.imageSizeKiB = 77;
    Script({"\r\n   Date      Time    Attr         Size   Compressed  Name\r\n",
            "------------------- ----- ------------ ------------  ------------------------\r\n"
            "                    4521984000   4519886848  960 files, 92 folders\r\n"},
           0);
    RunConsoleTool(kArchiver, L"l \"D:\\w.iso\"", L"");
    EXPECT_EQ(appState.imageSizeKiB, 4413952);
    EXPECT_EQ(Status(), L"Size: 4.413.952Kb,  960 files, 92 folders ");
    EXPECT_EQ(CurrentRunReport().resultNote, L"");  // notes live for one run only
}

TEST_F(RunnerTest, ListingCommentSetsTheLabelAndRecognisedFormsSelectNtfs) {
    const struct { const char* line; const wchar_t* label; bool ntfs; } cases[] = {
        {"Comment = ABC_X64_DV5\r\n", L"ABC_X64_DV5", true},
        {"Comment = WINPE\r\nPhysical Size = 1\r\n", L"WINPE", false},
        {"Comment = REL 10.0.1234.5678\r\n", L"REL 10.0.1234.5678", true},
        {"Comment = 10x0y1234z5678", L"10x0y1234z5678", true},  // any character between the groups
    };
    for (const auto& c : cases) {
        SetUp();
        fake.Of(Control::FormatNoneOption).check = 1;
        Script({std::string("Path = D:\\w.iso\r\nType = Iso\r\n") + c.line}, 0);
        RunConsoleTool(kArchiver, L"l \"D:\\w.iso\"", L"");
        EXPECT_EQ(appState.imageComment.Get(), c.label);
        EXPECT_EQ(fake.Of(Control::LabelField).text, c.label);
        EXPECT_EQ(fake.Of(Control::FormatNtfsOption).check == 1, c.ntfs) << c.line;
        EXPECT_EQ(fake.Of(Control::FormatNoneOption).check == 1, !c.ntfs) << c.line;
    }
}

TEST_F(RunnerTest, ListingFiguresWithoutLabelForArgumentsNotStartingWithL) {
    fake.Of(Control::LabelField).text = L"WinPE";
    Script({"Comment = OTHER\r\n 2048 1024  1 files, 0 folders\r\n"}, 0);
    RunConsoleTool(L"C:\\Temp\\drovelkit\\bootice.exe", L"/device=E: /mbr /install /quiet", L"");
    EXPECT_EQ(appState.imageSizeKiB, 1);
    EXPECT_EQ(fake.Of(Control::LabelField).text, L"WinPE");
}

TEST_F(RunnerTest, ExtractionMovesTheBarOnlyOnChangeAndShowsTheFileBeingWritten) {
    fake.progress = 1;
    Script({" 45% 12 - sources\\boot.wim", " 45% 13 - sources\\install.wim", "  0% - x", "120%", " 46%"}, 0);
    RunConsoleTool(kArchiver, kExtract, L"");
    std::vector<std::wstring> bars;
    for (const std::wstring& line : fake.log)
        if (line.rfind(L"progress ", 0) == 0) bars.push_back(line);
    EXPECT_EQ(bars, (std::vector<std::wstring>{L"progress 45", L"progress 46"}));
    const auto history = fake.StatusHistory();
    ASSERT_GE(history.size(), 2u);
    EXPECT_EQ(history[0], L"E:\\sources\\boot.wim");
    EXPECT_EQ(history[1], L"E:\\sources\\install.wim");
}

TEST_F(RunnerTest, FileNameComesFromTheProgressLineOnly_RegressionHeaderDatesInStatus) {
    Script({"Modified = 2026-12-08 18:11:37.00\r\n\r  0%", " 12% 7 - a - b.txt\r 13% 8 - c.txt"}, 0);
    RunConsoleTool(kArchiver, kExtract, L"");
    const auto history = fake.StatusHistory();
    ASSERT_EQ(history.size(), 2u);  // the file name, then the verdict
    EXPECT_EQ(history[0], L"E:\\a - b.txt");
}

TEST_F(RunnerTest, ProgressTextAppearsOnlyPastTenPercentAndTwentyFiveSeconds) {
    appState.imageSizeKiB = 4000000;
    appState.extractStartTime = int32_t(fake.now - 120);
    fake.Of(Control::ProgressText).text = L"";
    Script({" 10%"}, 0);
    RunConsoleTool(kArchiver, kExtract, L"");
    EXPECT_EQ(fake.Of(Control::ProgressText).text, L"");
    Script({" 50%"}, 0);
    RunConsoleTool(kArchiver, kExtract, L"");
    EXPECT_EQ(fake.Of(Control::ProgressText).text, L"Copied: 4.000.000/2.000.000 Kb, Time left: 00:02:00");

    appState.extractStartTime = int32_t(fake.now - 25);
    fake.Of(Control::ProgressText).text = L"";
    Script({" 60%"}, 0);
    RunConsoleTool(kArchiver, kExtract, L"");
    EXPECT_EQ(fake.progress, 60);
    EXPECT_EQ(fake.Of(Control::ProgressText).text, L"");

    // A remaining time of a day or more wraps around midnight.
    appState.extractStartTime = int32_t(fake.now - 2 * 86400);
    Script({" 40%"}, 0);
    RunConsoleTool(kArchiver, kExtract, L"");
    EXPECT_EQ(fake.Of(Control::ProgressText).text, L"Copied: 4.000.000/1.600.000 Kb, Time left: 00:00:00");
    EXPECT_EQ(ClockText(86400 + 3661), L"01:01:01");
}

TEST_F(RunnerTest, ExtractionVerdictsFromNotesAndExitCode) {
    Script({"Everything is Ok\r\n", "Warnings: 3\r\n"}, 0);
    RunConsoleTool(kArchiver, kExtract, L"");
    EXPECT_EQ(Status(), L"Everything is Ok [Warnings: 3] ");

    Script({"Everything is Ok\r\nOpen warning\r\n"}, 0);  // before "Open": no verdict notes
    RunConsoleTool(kArchiver, kExtract, L"");
    EXPECT_EQ(Status(), L"");

    // A small image's whole output in one read, as 7-Zip prints it: the
    // opening's progress, then the verdict (once lost on a busy machine).
    Script({"Extracting archive: D:\\img.iso\n  0% Open\b\b\b\b\b\b\b\b\b         \b\b\b\b\b\b\b\b\b--\n"
            "Path = D:\\img.iso\nType = Udf\nComment = DEMO\n\nEverything is Ok\n\nWarnings: 1\nFiles: 3\n"},
           0);
    RunConsoleTool(kArchiver, kExtract, L"");
    EXPECT_EQ(Status(), L"Everything is Ok [Warnings: 1] ");

    Script({"Warnings:none\r\n"}, 0);
    RunConsoleTool(kArchiver, kExtract, L"");
    EXPECT_EQ(Status(), L"[] ");

    Script({"Sub items Errors: 1\r\nArchives with Errors: 1\r\n"}, 2);
    RunConsoleTool(kArchiver, kExtract, L"");
    EXPECT_EQ(Status(), L"==  Run-time error! ");

    Script({"ERROR: no space\r\n"}, 2);
    RunConsoleTool(kArchiver, kExtract, L"");
    EXPECT_EQ(Status(), L"");
}

TEST_F(RunnerTest, InterruptedRunReportsTheInterruptWhateverTheExitCode) {
    fake.tool = [](const std::wstring&) {
        FakeTool tool;
        tool.chunks = {"Everything is Ok\r\n"};
        tool.onStart = [] { appState.interruptRequested = 1; };  // Escape while it runs
        return tool;
    };
    MarkCopyThread(true);
    EXPECT_EQ(RunConsoleTool(kArchiver, kExtract, L""), 0);
    EXPECT_EQ(Status(), L"Operation is interrupted!");
    // The request holds: the copy's next tool does not start.
    EXPECT_EQ(RunConsoleTool(kArchiver, kExtract, L""), kToolNotRunAfterInterrupt);
    EXPECT_EQ(fake.consoleRuns.size(), 1u);
    MarkCopyThread(false);
}

TEST_F(RunnerTest, ToolPathsAreQuotedForEveryInterpreterSyntaxCharacter_RegressionAmpersandInUserName) {
    const std::wstring cmd = L"\"C:\\W\\cmd.exe\"  /d /c ";
    const struct { const wchar_t* tool; const wchar_t* command; } cases[] = {
        {L"C:\\T\\7z.exe", L"C:\\T\\7z.exe l x"},
        {L"C:\\Users\\A&B\\7z.exe", L"\"\"C:\\Users\\A&B\\7z.exe\" l x\""},
        {L"C:\\Users\\A^B\\7z.exe", L"\"\"C:\\Users\\A^B\\7z.exe\" l x\""},
        {L"C:\\Users\\(A)\\7z.exe", L"\"\"C:\\Users\\(A)\\7z.exe\" l x\""},
        {L"C:\\U\\a,b;c=d!e\\7z.exe", L"\"\"C:\\U\\a,b;c=d!e\\7z.exe\" l x\""},
        {L"C:\\U\\a|b<c>d\\7z.exe", L"\"\"C:\\U\\a|b<c>d\\7z.exe\" l x\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(InterpreterCommandLine(L"C:\\W\\cmd.exe", c.tool, L"l x"), cmd + c.command) << c.tool;

    const struct { const wchar_t* path; const wchar_t* variable; } names[] = {
        {L"D:\\iso\\a.iso", L""}, {L"D:\\100% sure.iso", L""}, {L"D:\\%%.iso", L""},
        {L"D:\\%OS%.iso", L"%OS%"}, {L"D:\\5%%x%y.iso", L"%x%"}, {L"D:\\a%b\\c%d.iso", L"%b\\c%"},
    };
    for (const auto& n : names) EXPECT_EQ(InterpreterVariableIn(n.path), n.variable) << n.path;
}

TEST_F(RunnerTest, ToolThatCannotStartFailsAndSaysWhich_RegressionStaleExitCode) {
    Script({}, 0);
    EXPECT_EQ(RunConsoleTool(kArchiver, kExtract, L""), 0);
    fake.tool = [](const std::wstring&) {
        FakeTool tool;
        tool.starts = false;
        return tool;
    };
    EXPECT_NE(RunConsoleTool(kArchiver, kExtract, L""), 0);
    EXPECT_EQ(Status(), L"==  Could not start 7zdrovelkit.exe");

    // A tool of the payload that is missing when it is checked is refused:
    // it could appear before the start and run unchecked. A system tool
    // that is missing simply fails to start.
    fake.tool = nullptr;
    fake.files.clear();
    EXPECT_EQ(RunConsoleTool(L"C:\\Temp\\drovelkit\\bootice.exe", L"/device=E: /mbr /install /type=nt60 /quiet", L""),
              kToolRefused);
    EXPECT_EQ(Status(), L"==  bootice.exe is missing from the unpacked tools: not started");
    EXPECT_EQ(RunConsoleTool(kChkdsk, L"E: /F", L""), kToolDidNotStart);
    EXPECT_EQ(Status(), L"==  Could not start chkdsk.exe");
    EXPECT_EQ(fake.consoleRuns.size(), 2u);  // the missing tools never reached the interpreter
}

TEST_F(RunnerTest, APayloadToolStartsFromTheCheckedFileNotThroughARepointableJunction) {
    // TEMP reaches its folder through a junction that the user can point
    // elsewhere between the check and the start; the tool starts by the
    // path the held file really has.
    fake.AddFile(L"D:\\Real\\drovelkit\\bootice.exe", "MZ");
    fake.AddLink(L"C:\\Temp", L"D:\\Real");
    Script({}, 0);
    EXPECT_EQ(RunConsoleTool(L"C:\\Temp\\drovelkit\\bootice.exe", L"/device=E: /mbr", L""), 0);
    ASSERT_EQ(fake.consoleRuns.size(), 1u);
    EXPECT_EQ(fake.consoleRuns[0], L"\"C:\\Windows\\Sysnative\\cmd.exe\"  /d /c D:\\REAL\\DROVELKIT\\BOOTICE.EXE /device=E: /mbr");
}

TEST_F(RunnerTest, LargeOutputIsReadInPiecesOfAtMostTheBufferAndStopsAtAZeroByte) {
    std::string big(kReadBufferSize + 10, 'a');
    big.replace(big.size() - 5, 5, "47%..");
    fake.progress = 0;
    Script({big, std::string("  4%\0 99%", 9)}, 0);
    RunConsoleTool(kArchiver, kExtract, L"");
    EXPECT_EQ(fake.progress, 4);  // the rest of a read after a zero byte is dropped
    const auto& log = fake.log;
    EXPECT_NE(std::find(log.begin(), log.end(), L"progress 47"), log.end());
}

TEST_F(RunnerTest, StandardErrorIsDrainedSoATalkativeToolFinishes_RegressionStall) {
    fake.tool = [](const std::wstring&) {
        FakeTool tool;
        tool.errors = std::string(5 * 1024 * 1024, 'e');
        tool.exitCode = 0;
        return tool;
    };
    EXPECT_EQ(RunConsoleTool(kArchiver, L"x -y \"D:\\w.iso\" -oE:\\ grldr menu.lst", L""), 0);
}

TEST_F(RunnerTest, ConsoleTextReadsAnsiBytesAsOemAndRestoresControlCharacters) {
    EXPECT_EQ(DecodeConsoleText(L"a\r\nb\tc"), L"a\r\nb\tc");
}

TEST_F(RunnerTest, DiskCheckCommandFollowsTheBoxState) {
    fake.comboLines = {L"F:\\ [X]   1 Kb"};
    fake.comboSelected = 0;
    Script({}, 0);
    fake.Of(Control::CheckDiskBox).check = 1;
    RunDiskCheck();
    fake.Of(Control::CheckDiskBox).check = -1;
    RunDiskCheck();
    ASSERT_EQ(fake.consoleRuns.size(), 2u);
    EXPECT_EQ(fake.consoleRuns[0], L"\"C:\\Windows\\Sysnative\\cmd.exe\"  /d /c " + kChkdsk + L" F: /F /R");
    EXPECT_EQ(fake.consoleRuns[1], L"\"C:\\Windows\\Sysnative\\cmd.exe\"  /d /c " + kChkdsk + L" F: /F");
    EXPECT_NE(fake.log[0].find(L" in C:\\Windows\\System32"), std::wstring::npos);
}

TEST_F(RunnerTest, DiskCheckProgressForms) {
    const struct { const char* chunk; int barBefore; const wchar_t* status; int barAfter; } cases[] = {
        {"Stage: 18%; Total: 6%; ETA: 0:00:35", 3, L"Check disk E:, 6% , Time Left: 0:00:35", 7},
        {"Stage: 18%; Total: 6%; ETA: 0:00:35", 9, L"Check disk E:, 6% , Time Left: 0:00:35", 9},
        {"18%", 5, L"", 19},
        {"45 percent completed.", 3, L"Check disk E:, 45% done ...", 46},
        {"12345 file records processed.", 3, L"", 346},
        {"0% 0% 0:00:01", 50, L"Check disk E:, 0% , Time Left: 0:00:01", 1},
    };
    for (const auto& c : cases) {
        SetUp();
        fake.progress = c.barBefore;
        Script({c.chunk}, 0);
        RunConsoleTool(kChkdsk, L"E: /F /R", L"");
        const auto history = fake.StatusHistory();
        const std::wstring shown = history.size() > 1 ? history[0] : L"";
        EXPECT_EQ(shown, c.status) << c.chunk;
        EXPECT_EQ(fake.progress, c.barAfter) << c.chunk;
    }
}

TEST_F(RunnerTest, DiskCheckAnswersOnlyTheBracketedQuestionAndVerdictsFollowTheExitCode) {
    Script({"Convert lost chains to files [Y(yes)/N(no)]? "}, 0);
    RunConsoleTool(kChkdsk, L"E: /F", L"");
    ASSERT_EQ(fake.inputWritten.size(), 1u);
    EXPECT_EQ(fake.inputWritten[0], "N\r\n");
    EXPECT_NE(std::find(fake.sleeps.begin(), fake.sleeps.end(), 500), fake.sleeps.end());
    Script({"Dismount? [Y(yes) or no"}, 0);
    RunConsoleTool(kChkdsk, L"E: /F", L"");
    EXPECT_EQ(fake.inputWritten.size(), 1u);
    Script({"[Y(yes)/N(no)]"}, 0);
    RunConsoleTool(kArchiver, L"l x", L"");  // only the disk checker is answered
    EXPECT_EQ(fake.inputWritten.size(), 1u);

    const struct { int code; const wchar_t* verdict; } verdicts[] = {
        {0, L"Errors not found"}, {1, L"All errors corrected"},
        {3, L"Errors NOT corrected or Drive is busy!"}, {2, L""},
    };
    for (const auto& v : verdicts) {
        Script({"Everything is Ok"}, v.code);
        RunConsoleTool(kChkdsk, L"E: /F", L"");
        EXPECT_EQ(Status(), v.verdict) << v.code;
    }
}

}  // namespace
