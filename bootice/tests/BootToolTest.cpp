// The boot tool's core on sparse image files: the command forms, the fresh
// table, FAT32 at every size checked by fsck.fat, the boot records, and the
// Linux front with the real mkntfs and mkfs.exfat.
#include <gtest/gtest.h>

#include <cstring>

#include "ImageDisk.h"
#include "bootice/BootCode.h"
#include "bootice/Fat32BootRecord.h"
#include "bootice/Fat32Format.h"
#include "bootice/PartitionTable.h"
#include "bootice/Sectors.h"

namespace {

const uint64_t kMiB = 1ull << 20;

std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    size_t at = 0;
    while (at < line.size()) {
        const size_t end = line.find(' ', at);
        const size_t stop = end == std::string::npos ? line.size() : end;
        if (stop > at) words.push_back(line.substr(at, stop - at));
        at = stop + 1;
    }
    return words;
}

uint32_t FixedSignature(void* context) { return *static_cast<uint32_t*>(context); }

bool RunLine(const std::string& line, ImageDisk* disk, const FrontHooks& hooks, std::string* message) {
    BootCommand command;
    if (!ParseBootCommand(Words(line), &command, message)) return false;
    return RunBootCommand(command, &disk->device, hooks, message);
}

// Copies the partition out of a whole-disk image and runs fsck.fat -n on it.
void ExpectFsckClean(const std::string& partitionFile) {
    std::string output;
    EXPECT_EQ(RunShell("fsck.fat -n '" + partitionFile + "'", &output), 0) << output;
    EXPECT_EQ(output.find("differences"), std::string::npos) << output;
}

std::string ExtractPartition(const ImageDisk& disk, uint64_t firstSector, uint64_t sectorCount,
                             const std::string& name) {
    const std::string out = TestImagePath(name);
    std::string output;
    const uint32_t size = disk.device.sectorSize;
    EXPECT_EQ(RunShell("dd if='" + disk.path + "' of='" + out + "' bs=" + std::to_string(size) +
                           " skip=" + std::to_string(firstSector) + " count=" + std::to_string(sectorCount) +
                           " conv=sparse status=none",
                       &output),
              0)
        << output;
    return out;
}

