#include <gtest/gtest.h>

#include "app/AppState.h"
#include "drives/DriveList.h"
#include "tests/unit/FakeOs.h"

namespace {

class DriveListTest : public ::testing::Test {
protected:
    void SetUp() override { ResetWorld(); }
    void AddDrive(wchar_t letter, int type, const std::wstring& label, uint64_t bytes) {
        FakeDrive drive;
        drive.realType = drive.driveType = type;
        drive.label = label;
        drive.totalBytes = bytes;
        fake.drives[letter - L'A'] = drive;
    }
};

TEST(DriveLine, PadsLabelAndSizeToTwentyNineAndGroupsTheSize) {
    const struct { const wchar_t* label; int64_t kib; const wchar_t* line; } cases[] = {
        {L"WINPE", 7634944, L"E:\\ [WINPE]             7.634.944 Kb"},
        {L"", 999, L"E:\\ []                        999 Kb"},
        {L"", 1000, L"E:\\ []                      1.000 Kb"},
        {L"DATA", 1000000, L"E:\\ [DATA]              1.000.000 Kb"},
        {L"BIG", 1953513472, L"E:\\ [BIG]            1953.513.472 Kb"},
        {L"ELEVENCHARS", 5, L"E:\\ [ELEVENCHARS]               5 Kb"},
        {L"ABCDEFGHIJKL", 5, L"E:\\ [ABCDE...HIJKL]             5 Kb"},
        {L"ABCDEFGHIJKLMNOP", 1953513472, L"E:\\ [ABCDE...LMNOP]  1953.513.472 Kb"},
    };
    for (const auto& c : cases) {
        const std::wstring line = BuildDriveLine(L"E:\\", c.label, c.kib);
        EXPECT_EQ(line, c.line) << c.label << " " << c.kib;
    }
    EXPECT_EQ(BuildDriveLine(L"E:\\", L"", 999).size() - 4 - 3, 29u);
}

TEST_F(DriveListTest, ListsReadableRemovableDrivesInLetterOrderAndSelectsTheFirst) {
    AddDrive(L'F', kDriveRemovable, L"STICK", 2048ull * 1024);
    AddDrive(L'E', kDriveRemovable, L"WINPE", 7818182656ull);
    AddDrive(L'D', 3, L"FIXED", 1 << 30);
    AddDrive(L'G', kDriveRemovable, L"EMPTY", 0);
    fake.drives[L'G' - L'A'].readable = false;  // no medium
    fake.comboLines = {L"stale"};
    RefreshDriveList();
    ASSERT_EQ(fake.comboLines.size(), 2u);
    EXPECT_EQ(fake.comboLines[0], L"E:\\ [WINPE]             7.634.944 Kb");
    EXPECT_EQ(fake.comboLines[1], L"F:\\ [STICK]                 2.048 Kb");
    EXPECT_EQ(fake.comboSelected, 0);
    EXPECT_EQ(appState.driveListBusy, 0);
}

TEST_F(DriveListTest, ShowAllDrivesAddsFixedDrivesButNeverTheSystemDrive) {
    AddDrive(L'C', 3, L"SYSTEM", 1 << 30);
    AddDrive(L'D', 3, L"WINDOWS", 1 << 30);
    AddDrive(L'E', kDriveRemovable, L"WINPE", 1 << 20);
    AddDrive(L'F', 3, L"DATA", 1 << 20);
    appState.windowsDir = L"D:\\Windows";  // Windows lives on D: here
    fake.Of(Control::ShowAllDrivesCheck).check = 1;
    OnShowAllDrivesToggled();
    EXPECT_EQ(appState.showAllDrives, 1);
    ASSERT_EQ(fake.comboLines.size(), 2u);
    EXPECT_EQ(fake.comboLines[0].substr(0, 3), L"E:\\");
    EXPECT_EQ(fake.comboLines[1].substr(0, 3), L"F:\\");

    fake.Of(Control::ShowAllDrivesCheck).check = 0;
    OnShowAllDrivesToggled();
    EXPECT_EQ(appState.showAllDrives, 0);
    ASSERT_EQ(fake.comboLines.size(), 1u);
}

TEST_F(DriveListTest, UnreadableSizeShowsZeroAndAnEmptyListHasNoText) {
    AddDrive(L'E', kDriveRemovable, L"X", 0);
    fake.drives[4].sizeReadable = false;
    RefreshDriveList();
    ASSERT_EQ(fake.comboLines.size(), 1u);
    EXPECT_EQ(fake.comboLines[0], L"E:\\ [X]                         0 Kb");

    fake.drives.clear();
    RefreshDriveList();
    EXPECT_TRUE(fake.comboLines.empty());
    EXPECT_EQ(SelectedDrive(), L"");
}

TEST_F(DriveListTest, DeviceArrivalAndRemovalRebuildTheList) {
    AddDrive(L'E', kDriveRemovable, L"A", 1024);
    EXPECT_TRUE(OnDeviceChange(0x0219, 0x8000));
    EXPECT_EQ(fake.comboLines.size(), 1u);
    fake.drives.clear();
    EXPECT_TRUE(OnDeviceChange(0x0219, 0x8004));
    EXPECT_TRUE(fake.comboLines.empty());
    AddDrive(L'E', kDriveRemovable, L"A", 1024);
    EXPECT_TRUE(OnDeviceChange(0x0219, 0x0007));  // other device events change nothing
    EXPECT_TRUE(fake.comboLines.empty());
    EXPECT_FALSE(OnDeviceChange(0x0010, 0x8000));  // not a device change
}

}  // namespace
