// The UEFI loaders' partition of NTFS and exFAT drives: the two-partition
// table made through the Linux front over old data, the FAT volume checked by
// fsck.fat and read back by mtools; the small FAT formatter's FAT12, FAT16
// and the limit between them.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "ImageDisk.h"
#include "bootice/EfiLoaders.h"
#include "bootice/PartitionTable.h"
#include "bootice/Sectors.h"
#include "bootice/SmallFat.h"

namespace {

const uint64_t kMiB = 1ull << 20;

std::string Quoted(const std::string& path) { return "'" + path + "'"; }

// fsck.fat -n accepts the volume: exit 0, nothing to mend.
void ExpectFatClean(const std::string& part, const std::string& what) {
    std::string output;
    EXPECT_EQ(RunShell("fsck.fat -n " + Quoted(part), &output), 0) << what << ": " << output;
    for (const char* complaint : {"differences", "Reclaim", "Free cluster summary wrong", "Dirty bit"})
        EXPECT_EQ(output.find(complaint), std::string::npos) << what << ": " << output;
}

// mtools reads the file back with the bytes it was given.
void ExpectFileReadable(const std::string& part, const std::string& path, const uint8_t* bytes, size_t size) {
    const std::string copy = part + ".read";
    std::string output;
    ASSERT_EQ(RunShell("MTOOLS_SKIP_CHECK=1 mtype -i " + Quoted(part) + " ::/" + path + " > " + Quoted(copy), &output), 0)
        << path << ": " << output;
    FILE* file = fopen(copy.c_str(), "rb");
    ASSERT_NE(file, nullptr);
    std::vector<uint8_t> read(size + 1);
    const size_t got = fread(read.data(), 1, read.size(), file);
    fclose(file);
    unlink(copy.c_str());
    ASSERT_EQ(got, size) << path;
    EXPECT_EQ(0, std::memcmp(read.data(), bytes, size)) << path;
}

// Drives of whole MiBs and of odd sizes, over old data, made by the front
// with the real formatters: partition 1 active and whole-MiB, partition 2
// the rest from a MiB boundary to the disk's last sector, FAT12 with both
// loaders and both drivers that fsck.fat accepts and mtools reads.
TEST(EfiPartition, NtfsAndExfatDrivesCarryTheUefiLoaders) {
    // PE images of the right machine: x86-64 (0x8664) or i386 (0x14C).
    const struct {
        const BootCodeImage& image;
        uint16_t machine;
    } images[] = {{kEfiLoaderX64, 0x8664}, {kEfiLoaderIa32, 0x14C}, {kEfiDriverX64, 0x8664}, {kEfiDriverIa32, 0x14C}};
    for (const auto& row : images) {
        ASSERT_GT(row.image.size, 4096u);
        ASSERT_EQ(std::string(row.image.bytes, row.image.bytes + 2), "MZ");
        const uint32_t pe = Get32(row.image.bytes + 0x3C);
        ASSERT_LT(pe + 6, row.image.size);
        EXPECT_EQ(row.image.bytes[pe + 4] | row.image.bytes[pe + 5] << 8, row.machine);
    }
    const std::string front = BOOTICE_TEST_FRONT;
    const std::string image = TestImagePath("efi-front.img");
    const struct {
        const char* fileSystem;
        uint64_t bytes;
    } rows[] = {{"ntfs", 64 * kMiB}, {"exfat", 64 * kMiB}, {"ntfs", 100 * kMiB + 700 * 1024},
                {"exfat", 40 * kMiB + 512}};
    for (const auto& row : rows) {
        const std::string what = std::string(row.fileSystem) + " on " + std::to_string(row.bytes) + " bytes";
        std::string output;
        ASSERT_EQ(RunShell("yes OLD-DATA | head -c " + std::to_string(row.bytes) + " > " + Quoted(image), &output), 0);
        ASSERT_EQ(RunShell(Quoted(front) + " /device=" + Quoted(image) +
                               " /partitions /repartition /activate /usb-hdd /fstype=" + row.fileSystem + " /quiet",
                           &output),
                  0)
            << what << ": " << output;
        EXPECT_NE(output.find("\nUEFI booting from this drive needs Secure Boot turned off"), std::string::npos)
            << output;

        ImageDisk disk;
        disk.path = image;
        disk.device.sectorSize = 512;
        disk.fd = open(image.c_str(), O_RDWR);
        const uint64_t diskSectors = row.bytes / 512;
        disk.device.sectorCount = diskSectors;
        disk.device.context = &disk;
        disk.device.read = [](void* context, uint64_t first, uint32_t count, uint8_t* out) {
            const ImageDisk* image = static_cast<const ImageDisk*>(context);
            return pread(image->fd, out, count * 512, off_t(first * 512)) == ssize_t(count * 512);
        };
        const std::vector<uint8_t> mbr = ReadDiskBytes(disk, 0, 512);
        const uint8_t* one = &mbr[446];
        const uint8_t* two = &mbr[462];
        EXPECT_EQ(one[0], 0x80) << what;
        EXPECT_EQ(one[4], 0x07) << what;
        EXPECT_EQ(Get32(one + 8), 2048u) << what;
        EXPECT_EQ(two[0], 0x00) << what;
        EXPECT_EQ(two[4], 0xEF) << what;
        const uint32_t efiFirst = Get32(two + 8), efiCount = Get32(two + 12);
        EXPECT_EQ(Get32(one + 8) + Get32(one + 12), efiFirst) << what;
        EXPECT_EQ(efiFirst % 2048, 0u) << what;
        EXPECT_EQ(uint64_t(efiFirst) + efiCount, diskSectors) << what;
        EXPECT_GE(efiCount, 4096u) << what;
        EXPECT_LT(efiCount, 4096u + 2048u) << what;
        EXPECT_EQ(std::vector<uint8_t>(mbr.begin() + 478, mbr.begin() + 510), std::vector<uint8_t>(32, 0)) << what;
        // CHS of the start as the classic geometry has it.
        EXPECT_EQ(two[1], uint8_t((efiFirst / 63) % 255)) << what;

        // A boot record goes to partition 1 even when neither is active.
        WriteDiskBytes(disk, 446, {0x00});
        int index = -1;
        PartitionEntry entry;
        std::string error;
        EXPECT_TRUE(FindBootPartition(&disk.device, &index, &entry, &error)) << error;
        EXPECT_EQ(index, 0) << what;
        CloseImageDisk(&disk, true);
        const std::string part = TestImagePath("efi-front-part.img");
        ASSERT_EQ(RunShell("dd if=" + Quoted(image) + " of=" + Quoted(part) + " bs=512 skip=" +
                               std::to_string(efiFirst) + " status=none",
                           &output),
                  0);
        ExpectFatClean(part, what);
        ImageDisk volume;
        volume.path = part;
        volume.device.sectorSize = 512;
        volume.fd = open(part.c_str(), O_RDONLY);
        const std::vector<uint8_t> boot = ReadDiskBytes(volume, 0, 512);
        CloseImageDisk(&volume, true);
        EXPECT_EQ(Get32(&boot[28]), efiFirst) << what;
        EXPECT_EQ(std::string(&boot[43], &boot[62]), "UEFI BOOT  FAT12   ") << what;
        ExpectFileReadable(part, "EFI/BOOT/BOOTX64.EFI", kEfiLoaderX64.bytes, kEfiLoaderX64.size);
        ExpectFileReadable(part, "EFI/BOOT/BOOTIA32.EFI", kEfiLoaderIa32.bytes, kEfiLoaderIa32.size);
        ExpectFileReadable(part, "EFI/BOOT/FSX64.EFI", kEfiDriverX64.bytes, kEfiDriverX64.size);
        ExpectFileReadable(part, "EFI/BOOT/FSIA32.EFI", kEfiDriverIa32.bytes, kEfiDriverIa32.size);
        unlink(part.c_str());
    }
    unlink(image.c_str());
}

// Trees of several folders, a folder of several clusters and an empty file
// on volumes of each FAT type, on the cluster-count limit between them and
// on 4 KiB sectors; bad names and files too large are refused unwritten.
TEST(SmallFat, FatTypesTreesAndRefusals) {
    std::vector<uint8_t> big(700 * 1024);
    for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7 + i / 2048);
    const uint8_t text[] = "small file";
    std::vector<FatFile> files;
    auto add = [&](const std::string& path, const uint8_t* bytes, size_t size) {
        FatFile file;
        file.path = path;
        file.bytes = bytes;
        file.size = size;
        files.push_back(file);
    };
    add("EFI/BOOT/BOOTX64.EFI", big.data(), big.size());
    add("README.TXT", text, sizeof text);
    add("EFI/EMPTY", nullptr, 0);
    std::vector<std::string> names;
    for (int i = 0; i < 70; ++i) names.push_back("MANY/FILE" + std::to_string(i) + ".BIN");
    for (int i = 0; i < 70; ++i) add(names[size_t(i)], text, size_t(i % 11));
    add("A/B/C/D/DEEP.TXT", text, sizeof text);