TEST(BootCommandLine, AcceptsTheThreeFormsAndRefusesEverythingElse) {
    struct Accepted {
        const char* line;
        CommandForm form;
        FileSystem fileSystem;
        LoaderKind loader;
    };
    const Accepted accepted[] = {
        {"/device=E: /partitions /repartition /activate /usb-hdd /fstype=ntfs /quiet",
         CommandForm::Partitions, FileSystem::Ntfs, LoaderKind::Bootmgr},
        {"/device=E: /partitions /repartition /activate /usb-hdd /fstype=fat32 /quiet",
         CommandForm::Partitions, FileSystem::Fat32, LoaderKind::Bootmgr},
        {"/device=E: /quiet /FSTYPE=exFAT /usb-hdd /activate /repartition /Partitions",
         CommandForm::Partitions, FileSystem::Exfat, LoaderKind::Bootmgr},
        {"/device=E: /mbr /install /type=nt60 /quiet", CommandForm::MasterBootRecord, FileSystem::Fat32,
         LoaderKind::Bootmgr},
        {"/device=E: /pbr /install /type=grub4dos /activate /quiet", CommandForm::PartitionBootRecord,
         FileSystem::Fat32, LoaderKind::Grub4dos},
        {"/device=stick.img /pbr /install /type=bootmgr /activate /quiet",
         CommandForm::PartitionBootRecord, FileSystem::Fat32, LoaderKind::Bootmgr},
    };
    struct Refused {
        const char* line;
        const char* reason;
    };
    const Refused refused[] = {
    };
    for (const Accepted& row : accepted) {
        BootCommand command;
        std::string error;
        ASSERT_TRUE(ParseBootCommand(Words(row.line), &command, &error)) << row.line << ": " << error;
        EXPECT_EQ(command.device, Words(row.line)[0].substr(8)) << row.line;
        EXPECT_EQ(command.form, row.form) << row.line;
        if (row.form == CommandForm::Partitions) {
            EXPECT_EQ(command.fileSystem, row.fileSystem) << row.line;
        }
        if (row.form == CommandForm::PartitionBootRecord) {
            EXPECT_EQ(command.loader, row.loader) << row.line;
        }
    }
    for (const Refused& row : refused) {
        BootCommand command;
        std::string error;
        EXPECT_FALSE(ParseBootCommand(Words(row.line), &command, &error)) << row.line;
        EXPECT_NE(error.find(row.reason), std::string::npos) << row.line << " -> " << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
}

// The whole road on a 64 MiB disk that held a GPT and an old volume: fresh
// table, FAT32, master boot code, boot record; then fsck and mtools use it.
TEST(BootToolRoad, Fat32DiskFromPartitionsToBootRecord) {
    ImageDisk disk;
    const uint64_t sectors = 64 * kMiB / 512;
    OpenImageDisk("road.img", sectors, 512, 0, &disk);
    std::vector<uint8_t> gpt(512, 0);
    std::memcpy(gpt.data(), "EFI PART", 8);
    WriteDiskBytes(disk, 512, gpt);
    WriteDiskBytes(disk, (sectors - 1) * 512, gpt);
    std::vector<uint8_t> oldVolume(512, 0x66);
    std::memcpy(oldVolume.data() + 3, "EXFAT   ", 8);
    WriteDiskBytes(disk, 2048 * 512, oldVolume);
    WriteDiskBytes(disk, (2048 + 12) * 512, oldVolume);

    uint32_t signature = 0x5EED1234;
    FrontHooks hooks;
    hooks.context = &signature;
    hooks.newDiskSignature = FixedSignature;
    std::string message;
    ASSERT_TRUE(RunLine("/device=x /partitions /repartition /activate /usb-hdd /fstype=fat32 /quiet", &disk, hooks,
                        &message))
        << message;
    EXPECT_NE(message.find("FAT32 with"), std::string::npos) << message;

    std::vector<uint8_t> mbr = ReadDiskBytes(disk, 0, 512);
    EXPECT_EQ(0, std::memcmp(mbr.data(), kMasterBootCode.bytes, 440));
    EXPECT_EQ(Get32(&mbr[440]), signature);
    const uint8_t* entry = &mbr[446];
    EXPECT_EQ(entry[0], 0x80);
    EXPECT_EQ(entry[4], 0x0C);
    EXPECT_EQ(Get32(entry + 8), 2048u);  // 1 MiB
    EXPECT_EQ(Get32(entry + 12), sectors - 2048);
    EXPECT_EQ(std::vector<uint8_t>(entry + 1, entry + 4), (std::vector<uint8_t>{32, 33, 0}));  // CHS of LBA 2048
    EXPECT_EQ(std::vector<uint8_t>(mbr.begin() + 462, mbr.begin() + 510), std::vector<uint8_t>(48, 0));
    EXPECT_EQ(mbr[510], 0x55);
    EXPECT_EQ(mbr[511], 0xAA);
    EXPECT_EQ(ReadDiskBytes(disk, 512, 512), std::vector<uint8_t>(512, 0)) << "primary GPT header left";
    EXPECT_EQ(ReadDiskBytes(disk, (sectors - 1) * 512, 512), std::vector<uint8_t>(512, 0)) << "backup GPT left";
    EXPECT_EQ(ReadDiskBytes(disk, (2048 + 12) * 512, 512), std::vector<uint8_t>(512, 0)) << "old volume left";

    std::vector<uint8_t> boot = ReadDiskBytes(disk, 2048 * 512, 512);
    EXPECT_EQ(Get16(&boot[11]), 512);
    EXPECT_EQ(boot[13], 1);  // 63 MiB: 512-byte clusters
    EXPECT_EQ(Get16(&boot[14]), 32);
    EXPECT_EQ(boot[16], 2);
    EXPECT_EQ(boot[21], 0xF8);
    EXPECT_EQ(Get32(&boot[28]), 2048u);
    EXPECT_EQ(Get32(&boot[32]), sectors - 2048);
    EXPECT_EQ(Get32(&boot[44]), 2u);
    EXPECT_EQ(Get16(&boot[48]), 1);
    EXPECT_EQ(Get16(&boot[50]), 6);
    EXPECT_EQ(boot[64], 0x80);
    EXPECT_EQ(std::string(&boot[71], &boot[82]), "NO NAME    ");
    EXPECT_EQ(ReadDiskBytes(disk, (2048 + 6) * 512, 1024), ReadDiskBytes(disk, 2048 * 512, 1024));
    const uint32_t fatSectors = Get32(&boot[36]);
    EXPECT_EQ((32 + 2 * fatSectors) % boot[13], 0u);
    ExpectFsckClean(ExtractPartition(disk, 2048, sectors - 2048, "road-part.img"));

    // The master boot code step keeps signature and table, and sets a missing 55 AA.
    WriteDiskBytes(disk, 0, std::vector<uint8_t>(440, 0xE9));
    WriteDiskBytes(disk, 510, {0, 0});
    ASSERT_TRUE(RunLine("/device=x /mbr /install /type=nt60 /quiet", &disk, hooks, &message)) << message;
    std::vector<uint8_t> after = ReadDiskBytes(disk, 0, 512);
    EXPECT_EQ(0, std::memcmp(after.data(), kMasterBootCode.bytes, 440));
    EXPECT_EQ(std::vector<uint8_t>(after.begin() + 440, after.begin() + 510),
              std::vector<uint8_t>(mbr.begin() + 440, mbr.begin() + 510));
    EXPECT_EQ(after[510], 0x55);
    EXPECT_EQ(after[511], 0xAA);

    // The boot record keeps every BPB field; the loader's name goes into its
    // slot; the code sector into reserved sector 12; the backup follows.
    WriteDiskBytes(disk, 446, {0x00});  // not active: /pbr /activate sets it
    for (const char* type : {"grub4dos", "bootmgr"}) {
        ASSERT_TRUE(RunLine(std::string("/device=x /pbr /install /type=") + type + " /activate /quiet", &disk, hooks,
                            &message))
            << message;
        std::vector<uint8_t> record = ReadDiskBytes(disk, 2048 * 512, 512);
        EXPECT_EQ(0, std::memcmp(record.data(), kFat32BootCode.bytes, 3));
        EXPECT_EQ(std::vector<uint8_t>(record.begin() + 3, record.begin() + 90),
                  std::vector<uint8_t>(boot.begin() + 3, boot.begin() + 90));
        EXPECT_EQ(0, std::memcmp(record.data() + 90, kFat32BootCode.bytes + 90, 499 - 90));
        EXPECT_EQ(std::string(&record[499], &record[510]), std::string(type)[0] == 'g' ? "GRLDR      " : "BOOTMGR    ");
        EXPECT_EQ(record[510], 0x55);
        EXPECT_EQ(ReadDiskBytes(disk, (2048 + 6) * 512, 512), record);
        EXPECT_EQ(ReadDiskBytes(disk, (2048 + 1) * 512, 512), ReadDiskBytes(disk, (2048 + 7) * 512, 512));
        EXPECT_EQ(0, std::memcmp(ReadDiskBytes(disk, (2048 + 12) * 512, 512).data(), kFat32BootCode.bytes + 512, 512));
        EXPECT_EQ(ReadDiskBytes(disk, 446, 1)[0], 0x80);
    }
    const std::string part = ExtractPartition(disk, 2048, sectors - 2048, "road-part.img");
    ExpectFsckClean(part);
    std::string output;
    EXPECT_EQ(RunShell("head -c 300000 /dev/urandom > '" + part + ".file' && mcopy -i '" + part + "' '" + part +
                           ".file' ::/BOOTMGR && mdir -i '" + part + "' ::/ && rm '" + part + ".file'",
                       &output),
              0)
        << output;
    EXPECT_NE(output.find("BOOTMGR"), std::string::npos) << output;
    ExpectFsckClean(part);
    unlink(part.c_str());
    CloseImageDisk(&disk);
}

}  // namespace
