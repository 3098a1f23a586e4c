#include <gtest/gtest.h>

#include "app/AppState.h"
#include "boottest/DiskLookup.h"
#include "boottest/EmulatorTest.h"
#include "tests/unit/FakeOs.h"

namespace {

const wchar_t kPartitionQuery[] = L"Select * FROM Win32_LogicalDiskToPartition";
const wchar_t kDiskQuery[] = L"Select * FROM Win32_DiskDriveToDiskPartition";

WmiValue Text(const std::wstring& text) {
    WmiValue value;
    value.type = WmiType::String;
    value.text = text;
    return value;
}

class EmulatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetWorld();
        appState.tempDir = L"C:\\T";
        fake.AddFile(L"C:\\T\\drovelkit\\7zdrovelkit.exe", "MZ");
        fake.AddFile(L"C:\\T\\drovelkit\\qemu\\qemu_test.exe", "MZ");
        fake.AddFile(L"C:\\Program Files\\qemu\\qemu-system-x86_64.exe", "MZ");
    }
    // Two disks and drive E: on the second, as WMI lists them.
    static void TwoDisks() {
        const std::wstring pc = L"\\\\PC\\root\\cimv2:";
        fake.wmiRows[kPartitionQuery] = {
            {Text(pc + L"Win32_LogicalDisk.DeviceID=\"C:\""),
             Text(pc + L"Win32_DiskPartition.DeviceID=\"Disk #0, Partition #1\"")},
            {Text(pc + L"Win32_LogicalDisk.DeviceID=\"E:\""),
             Text(pc + L"Win32_DiskPartition.DeviceID=\"Disk #1, Partition #0\"")},
        };
        fake.wmiRows[kDiskQuery] = {
            {Text(pc + L"Win32_DiskPartition.DeviceID=\"Disk #0, Partition #1\""),
             Text(pc + L"Win32_DiskDrive.DeviceID=\"\\\\\\\\.\\\\PHYSICALDRIVE0\"")},
            {Text(pc + L"Win32_DiskPartition.DeviceID=\"Disk #1, Partition #0\""),
             Text(pc + L"Win32_DiskDrive.DeviceID=\"\\\\\\\\.\\\\PHYSICALDRIVE1\"")},
        };
    }
};

TEST(EmulatorCommand, ImageTestArgumentsForEachFirmware) {
    EXPECT_EQ(EmulatorParameters(L"C:\\T", ImageTestArguments(Firmware::Bios, L"D:\\x.iso")),
              L"-L \"C:\\T\\drovelkit\\qemu\" -m 1024 -bios bios.bin -name \"  Disk: ISO Memory: 1024 mb  \""
              L" -net none -boot d -cdrom \"D:\\x.iso\"");
    EXPECT_EQ(ImageTestArguments(Firmware::Efi32, L"D:\\a b.iso"),
              L"efi32.bin -name \"  Disk: ISO Efi32 boot Memory: 1024 mb  \" -net none -boot d -cdrom \"D:\\a b.iso\"");
    EXPECT_EQ(ImageTestArguments(Firmware::Efi64, L"D:\\x.iso"),
              L"efi64.bin -name \"  Disk: ISO Efi64 boot Memory: 1024 mb  \" -net none -boot d -cdrom \"D:\\x.iso\"");
}

TEST(EmulatorCommand, DriveTestArgumentsForEachFirmware) {
    EXPECT_EQ(EmulatorParameters(L"C:\\T", DriveTestArguments(Firmware::Bios, L"E:", L"\\\\.\\PHYSICALDRIVE1")),
              L"-L \"C:\\T\\drovelkit\\qemu\" -m 1024 -bios bios.bin -localtime -snapshot -name"
              L" \"  Disk: E:\\ Memory: 1024 mb  \" -net none -usb -boot c -drive"
              L" if=ide,cache=none,file=\\\\.\\PHYSICALDRIVE1");
    EXPECT_EQ(DriveTestArguments(Firmware::Efi64, L"F:", L"\\\\.\\PHYSICALDRIVE2"),
              L"efi64.bin -localtime -snapshot -name \"  Disk: F:\\ Efi64 boot Memory: 1024 mb  \" -net none -usb"
              L" -boot c -drive if=ide,cache=none,file=\\\\.\\PHYSICALDRIVE2");
    EXPECT_EQ(DriveTestArguments(Firmware::Efi32, L"F:", L"\\\\.\\PHYSICALDRIVE2"),
              L"efi32.bin -localtime -snapshot -name \"  Disk: F:\\ Efi32 boot Memory: 1024 mb  \" -net none -usb"
              L" -boot c -drive if=ide,cache=none,file=\\\\.\\PHYSICALDRIVE2");
}