    const struct {
        const char* what;
        uint64_t sectors;
        uint32_t sectorSize;
        uint32_t fatBits;
        bool smaller;  // the volume takes fewer sectors than the partition has
    } rows[] = {
        {"2 MiB", 4096, 512, 12, false},
        {"2 MiB of 4 KiB sectors", 512, 4096, 12, false},
        {"just below the limit", 16300, 512, 12, false},
        {"on the limit: made smaller", 16420, 512, 12, true},
        {"just above the limit", 16520, 512, 16, false},
        {"20 MiB", 40960, 512, 16, false},
    };
    for (const auto& row : rows) {
        SmallFatGeometry g;
        std::string error, report;
        ASSERT_TRUE(PlanSmallFat(row.sectors, row.sectorSize, &g, &error)) << row.what << ": " << error;
        EXPECT_EQ(g.fatBits, row.fatBits) << row.what;
        EXPECT_TRUE(g.clusterCount < 4085 - 16 || g.clusterCount >= 4085 + 16) << row.what << ": " << g.clusterCount;
        EXPECT_EQ(g.totalSectors < row.sectors, row.smaller) << row.what;
        EXPECT_LE(g.totalSectors, row.sectors) << row.what;
        ImageDisk disk;
        OpenImageDisk("small-fat.img", 2048 + row.sectors, row.sectorSize, 2048, &disk);
        ASSERT_TRUE(WriteSmallFatVolume(&disk.device, 2048, row.sectors, 0x12345678, "TEST", files, &report, &error))
            << row.what << ": " << error;
        EXPECT_EQ(report, (row.fatBits == 12 ? "FAT12" : "FAT16") + std::string(" with 74 files")) << row.what;
        // Only the structures and the clusters in use were written: the
        // files' clusters, one for each small file that is not empty, and
        // the folders (MANY holds 72 entries).
        const uint64_t cluster = uint64_t(g.sectorsPerCluster) * g.sectorSize;
        const uint64_t used = (big.size() + cluster - 1) / cluster + 1 + (70 - 7) + 1 +
                              (2 + (72 * 32 + cluster - 1) / cluster + 4);
        EXPECT_EQ(disk.bytesWritten,
                  (g.reservedSectors + 2ull * g.fatSectors + g.rootSectors) * g.sectorSize + used * cluster)
            << row.what;
        ExpectFatClean(disk.path, row.what);
        ExpectFileReadable(disk.path, "EFI/BOOT/BOOTX64.EFI", big.data(), big.size());
        ExpectFileReadable(disk.path, "MANY/FILE69.BIN", text, 69 % 11);
        ExpectFileReadable(disk.path, "A/B/C/D/DEEP.TXT", text, sizeof text);
        std::string output;
        EXPECT_EQ(RunShell("MTOOLS_SKIP_CHECK=1 mdir -i " + Quoted(disk.path) + " ::/MANY | grep -c BIN", &output), 0);
        EXPECT_EQ(output, "70\n") << row.what;
        CloseImageDisk(&disk);
    }

