// WMI queries through the real COM and Wine's WMI provider.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <regex>
#include <thread>

#include "boottest/DiskLookup.h"
#include "common/Str.h"
#include "platform/Os.h"
#include "tests/win32/Win32Support.h"

namespace {

std::vector<std::string> Lines(const std::wstring& text) {
    std::vector<std::string> lines;
    const std::string utf8 = ToUtf8(text);
    size_t start = 0;
    for (;;) {
        size_t end = utf8.find("\r\n", start);
        lines.push_back(utf8.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 2;
    }
    return lines;
}

// Lines come in pairs, Dependent then Antecedent, each a WMI object path.
void ExpectPairs(const std::wstring& text, const std::regex& dependent, const std::regex& antecedent) {
    ASSERT_FALSE(text.empty());
    const std::string utf8 = ToUtf8(text);
    EXPECT_NE(utf8.substr(0, 2), "\r\n") << "no line break before the first line";
    EXPECT_NE(utf8.substr(utf8.size() - 1), "\n") << "no line break after the last line";
    size_t bareFeeds = 0;
    for (size_t i = 0; i < utf8.size(); ++i) bareFeeds += utf8[i] == '\n' && (i == 0 || utf8[i - 1] != '\r');
    EXPECT_EQ(bareFeeds, 0u) << "lines are separated by CR LF";
    const std::vector<std::string> lines = Lines(text);
    EXPECT_EQ(lines.size() % 2, 0u);
    for (size_t i = 0; i + 1 < lines.size(); i += 2) {
        EXPECT_TRUE(std::regex_match(lines[i], dependent)) << lines[i];
        EXPECT_TRUE(std::regex_match(lines[i + 1], antecedent)) << lines[i + 1];
    }
}

// Windows writes root\cimv2 and DeviceID; Wine writes ROOT\CIMV2 and
// DeviceId. The lookup never looks at either, so both forms pass.
const char kMachine[] = R"(\\\\[^\\"]+\\(root|ROOT)\\(cimv2|CIMV2):)";
const char kKey[] = R"(\.DeviceI[Dd]=)";

