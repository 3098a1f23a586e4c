// Native tests of the NTFS and exFAT boot records on volumes made by mkntfs
// and mkfs.exfat: what the installers change and keep, what they refuse
// before the first write, and that a failed write leaves a sound volume.
// (tests/boot/boot_table.py boots such volumes in QEMU.)
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ImageDisk.h"
#include "bootice/BootCode.h"
#include "bootice/ExfatBootRecord.h"
#include "bootice/NtfsBootRecord.h"
#include "bootice/PartitionTable.h"
#include "bootice/Sectors.h"

namespace {

constexpr uint64_t kStart = 2048;  // 1 MiB
constexpr uint64_t kVolumeSectors = 65536;
constexpr uint64_t kStartByte = kStart * 512;

// The image file holds the partition alone, as the formatters and checkers want it.
void MakeVolume(const std::string& name, const std::string& formatter, ImageDisk* disk) {
    OpenImageDisk(name, kStart + kVolumeSectors, 512, kStart, disk);
    std::string output;
    ASSERT_EQ(RunShell(formatter + " '" + disk->path + "'", &output), 0) << output;
}

void ExpectChecker(const std::string& checker, const ImageDisk& disk) {
    std::string output;
    EXPECT_EQ(RunShell(checker + " '" + disk.path + "'", &output), 0) << output;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
    return std::vector<uint8_t>(bytes.begin() + from, bytes.begin() + to);
}

}  // namespace

TEST(NtfsBootRecord, KeepsTheBpbSetsHiddenSectorsAndUpdatesTheBackup) {
    ASSERT_GT(kNtfsBootCode.size, 512u);
    ImageDisk disk;
    // HiddenSectors 0, as on a volume formatted inside an image file.
    MakeVolume("ntfs-keep.img", "mkntfs -F -Q -q -p 0", &disk);
    const std::vector<uint8_t> old = ReadDiskBytes(disk, kStartByte, 512);
    const uint64_t totalSectors = Get64(old.data() + 0x28);

    std::string error;
    ASSERT_TRUE(InstallNtfsBootRecord(&disk.device, kStart, LoaderKind::Grub4dos, &error)) << error;
    const std::vector<uint8_t> area = ReadDiskBytes(disk, kStartByte, kNtfsBootCode.size);
    EXPECT_EQ(Slice(area, 3, 0x1C), Slice(old, 3, 0x1C));
    EXPECT_EQ(Get32(area.data() + 0x1C), kStart);
    EXPECT_EQ(Slice(area, 0x20, 84), Slice(old, 0x20, 84));
    EXPECT_EQ(std::string(area.begin() + 499, area.begin() + 510), "GRLDR      ");
    EXPECT_EQ(0, std::memcmp(area.data() + 84, kNtfsBootCode.bytes + 84, 499 - 84));
    EXPECT_EQ(0, std::memcmp(area.data() + 510, kNtfsBootCode.bytes + 510, kNtfsBootCode.size - 510));
    EXPECT_EQ(ReadDiskBytes(disk, (kStart + totalSectors) * 512, 512), Slice(area, 0, 512));
    ExpectChecker("ntfsfix -n", disk);

    // Again, for the other loader: only the name changes.
    ASSERT_TRUE(InstallNtfsBootRecord(&disk.device, kStart, LoaderKind::Bootmgr, &error)) << error;
    std::vector<uint8_t> again = ReadDiskBytes(disk, kStartByte, kNtfsBootCode.size);
    EXPECT_EQ(std::string(again.begin() + 499, again.begin() + 510), "BOOTMGR    ");
    std::memcpy(again.data() + 499, "GRLDR      ", 11);
    EXPECT_EQ(again, area);
    CloseImageDisk(&disk);
}

TEST(NtfsBootRecord, LeavesASectorThatIsNoBackupAlone) {
    ImageDisk disk;
    MakeVolume("ntfs-foreign.img", "mkntfs -F -Q -q -p 2048", &disk);
    const uint64_t totalSectors = Get64(ReadDiskBytes(disk, kStartByte, 512).data() + 0x28);
    const std::vector<uint8_t> foreign(512, 0xE5);
    WriteDiskBytes(disk, (kStart + totalSectors) * 512, foreign);
    std::string error;
    ASSERT_TRUE(InstallNtfsBootRecord(&disk.device, kStart, LoaderKind::Bootmgr, &error)) << error;
    EXPECT_EQ(ReadDiskBytes(disk, (kStart + totalSectors) * 512, 512), foreign);
    CloseImageDisk(&disk);
}