    SmallFatGeometry g;
    std::string error;
    EXPECT_FALSE(PlanSmallFat(64, 512, &g, &error));
    EXPECT_NE(error.find("too small for FAT"), std::string::npos) << error;
    ASSERT_TRUE(PlanSmallFat(4096, 512, &g, &error));
    std::vector<uint8_t> image;
    const struct {
        const char* path;
        size_t size;
        const char* reason;
    } refused[] = {
        {"EFI/boot/bootx64.efi", 1, "not a path of upper-case 8.3 names"},
        {"EFI/BOOT/LONGNAME9.EFI", 1, "not a path of upper-case 8.3 names"},
        {"EFI//X.EFI", 1, "not a path of upper-case 8.3 names"},
        {"README.TXT/X", 1, "names a file twice or a file as a folder"},
        {"HUGE.BIN", 2 * kMiB, "the files need"},
    };
    for (const auto& row : refused) {
        std::vector<FatFile> bad = {files[1]};
        FatFile file;
        file.path = row.path;
        file.bytes = big.data();
        file.size = row.size;
        bad.push_back(file);
        EXPECT_FALSE(BuildSmallFatVolume(g, 0, 1, "TEST", bad, &image, &error)) << row.path;
        EXPECT_NE(error.find(row.reason), std::string::npos) << row.path << ": " << error;
    }
}

}  // namespace