// Closes a message box of this process titled "ERROR" when one shows, and
// keeps its text. Bounded: it looks for two minutes at most.
class ErrorBoxCloser {
public:
    ErrorBoxCloser() : thread_([this] { Watch(); }) {}
    ~ErrorBoxCloser() {
        stop_ = true;
        thread_.join();
    }
    std::wstring text;
    std::atomic<bool> seen{false};

private:
    static BOOL CALLBACK FindBox(HWND window, LPARAM parameter) {
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        // Reads the title without sending a message: the window's thread may be busy.
        wchar_t title[64] = L"";
        InternalGetWindowText(window, title, 64);
        if (process == GetCurrentProcessId() && std::wstring(title) == L"ERROR" && IsWindowVisible(window)) {
            *reinterpret_cast<HWND*>(parameter) = window;
            return FALSE;
        }
        return TRUE;
    }
    void Watch() {
        for (int i = 0; i < 1200 && !stop_; ++i) {
            HWND box = nullptr;
            EnumWindows(FindBox, reinterpret_cast<LPARAM>(&box));
            if (box != nullptr) {
                wchar_t message[256] = L"";
                GetDlgItemTextW(box, 0xFFFF, message, 256);  // the text of a message box
                text = message;
                seen = true;
                PostMessageW(box, WM_COMMAND, IDOK, 0);
                return;
            }
            Sleep(100);
        }
    }
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace

TEST(Wmi, LogicalDiskToPartitionGivesPairsOfObjectPaths) {
    // On the window's thread, which start-up made a single-threaded apartment.
    const std::wstring text = WmiQuery(L"Select * FROM Win32_LogicalDiskToPartition,Dependent,Antecedent", true);
    std::printf("Win32_LogicalDiskToPartition:\n%s\n", ToUtf8(text).c_str());
    const std::regex dependent(std::string("Dependent = ") + kMachine + "Win32_LogicalDisk" + kKey + R"("[A-Z]:")");
    const std::regex antecedent(std::string("Antecedent = ") + kMachine +
                                "Win32_DiskPartition" + kKey + R"("Disk #[0-9]+, Partition #[0-9]+")");
    ExpectPairs(text, dependent, antecedent);
    EXPECT_NE(text.find(L"=\"C:\"\r\nAntecedent = "), std::wstring::npos) << "the system drive is listed";

    // Without names, the values alone in the same order; the same from a
    // thread of its own, where the query makes a multithreaded apartment.
    const std::wstring values = WmiQuery(L" Select * FROM Win32_LogicalDiskToPartition , Dependent , Antecedent ", false);
    EXPECT_EQ(Printable(values),
              Printable(ReplaceAll(ReplaceAll(text, L"Dependent = ", L""), L"Antecedent = ", L"")));
    std::wstring fromThread;
    std::thread([&] {
        fromThread = WmiQuery(L"Select * FROM Win32_LogicalDiskToPartition,Dependent,Antecedent", true);
    }).join();
    EXPECT_EQ(Printable(fromThread), Printable(text));

    // A query that yields no object gives the empty text.
    EXPECT_EQ(Printable(WmiQuery(L"Select * FROM Win32_LogicalDisk WHERE DeviceID = 'Q:',DeviceID", true)), "");
}

TEST(Wmi, DiskDriveToDiskPartitionLeadsToThePhysicalDriveOfC) {
    const std::wstring text = WmiQuery(L"Select * FROM Win32_DiskDriveToDiskPartition,Dependent,Antecedent", true);
    std::printf("Win32_DiskDriveToDiskPartition:\n%s\n", ToUtf8(text).c_str());
    const std::regex dependent(std::string("Dependent = ") + kMachine + "Win32_DiskPartition" + kKey +
                               R"("Disk #[0-9]+, Partition #[0-9]+")");
    const std::regex antecedent(std::string("Antecedent = ") + kMachine + "Win32_DiskDrive" + kKey +
                                R"("\\\\\\\\\.\\\\PHYSICALDRIVE[0-9]+")");
    ExpectPairs(text, dependent, antecedent);

    std::wstring device;
    ASSERT_TRUE(LookupPhysicalDrive(L"C:", &device));
    std::printf("C: lies on %s\n", ToUtf8(device).c_str());
    EXPECT_TRUE(std::regex_match(ToUtf8(device), std::regex(R"(\\\\\.\\PHYSICALDRIVE[0-9]+)"))) << ToUtf8(device);
    // The disk that the drive's partition names is the disk of that device.
    const std::wstring partitions = WmiQuery(L"Select * FROM Win32_LogicalDiskToPartition,Dependent,Antecedent", true);
    size_t at = partitions.find(L"\"C:\"");
    ASSERT_NE(at, std::wstring::npos);
    at = partitions.find(L"Disk #", at);
    ASSERT_NE(at, std::wstring::npos);
    const std::wstring diskNumber = partitions.substr(at + 6, partitions.find(L',', at) - at - 6);
    EXPECT_EQ(Printable(device), Printable(L"\\\\.\\PHYSICALDRIVE" + diskNumber));
    EXPECT_FALSE(LookupPhysicalDrive(L"Q:", &device)) << "a drive that is not listed has no disk";
}

TEST(Wmi, AFailedQueryShowsTheErrorBoxAndGivesNothing) {
    if (!OsMainWindowExists()) GTEST_SKIP() << "no display: the error box cannot show";
    struct Outcome {
        std::wstring text, boxText;
        bool boxShown;
    };
    auto run = [](const std::wstring& command) {
        ErrorBoxCloser closer;
        Outcome outcome{WmiQuery(command, true), L"", false};
        outcome.boxShown = closer.seen;
        if (outcome.boxShown) outcome.boxText = closer.text;
        return outcome;
    };

    // Text that is no WQL at all fails in ExecQuery.
    Outcome bad = run(L"Select * FROM WHERE,Name");
    EXPECT_EQ(Printable(bad.text), "");
    EXPECT_TRUE(bad.boxShown) << "the failure was not shown";
    EXPECT_EQ(Printable(bad.boxText), "unable to call IWbemServices::ExecQuery");

    // A class that does not exist: Windows fails the query (and the box
    // shows); Wine answers with no objects. Either way nothing comes back.
    Outcome unknown = run(L"Select * FROM Win32_NoSuchClassAnywhere,Name");
    std::printf("a query of an unknown class: box %s \"%s\"\n", unknown.boxShown ? "shown" : "not shown",
                Printable(unknown.boxText).c_str());
    EXPECT_EQ(Printable(unknown.text), "");
}
