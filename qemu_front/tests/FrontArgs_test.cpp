#include "FrontArgs.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using Args = std::vector<std::wstring>;

struct SplitCase {
    const wchar_t* text;
    Args expected;
};

// Rows follow the C runtime's documented examples and the edges around them.
const SplitCase kSplitCases[] = {
    {L"", {}},
    {L"   \t ", {}},
    {L"a b\tc", {L"a", L"b", L"c"}},
    {L"  a   b  ", {L"a", L"b"}},
    {L"\"a b c\" d e", {L"a b c", L"d", L"e"}},
    {L"\"ab\\\"c\" \"\\\\\" d", {L"ab\"c", L"\\", L"d"}},
    {L"a\\\\\\b d\"e f\"g h", {L"a\\\\\\b", L"de fg", L"h"}},
    {L"a\\\\\\\"b c d", {L"a\\\"b", L"c", L"d"}},
    {L"a\\\\\\\\\"b c\" d e", {L"a\\\\b c", L"d", L"e"}},
    {L"\"\" x \"\"", {L"", L"x", L""}},
    {L"\"a\"\"b\" c", {L"a\"b", L"c"}},
    {L"\"unterminated arg", {L"unterminated arg"}},
    {L"trailing\\", {L"trailing\\"}},
    {L"\"C:\\quoted folder\\\\\" next", {L"C:\\quoted folder\\", L"next"}},
    {L"\\\\.\\PHYSICALDRIVE1", {L"\\\\.\\PHYSICALDRIVE1"}},
    {L"\"  two blanks each side  \"", {L"  two blanks each side  "}},
    {L"\"  Disk: E:\\ Memory: 1024 mb  \"", {L"  Disk: E:\\ Memory: 1024 mb  "}},
};

TEST(SplitArguments, FollowsTheRuntimeRules) {
    for (const SplitCase& c : kSplitCases) {
        EXPECT_EQ(SplitArguments(c.text), c.expected) << testing::PrintToString(std::wstring(c.text));
    }
}

TEST(SplitCommandLine, ProgramNameKeepsItsBackslashesAndDropsQuotes) {
    const SplitCase cases[] = {
        {L"\"C:\\T\\drovelkit\\qemu\\qemu_test.exe\" -m 1024",
         {L"C:\\T\\drovelkit\\qemu\\qemu_test.exe", L"-m", L"1024"}},
        // A backslash before the closing quote does not escape it in argv[0].
        {L"\"C:\\odd\\\" x", {L"C:\\odd\\", L"x"}},
        {L"C:\\plain\\q.exe   \"a b\"", {L"C:\\plain\\q.exe", L"a b"}},
        {L"\"C:\\Program Files\"\\q.exe y", {L"C:\\Program Files\\q.exe", L"y"}},
        {L"q.exe", {L"q.exe"}},
        {L"", {L""}},
    };
    for (const SplitCase& c : cases) {
        EXPECT_EQ(SplitCommandLine(c.text), c.expected) << testing::PrintToString(std::wstring(c.text));
    }
}

// The two command lines Drovelkit gives the front, taken apart and translated
// as the front passes them to QEMU.
TEST(FrontPipeline, ImageTestCommandLine) {
    std::wstring line =
        L"\"C:\\T\\drovelkit\\qemu\\qemu_test.exe\" -L \"C:\\T\\drovelkit\\qemu\" -m 1024 "
        L"-bios efi32.bin -name \"  Disk: ISO Efi32 boot Memory: 1024 mb  \" -net none "
        L"-boot d -cdrom \"D:\\my images\\x.iso\"";
    Args args = SplitCommandLine(line);
    args.erase(args.begin());
    Args expected = {L"-L",    L"C:\\T\\drovelkit\\qemu",
                     L"-m",    L"1024",
                     L"-bios", L"efi32.bin",
                     L"-name", L"  Disk: ISO Efi32 boot Memory: 1024 mb  ",
                     L"-net",  L"none",
                     L"-boot", L"d",
                     L"-cdrom", L"D:\\my images\\x.iso"};
    EXPECT_EQ(TranslateEmulatorArgs(args), expected);
}

TEST(FrontPipeline, DriveTestCommandLine) {
    std::wstring line =
        L"\"C:\\T\\drovelkit\\qemu\\qemu_test.exe\" -L \"C:\\T\\drovelkit\\qemu\" -m 1024 "
        L"-bios bios.bin -localtime -snapshot -name \"  Disk: E:\\ Memory: 1024 mb  \" "
        L"-net none -usb -boot c -drive if=ide,cache=none,file=\\\\.\\PHYSICALDRIVE1";
    Args args = SplitCommandLine(line);
    args.erase(args.begin());
    Args expected = {L"-L",        L"C:\\T\\drovelkit\\qemu",
                     L"-m",        L"1024",
                     L"-bios",     L"bios.bin",
                     L"-rtc",      L"base=localtime",
                     L"-snapshot", L"-name",
                     L"  Disk: E:\\ Memory: 1024 mb  ",
                     L"-net",      L"none",
                     L"-usb",      L"-boot",
                     L"c",         L"-drive",
                     L"if=ide,cache=none,file=\\\\.\\PHYSICALDRIVE1"};
    EXPECT_EQ(TranslateEmulatorArgs(args), expected);
}