TEST_F(EmulatorTest, FirmwareIsEfi64ThenEfi32ThenBios) {
    EXPECT_EQ(ChosenFirmware(), Firmware::Bios);
    fake.Of(Control::BootEfi32Option).check = 1;
    EXPECT_EQ(ChosenFirmware(), Firmware::Efi32);
    fake.Of(Control::BootEfi64Option).check = 1;
    EXPECT_EQ(ChosenFirmware(), Firmware::Efi64);
}

TEST_F(EmulatorTest, ImageTestStartsTheFrontHiddenInItsFolderOnlyForARealImage) {
    fake.Of(Control::IsoPathField).text = L"Select ISO image -->";
    TestImageInEmulator();
    EXPECT_TRUE(fake.hiddenRuns.empty());
    appState.isoPath.Set(L"D:\\iso\\x.iso");
    fake.Of(Control::IsoPathField).text = L"x.iso";
    fake.AddFile(L"D:\\iso\\x.iso", "");  // empty image
    TestImageInEmulator();
    EXPECT_TRUE(fake.hiddenRuns.empty());
    fake.AddFile(L"D:\\iso\\x.iso", "cd");
    fake.Of(Control::BootEfi32Option).check = 1;
    TestImageInEmulator();
    ASSERT_EQ(fake.hiddenRuns.size(), 1u);
    ASSERT_EQ(fake.log.back(), L"release C:\\T\\DROVELKIT\\QEMU\\QEMU_TEST.EXE");  // held until started
    EXPECT_EQ(fake.log.end()[-2],
              L"run hidden \"C:\\T\\drovelkit\\qemu\\qemu_test.exe\" -L \"C:\\T\\drovelkit\\qemu\" -m 1024 -bios "
              L"efi32.bin -name \"  Disk: ISO Efi32 boot Memory: 1024 mb  \" -net none -boot d -cdrom "
              L"\"D:\\iso\\x.iso\" in C:\\T\\drovelkit\\qemu wait 0 new console");
    fake.threadsAlive = true;
    appState.workerThread = reinterpret_cast<ThreadHandle>(1);
    TestImageInEmulator();
    EXPECT_EQ(fake.hiddenRuns.size(), 1u);
}

TEST_F(EmulatorTest, TheStatusLineSaysWhatKeepsTheEmulatorFromRunning) {
    appState.isoPath.Set(L"D:\\x.iso");
    fake.Of(Control::IsoPathField).text = L"x.iso";
    fake.AddFile(L"D:\\x.iso", "cd");
    fake.hiddenRunStarts = false;
    TestImageInEmulator();
    EXPECT_EQ(fake.Of(Control::StatusLine).text, L"==  The emulator could not be started");

    // The front starts and shows its box; the line names the native folder.
    fake.hiddenRunStarts = true;
    fake.emulatorPlaces = {{L"", L"%ProgramFiles%\\qemu"}, {L"", L"D:\\Programs", L"C:\\Program Files (x86)"}};
    fake.AddFile(L"C:\\Users\\u\\qemu\\qemu-system-x86_64.exe", "MZ");  // not a machine-wide place
    TestImageInEmulator();
    EXPECT_EQ(fake.hiddenRuns.size(), 2u);
    EXPECT_EQ(fake.Of(Control::StatusLine).text,
              L"==  QEMU not found: install it in D:\\Programs\\qemu");

    fake.Of(Control::StatusLine).text = L"";
    fake.emulatorPlaces.installDirs = {L"D:\\Emu"};
    fake.AddFile(L"D:\\Emu\\qemu-system-x86_64.exe", "MZ");
    TestImageInEmulator();
    EXPECT_EQ(fake.hiddenRuns.size(), 3u);
    EXPECT_EQ(fake.Of(Control::StatusLine).text, L"");
}

TEST_F(EmulatorTest, DriveTestBootsThePhysicalDiskOfTheSelectedDrive) {
    TwoDisks();
    TestDriveInEmulator();  // empty drive list: nothing
    EXPECT_TRUE(fake.hiddenRuns.empty());
    fake.comboLines = {L"E:\\ [X]  1 Kb"};
    fake.comboSelected = 0;
    TestDriveInEmulator();
    ASSERT_EQ(fake.hiddenRuns.size(), 1u);
    EXPECT_NE(fake.hiddenRuns[0].find(L"-bios bios.bin -localtime -snapshot -name \"  Disk: E:\\ Memory: 1024 mb  \""),
              std::wstring::npos);
    EXPECT_NE(fake.hiddenRuns[0].find(L"file=\\\\.\\PHYSICALDRIVE1"), std::wstring::npos);
}