TEST(NtfsBootRecord, RefusesBeforeTheFirstWrite) {
    struct Case {
        const char* name;
        const char* formatter;
        size_t patchOffset;  // 0: none
        std::vector<uint8_t> patch;
        const char* reason;
    };
    const Case cases[] = {
        {"not formatted", "true", 0, {}, "not NTFS"},
        {"exFAT", "mkfs.exfat", 0, {}, "not NTFS"},
        {"4096-byte sectors", "mkntfs -F -Q -q -s 4096", 0, {}, "4096-byte sectors"},
        // An MFT inside the 16 sectors the code would take.
        {"MFT at cluster 1", "mkntfs -F -Q -q", 0x30, {1, 0, 0, 0, 0, 0, 0, 0}, "damaged"},
        {"no cluster size", "mkntfs -F -Q -q", 0x0D, {0}, "damaged"},
        // The backup sector would lie beyond the disk.
        {"volume larger than the disk", "mkntfs -F -Q -q", 0x28, {0, 0, 0, 0, 1, 0, 0, 0}, "damaged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ImageDisk disk;
        MakeVolume("ntfs-refuse.img", c.formatter, &disk);
        if (!c.patch.empty()) WriteDiskBytes(disk, kStartByte + c.patchOffset, c.patch);
        std::string error;
        EXPECT_FALSE(InstallNtfsBootRecord(&disk.device, kStart, LoaderKind::Bootmgr, &error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(disk.writeCalls, 0u);
        CloseImageDisk(&disk);
    }
}

TEST(ExfatBootRecord, KeepsTheFieldsAndRewritesChecksumAndBackup) {
    ASSERT_GT(kExfatBootCode.size, 512u);
    ImageDisk disk;
    // PartitionOffset 0, as mkfs.exfat leaves it on an image file.
    MakeVolume("exfat-keep.img", "mkfs.exfat", &disk);
    const std::vector<uint8_t> old = ReadDiskBytes(disk, kStartByte, 12 * 512);
    const size_t codeEnd = kExfatBootCode.size;

    std::string error;
    ASSERT_TRUE(InstallExfatBootRecord(&disk.device, kStart, LoaderKind::Bootmgr, &error)) << error;
    const std::vector<uint8_t> region = ReadDiskBytes(disk, kStartByte, 24 * 512);
    EXPECT_EQ(Slice(region, 3, 64), Slice(old, 3, 64));
    EXPECT_EQ(Get64(region.data() + 64), kStart);
    EXPECT_EQ(Slice(region, 72, 120), Slice(old, 72, 120));
    EXPECT_EQ(std::string(region.begin() + 499, region.begin() + 510), "BOOTMGR    ");
    EXPECT_EQ(0, std::memcmp(region.data() + 120, kExfatBootCode.bytes + 120, 499 - 120));
    EXPECT_EQ(0, std::memcmp(region.data() + 512, kExfatBootCode.bytes + 512, codeEnd - 512));
    // Unused extended boot sectors, OEM parameters and the reserved sector.
    EXPECT_EQ(Slice(region, codeEnd, 11 * 512), Slice(old, codeEnd, 11 * 512));
    const uint32_t checksum = ExfatBootChecksum(region.data(), 512);
    for (size_t i = 11 * 512; i < 12 * 512; i += 4) ASSERT_EQ(Get32(region.data() + i), checksum) << i;
    EXPECT_EQ(Slice(region, 12 * 512, 24 * 512), Slice(region, 0, 12 * 512));
    ExpectChecker("fsck.exfat -n", disk);
    CloseImageDisk(&disk);
}

TEST(ExfatBootRecord, RefusesBeforeTheFirstWrite) {
    struct Case {
        const char* name;
        const char* formatter;
        size_t patchOffset;
        std::vector<uint8_t> patch;
        const char* reason;
    };
    const Case cases[] = {
        {"not formatted", "true", 0, {}, "not exFAT"},
        {"NTFS", "mkntfs -F -Q -q", 0, {}, "not exFAT"},
        {"a BPB where exFAT keeps zeros", "mkfs.exfat", 11, {0, 2}, "not exFAT"},
        {"4096-byte sectors", "mkfs.exfat", 108, {12}, "4096-byte sectors"},
        {"extended boot sector without signature", "mkfs.exfat", 5 * 512 + 510, {0, 0},
         "extended boot sector 5"},
        {"volume larger than the disk", "mkfs.exfat", 72, {0, 0, 0, 0, 1, 0, 0, 0}, "damaged"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ImageDisk disk;
        MakeVolume("exfat-refuse.img", c.formatter, &disk);
        if (!c.patch.empty()) WriteDiskBytes(disk, kStartByte + c.patchOffset, c.patch);
        std::string error;
        EXPECT_FALSE(InstallExfatBootRecord(&disk.device, kStart, LoaderKind::Grub4dos, &error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(disk.writeCalls, 0u);
        CloseImageDisk(&disk);
    }
}

// The backup region is written first: whichever write fails, one of the
// two regions is whole and the volume still passes its checker.
TEST(ExfatBootRecord, AFailedWriteLeavesASoundVolume) {
    for (uint64_t failingCall : {1u, 2u}) {
        SCOPED_TRACE(failingCall);
        ImageDisk disk;
        MakeVolume("exfat-fail.img", "mkfs.exfat", &disk);
        std::string error;
        ASSERT_TRUE(SetExfatPartitionOffset(&disk.device, kStart, kStart, &error)) << error;
        disk.failFromWrite = disk.writeCalls + failingCall;
        EXPECT_FALSE(InstallExfatBootRecord(&disk.device, kStart, LoaderKind::Bootmgr, &error));
        EXPECT_FALSE(error.empty());
        ExpectChecker("fsck.exfat -n", disk);
        CloseImageDisk(&disk);
    }
}