TEST(TranslateEmulatorArgs, OnlyTheExactLocaltimeOptionChanges) {
    EXPECT_EQ(TranslateEmulatorArgs({}), Args{});
    EXPECT_EQ(TranslateEmulatorArgs({L"-localtime"}), (Args{L"-rtc", L"base=localtime"}));
    EXPECT_EQ(TranslateEmulatorArgs({L"-a", L"-localtime", L"-b", L"-localtime"}),
              (Args{L"-a", L"-rtc", L"base=localtime", L"-b", L"-rtc", L"base=localtime"}));
    Args untouched = {L"-LOCALTIME", L"-localtime2", L" -localtime", L"localtime",
                      L"-rtc",       L"base=utc",    L""};
    EXPECT_EQ(TranslateEmulatorArgs(untouched), untouched);
}

TEST(QuoteArgument, PlainArgumentsStayBareOthersRoundTrip) {
    for (const wchar_t* bare : {L"-m", L"1024", L"C:\\T\\x", L"if=ide,cache=none,file=\\\\.\\PHYSICALDRIVE1",
                                L"trailing\\"}) {
        EXPECT_EQ(QuoteArgument(bare), bare);
    }
    Args tricky = {L"",
                   L" ",
                   L"  Disk: ISO Memory: 1024 mb  ",
                   L"C:\\x y\\",
                   L"C:\\x y\\\\",
                   L"say \"hi\"",
                   L"\\\"",
                   L"\\\\\"\\",
                   L"\"",
                   L"tab\there",
                   L"line\nbreak",
                   L"ends with quote\"",
                   L"\u00e9t\u00e9 \u4e2d"};
    std::wstring joined;
    for (const std::wstring& arg : tricky) {
        std::wstring quoted = QuoteArgument(arg);
        EXPECT_EQ(SplitArguments(quoted), Args{arg}) << testing::PrintToString(quoted);
        joined += quoted + L" ";
    }
    EXPECT_EQ(SplitArguments(joined), tricky);
}

TEST(QuoteCommandLine, RoundTripsThroughSplitCommandLine) {
    Args args = {L"-L", L"C:\\T\\drovelkit\\qemu", L"-rtc", L"base=localtime",
                 L"-name", L"  Disk: F:\\ Efi64 boot Memory: 1024 mb  ", L"", L"x\\"};
    std::wstring program = L"C:\\Program Files\\qemu\\qemu-system-x86_64.exe";
    std::wstring line = QuoteCommandLine(program, args);
    EXPECT_EQ(line.substr(0, program.size() + 3), L"\"" + program + L"\" ");
    Args all = SplitCommandLine(line);
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.front(), program);
    EXPECT_EQ(Args(all.begin() + 1, all.end()), args);
    EXPECT_EQ(SplitCommandLine(QuoteCommandLine(program, {})), Args{program});
}

TEST(FolderOfPath, KeepsTheLastSeparator) {
    EXPECT_EQ(FolderOfPath(L"C:\\T\\drovelkit\\qemu\\qemu_test.exe"), L"C:\\T\\drovelkit\\qemu\\");
    EXPECT_EQ(FolderOfPath(L"C:/a/b.iso"), L"C:/a/");
    EXPECT_EQ(FolderOfPath(L"x.exe"), L"");
    EXPECT_EQ(FolderOfPath(L""), L"");
}

EmulatorSearchPlaces TypicalPlaces() {
    EmulatorSearchPlaces places;
    // Relative folders, "%VAR%" left unexpanded, a share: none is taken.
    places.installDirs = {L"D:\\Emu\\QEMU", L"", L"qemu", L".\\qemu", L"%ProgramFiles%\\qemu", L"\\\\srv\\qemu",
                          L"\\qemu", L"C:qemu"};
    places.programFolders = {L"C:\\Program Files (x86)", L"C:\\Program Files", L"C:\\Program Files (x86)", L"."};
    return places;
}

TEST(EmulatorCandidates, SearchOrderWithoutRepeats) {
    Args expected = {
        L"D:\\Emu\\QEMU\\qemu-system-x86_64.exe",
        L"C:\\Program Files (x86)\\qemu\\qemu-system-x86_64.exe",
        L"C:\\Program Files\\qemu\\qemu-system-x86_64.exe",
    };
    EXPECT_EQ(EmulatorCandidates(TypicalPlaces()), expected);
}

TEST(EmulatorCandidates, SameFolderInAnotherCaseOrSpellingIsListedOnce) {
    EmulatorSearchPlaces places;
    places.installDirs = {L"C:\\Program Files\\QEMU\\", L"c:\\program files\\qemu", L"C:/Program Files/qemu/"};
    places.programFolders = {L"C:\\PROGRAM FILES"};
    EXPECT_EQ(EmulatorCandidates(places), Args{L"C:\\Program Files\\QEMU\\qemu-system-x86_64.exe"});
    EXPECT_TRUE(EmulatorCandidates(EmulatorSearchPlaces{}).empty());
}

TEST(FindEmulator, TakesTheFirstExistingCandidate) {
    EmulatorSearchPlaces places = TypicalPlaces();
    std::set<std::wstring> present = {L"qemu\\qemu-system-x86_64.exe",
                                      L"C:\\Program Files\\qemu\\qemu-system-x86_64.exe"};
    Args asked;
    auto exists = [&](const std::wstring& path) {
        asked.push_back(path);
        return present.count(path) > 0;
    };
    EXPECT_EQ(FindEmulator(places, exists), L"C:\\Program Files\\qemu\\qemu-system-x86_64.exe");
    EXPECT_EQ(asked.size(), 3u) << "stops at the first hit";

    present.clear();
    EXPECT_EQ(FindEmulator(places, exists), L"");
}

}  // namespace