TEST_F(EmulatorTest, DriveNotFoundIsReportedAndBootsNothing_RegressionFirstDiskTaken) {
    TwoDisks();
    fake.comboLines = {L"G:\\ [X]  1 Kb"};
    fake.comboSelected = 0;
    TestDriveInEmulator();
    EXPECT_TRUE(fake.hiddenRuns.empty());
    EXPECT_EQ(fake.Of(Control::StatusLine).text, L"==  The disk of drive G: was not found");
}

TEST(DiskLookup, FindsTheDiskOfTheDriveByWholeNames) {
    const std::wstring partitions =
        L"Dependent = \\\\PC\\root\\cimv2:Win32_LogicalDisk.DeviceID=\"C:\"\r\n"
        L"Antecedent = \\\\PC\\root\\cimv2:Win32_DiskPartition.DeviceID=\"Disk #10, Partition #0\"\r\n"
        L"Dependent = \\\\PC\\root\\cimv2:Win32_LogicalDisk.DeviceID=\"E:\"\r\n"
        L"Antecedent = \\\\PC\\root\\cimv2:Win32_DiskPartition.DeviceID=\"Disk #1, Partition #0\"\r\n";
    const std::wstring disks =
        L"Dependent = \\\\PC\\root\\cimv2:Win32_DiskPartition.DeviceID=\"Disk #10, Partition #0\"\r\n"
        L"Antecedent = \\\\PC\\root\\cimv2:Win32_DiskDrive.DeviceID=\"\\\\\\\\.\\\\PHYSICALDRIVE10\"\r\n"
        L"Dependent = \\\\PC\\root\\cimv2:Win32_DiskPartition.DeviceID=\"Disk #1, Partition #0\"\r\n"
        L"Antecedent = \\\\PC\\root\\cimv2:Win32_DiskDrive.DeviceID=\"\\\\\\\\.\\\\PHYSICALDRIVE1\"\r\n";
    std::wstring path;
    ASSERT_TRUE(FindPhysicalDrive(L"E:", partitions, disks, &path));
    EXPECT_EQ(path, L"\\\\.\\PHYSICALDRIVE1");
    ASSERT_TRUE(FindPhysicalDrive(L"C:", partitions, disks, &path));
    EXPECT_EQ(path, L"\\\\.\\PHYSICALDRIVE10");
    EXPECT_FALSE(FindPhysicalDrive(L"F:", partitions, disks, &path));      // drive not listed
    EXPECT_FALSE(FindPhysicalDrive(L"E:", partitions, L"\r\n", &path));   // failed query
    EXPECT_FALSE(FindPhysicalDrive(L"E:", L"\r\n", disks, &path));
    const std::wstring otherDisks =
        L"Dependent = \\\\PC\\root\\cimv2:Win32_DiskPartition.DeviceID=\"Disk #10, Partition #0\"\r\n"
        L"Antecedent = \\\\PC\\root\\cimv2:Win32_DiskDrive.DeviceID=\"\\\\\\\\.\\\\PHYSICALDRIVE10\"\r\n";
    EXPECT_FALSE(FindPhysicalDrive(L"E:", partitions, otherDisks, &path));  // Disk #1 is not Disk #10
}

TEST_F(EmulatorTest, WmiQueryWritesEveryValueTypeAndFailuresShowABox) {
    WmiValue number, yes, no, null, strings, numbers, other;
    number.type = WmiType::Int32;
    number.number = -42;
    yes.type = WmiType::Bool;
    yes.flag = true;
    no.type = WmiType::Bool;
    null.type = WmiType::Null;
    strings.type = WmiType::StringArray;
    strings.texts = {L"a", L"b c"};
    numbers.type = WmiType::Int32Array;
    numbers.numbers = {1, -2, 3};
    fake.wmiRows[L"SELECT * FROM X"] = {{Text(L"s"), number, yes}, {no, null, strings}, {numbers, other, Text(L"")}};
    EXPECT_EQ(WmiQuery(L" SELECT * FROM X , A,B ,C ", true),
              L"A = s\r\nB = -42\r\nC = TRUE\r\nA = FALSE\r\nB = n/a\r\nC = a, b c\r\nA = 1, -2, 3\r\nB = \r\nC = ");
    EXPECT_EQ(WmiQuery(L"SELECT * FROM X,A", false), L"s\r\nFALSE\r\n1, -2, 3");
    EXPECT_EQ(WmiQuery(L"SELECT * FROM Empty,A", true), L"");
    fake.wmiFails = true;
    EXPECT_EQ(WmiQuery(L"SELECT * FROM X,A", true), L"");
    ASSERT_EQ(fake.errorBoxes.size(), 1u);
    EXPECT_EQ(fake.errorBoxes[0], L"ERROR: unable to call IWbemLocator::ConnectServer");
}

}  // namespace
