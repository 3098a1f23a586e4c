// The boot tool's core on sparse image files: the command forms, the fresh
// table, FAT32 at every size checked by fsck.fat, the boot records, and the
// Linux front with the real mkntfs and mkfs.exfat.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

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
        {"", "no command given"},
        {"/partitions /repartition /activate /usb-hdd /fstype=ntfs /quiet", "missing device"},
        {"/device= /mbr /install /type=nt60 /quiet", "missing device"},
        {"/device=E: /device=F: /mbr /install /type=nt60 /quiet", "switch given twice: /device="},
        {"/device=E: /install /type=nt60 /quiet", "no command form"},
        {"/device=E: /mbr /pbr /install /type=nt60 /quiet", "more than one command form"},
        {"/device=E: /partitions /repartition /activate /fstype=ntfs /quiet", "missing switch /usb-hdd"},
        {"/device=E: /partitions /repartition /activate /usb-hdd /quiet", "missing switch /fstype="},
        {"/device=E: /partitions /repartition /activate /usb-hdd /fstype=fat16 /quiet",
         "unknown file system \"fat16\""},
        {"/device=E: /partitions /repartition /activate /usb-hdd /fstype=ntfs /fstype=ntfs /quiet",
         "switch given twice: /fstype=ntfs"},
        {"/device=E: /partitions /repartition /repartition /activate /usb-hdd /fstype=ntfs /quiet",
         "switch given twice: /repartition"},
        {"/device=E: /partitions /repartition /activate /usb-hdd /fstype=ntfs /quiet /force",
         "unknown switch in this command: /force"},
        {"/device=E: /mbr /install /type=nt52 /quiet", "unknown master boot record type \"nt52\""},
        {"/device=E: /mbr /install /type=nt60", "missing switch /quiet"},
        {"/device=E: /mbr /install /type=nt60 /activate /quiet", "unknown switch in this command: /activate"},
        {"/device=E: /pbr /install /type=syslinux /activate /quiet", "unknown partition boot record type"},
        {"/device=E: /pbr /install /type=bootmgr /quiet", "missing switch /activate"},
        {"/device=E: /pbr /type=bootmgr /activate /quiet", "missing switch /install"},
        {"E: /mbr /install /type=nt60 /quiet", "missing device"},
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
    // Regression: a switch holding a line feed was echoed into a message of two lines.
    BootCommand command;
    std::string error;
    EXPECT_FALSE(ParseBootCommand({"/device=E:", "/mbr", "/install", "/type=nt60", "/qu\niet"}, &command, &error));
    EXPECT_EQ(error, "unknown switch in this command: /qu?iet");
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
    // slot; the code sectors into reserved sectors 12 and 13; the backup follows.
    WriteDiskBytes(disk, 446, {0x00});  // not active: /pbr /activate sets it
    // A volume formatted elsewhere with HiddenSectors 0 would not boot: set.
    WriteDiskBytes(disk, 2048 * 512 + 28, {0, 0, 0, 0});
    ASSERT_TRUE(RunLine("/device=x /pbr /install /type=bootmgr /activate /quiet", &disk, hooks, &message));
    EXPECT_NE(message.find("HiddenSectors set from 0 to the partition's start 2048"), std::string::npos) << message;
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
        EXPECT_EQ(0, std::memcmp(ReadDiskBytes(disk, (2048 + 12) * 512, 1024).data(), kFat32BootCode.bytes + 512, 1024));
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

// FAT32 geometry over the whole range: cluster sizes as the system's
// formatter picks them, counts inside FAT32's range, FATs that cover every
// cluster, data on a cluster boundary.
TEST(Fat32Format, GeometryAcrossSizes) {
    struct Row {
        uint64_t bytes;
        uint32_t sectorSize;
        uint32_t clusterBytes;
    };
    const Row rows[] = {
        {33 * kMiB, 512, 512},          {64 * kMiB, 512, 512},
        {64 * kMiB + 512, 512, 512},    // 1 KiB clusters would be too few: halved
        {100 * kMiB, 512, 1024},        {200 * kMiB, 512, 2048},
        {8192 * kMiB, 512, 4096},       {8192 * kMiB + 512, 512, 8192},
        {16384 * kMiB, 512, 8192},      {32768 * kMiB, 512, 16384},
        {32768 * kMiB + 512, 512, 32768}, {(kMbrSectorLimit - 2048) * 512, 512, 32768},
        {300 * kMiB, 4096, 4096},       {(kMbrSectorLimit - 256) * 4096, 4096, 65536},
    };
    for (const Row& row : rows) {
        Fat32Geometry g;
        std::string error;
        ASSERT_TRUE(PlanFat32(row.bytes / row.sectorSize, row.sectorSize, &g, &error)) << row.bytes << ": " << error;
        EXPECT_EQ(g.sectorsPerCluster * g.sectorSize, row.clusterBytes) << row.bytes;
        EXPECT_GE(g.clusterCount, 65525u) << row.bytes;
        EXPECT_LE(g.clusterCount, 0x0FFFFFF5u) << row.bytes;
        EXPECT_GE(uint64_t(g.fatSectors) * g.sectorSize / 4, g.clusterCount + 2ull) << row.bytes;
        EXPECT_EQ((g.reservedSectors + 2ull * g.fatSectors) % g.sectorsPerCluster, 0u) << row.bytes;
        EXPECT_LE(g.reservedSectors + 2ull * g.fatSectors + uint64_t(g.clusterCount) * g.sectorsPerCluster,
                  row.bytes / row.sectorSize);
    }
    Fat32Geometry g;
    std::string error;
    EXPECT_FALSE(PlanFat32(32 * kMiB / 512, 512, &g, &error));
    EXPECT_NE(error.find("too small for FAT32"), std::string::npos) << error;
    EXPECT_FALSE(PlanFat32(200 * kMiB / 4096, 4096, &g, &error));
    EXPECT_FALSE(PlanFat32(kMbrSectorLimit + 1, 512, &g, &error));
}

// Formats partition-sized sparse files (what fsck.fat reads) at 64 GiB, at
// the largest size a master boot record holds, and with 4 KiB sectors:
// fsck.fat accepts each, and only the structures were written.
TEST(Fat32Format, LargeVolumesPassFsckAndWriteOnlyTheirStructures) {
    struct Row {
        const char* name;
        uint64_t diskSectors;
        uint32_t sectorSize;
    };
    const Row rows[] = {
        {"fat32-64g.img", (64ull << 30) / 512, 512},
        {"fat32-largest.img", kMbrSectorLimit, 512},
        {"fat32-4k.img", (3ull << 30) / 4096, 4096},
    };
    for (const Row& row : rows) {
        const uint64_t first = kMiB / row.sectorSize;
        ImageDisk disk;
        OpenImageDisk(row.name, row.diskSectors, row.sectorSize, first, &disk);
        PartitionLayout layout;
        layout.firstSector = first;
        layout.sectorCount = row.diskSectors - first;
        std::string report, error;
        ASSERT_TRUE(FormatFat32(&disk.device, layout, 0xCAFE0001, &report, &error)) << row.name << ": " << error;
        Fat32Geometry g;
        ASSERT_TRUE(PlanFat32(layout.sectorCount, row.sectorSize, &g, &error));
        EXPECT_EQ(disk.bytesWritten, (g.reservedSectors + 2ull * g.fatSectors + g.sectorsPerCluster) * row.sectorSize)
            << row.name;
        const std::vector<uint8_t> boot = ReadDiskBytes(disk, first * row.sectorSize, 512);
        EXPECT_EQ(Get32(&boot[28]), first) << row.name;
        EXPECT_EQ(Get32(&boot[32]), layout.sectorCount) << row.name;
        ExpectFsckClean(disk.path);
        CloseImageDisk(&disk);
    }
}

struct FakeFormatter {
    ImageDisk* disk = nullptr;
    int calls = 0;
    PartitionLayout layout;
};

bool FakeFormat(void* context, FileSystem fileSystem, const PartitionLayout& layout, std::string* error) {
    FakeFormatter* fake = static_cast<FakeFormatter*>(context);
    ++fake->calls;
    fake->layout = layout;
    std::vector<uint8_t> sector(fake->disk->device.sectorSize, 0);
    std::memcpy(sector.data() + 3, fileSystem == FileSystem::Ntfs ? "NTFS    " : "EXFAT   ", 8);
    sector[510] = 0x55;
    sector[511] = 0xAA;
    if (!fake->disk->device.write(fake->disk, layout.firstSector, 1, sector.data())) {
        *error = "fake formatter could not write";
        return false;
    }
    return true;
}

// Every refusal comes before the first write and names its reason.
TEST(BootToolRefusals, RefuseBeforeWritingAndSayWhy) {
    const char* const partitionsFat32 = "/device=x /partitions /repartition /activate /usb-hdd /fstype=fat32 /quiet";
    const char* const partitionsNtfs = "/device=x /partitions /repartition /activate /usb-hdd /fstype=ntfs /quiet";
    const char* const pbr = "/device=x /pbr /install /type=bootmgr /activate /quiet";
    const char* const mbr = "/device=x /mbr /install /type=nt60 /quiet";
    struct Row {
        const char* what;
        uint64_t bytes;
        uint32_t sectorSize;
        const char* line;
        bool withFormatter;
        const char* volume;  // a boot sector placed at 1 MiB before the run ("" none)
        const char* reason;  // one of the texts between "|"
    };
    const Row rows[] = {
        {"FAT32 on 30 MiB", 30 * kMiB, 512, partitionsFat32, false, "", "too small for FAT32"},
        {"FAT32 on 200 MiB of 4 KiB sectors", 200 * kMiB, 4096, partitionsFat32, false, "", "too small for FAT32"},
        {"NTFS on 6 MiB", 6 * kMiB, 512, partitionsNtfs, true, "", "too small for NTFS"},
        {"NTFS without the system's formatter", 64 * kMiB, 512, partitionsNtfs, false, "",
         "formatting NTFS is not available"},
        {"boot record without a table", 64 * kMiB, 512, pbr, false, "", "no partition table"},
        {"boot record on an unknown volume", 64 * kMiB, 512, pbr, false, "table", "holds no FAT32, NTFS or exFAT"},
        // The boot code these tests link has no NTFS or exFAT part.
        {"boot record on NTFS", 64 * kMiB, 512, pbr, false, "NTFS    ", "boot code for NTFS is not built"},
        {"boot record on exFAT", 64 * kMiB, 512, pbr, false, "EXFAT   ", "boot code for exFAT is not built"},
        {"master boot code on a GPT disk", 64 * kMiB, 512, mbr, false, "gpt", "GUID partition table"},
        {"FAT32 boot record on 4 KiB sectors", 2048 * kMiB, 4096, pbr, false, "fat32", "needs 512-byte sectors"},
    };
    for (const Row& row : rows) {
        ImageDisk disk;
        OpenImageDisk("refusal.img", row.bytes / row.sectorSize, row.sectorSize, 0, &disk);
        const uint64_t first = kMiB / row.sectorSize;
        std::vector<uint8_t> sector0(512, 0);
        if (std::string(row.volume) != "") {
            sector0[446] = 0x80;
            sector0[446 + 4] = std::string(row.volume) == "gpt" ? 0xEE : 0x07;
            Put32(&sector0[446 + 8], uint32_t(first));
            Put32(&sector0[446 + 12], uint32_t(disk.device.sectorCount - first));
            sector0[510] = 0x55;
            sector0[511] = 0xAA;
        }
        WriteDiskBytes(disk, 0, sector0);
        std::vector<uint8_t> volume(row.sectorSize, 0);
        if (std::string(row.volume) == "fat32") {
            Fat32Geometry g;
            std::string error;
            ASSERT_TRUE(PlanFat32(disk.device.sectorCount - first, row.sectorSize, &g, &error));
            BuildFat32BootSector(g, uint32_t(first), 1, volume.data());
        } else if (std::strlen(row.volume) == 8) {
            std::memcpy(&volume[3], row.volume, 8);
            volume[510] = 0x55;
            volume[511] = 0xAA;
        }
        WriteDiskBytes(disk, first * row.sectorSize, volume);

        FakeFormatter fake;
        fake.disk = &disk;
        FrontHooks hooks;
        if (row.withFormatter) {
            hooks.context = &fake;
            hooks.formatWithSystem = FakeFormat;
        }
        std::string message;
        EXPECT_FALSE(RunLine(row.line, &disk, hooks, &message)) << row.what;
        EXPECT_NE(message.find(row.reason), std::string::npos) << row.what << ": " << message;
        EXPECT_EQ(disk.writeCalls, 0u) << row.what;
        CloseImageDisk(&disk);
    }

    // Boot code that was not built: each installer refuses untouched.
    ImageDisk disk;
    OpenImageDisk("refusal.img", 64 * kMiB / 512, 512, 0, &disk);
    const BootCodeImage none = {nullptr, 0};
    PartitionLayout layout;
    std::string note, error;
    ASSERT_TRUE(PlanPartition(disk.device.sectorCount, 512, FileSystem::Fat32, 7, &layout, &note, &error));
    EXPECT_FALSE(WriteFreshPartitionTable(&disk.device, layout, none, FrontHooks(), &error));
    EXPECT_EQ(error, "boot code for the master boot record is not built");
    EXPECT_FALSE(InstallMasterBootCode(&disk.device, none, &error));
    EXPECT_EQ(error, "boot code for the master boot record is not built");
    std::string report;
    EXPECT_FALSE(InstallFat32BootRecord(&disk.device, 2048, none, LoaderKind::Bootmgr, &report, &error));
    EXPECT_EQ(error, "boot code for FAT32 is not built");
    EXPECT_EQ(disk.writeCalls, 0u);

    // A disk that stops taking writes half-way: the run fails and names the sector.
    disk.failFromWrite = 4;
    std::string message;
    EXPECT_FALSE(RunLine(partitionsFat32, &disk, FrontHooks(), &message));
    EXPECT_NE(message.find("cannot write the disk at sector"), std::string::npos) << message;
    CloseImageDisk(&disk);
}

// A 3 TiB disk gets a partition up to the table's limit and is told so; a
// disk of 4 KiB sectors gets its partition at sector 256 (still 1 MiB).
TEST(BootToolRoad, LargeDisksAndFourKibSectors) {
    ImageDisk disk;
    OpenImageDisk("3tib.img", (3ull << 40) / 512, 512, 0, &disk);
    FakeFormatter fake;
    fake.disk = &disk;
    FrontHooks hooks;
    hooks.context = &fake;
    hooks.formatWithSystem = FakeFormat;
    std::string message;
    ASSERT_TRUE(RunLine("/device=x /partitions /repartition /activate /usb-hdd /fstype=exfat /quiet", &disk, hooks,
                        &message))
        << message;
    EXPECT_EQ(fake.calls, 1);
    // Partition 2, the UEFI loaders', ends at the table's limit and starts
    // on the last whole MiB that leaves it 2 MiB.
    const uint64_t efiFirst = (kMbrSectorLimit - 4096) / 2048 * 2048;
    EXPECT_EQ(fake.layout.firstSector, 2048u);
    EXPECT_EQ(fake.layout.sectorCount, efiFirst - 2048);
    EXPECT_EQ(fake.layout.efiFirstSector, efiFirst);
    EXPECT_EQ(fake.layout.efiSectorCount, kMbrSectorLimit - efiFirst);
    EXPECT_NE(message.find("reaches only 2.0 TiB"), std::string::npos) << message;
    EXPECT_NE(message.find("1.0 TiB stay unused"), std::string::npos) << message;
    const std::vector<uint8_t> mbr = ReadDiskBytes(disk, 0, 512);
    EXPECT_EQ(mbr[446 + 4], 0x07);
    EXPECT_EQ(Get32(&mbr[446 + 12]), efiFirst - 2048);
    EXPECT_EQ(mbr[462 + 4], 0xEF);
    EXPECT_EQ(Get32(&mbr[462 + 8]) + uint64_t(Get32(&mbr[462 + 12])), kMbrSectorLimit);
    EXPECT_EQ(std::vector<uint8_t>(&mbr[446 + 5], &mbr[446 + 8]), (std::vector<uint8_t>{254, 0xFF, 0xFF}));
    CloseImageDisk(&disk);

    OpenImageDisk("4k.img", 320 * kMiB / 4096, 4096, 0, &disk);
    ASSERT_TRUE(RunLine("/device=x /partitions /repartition /activate /usb-hdd /fstype=fat32 /quiet", &disk,
                        FrontHooks(), &message))
        << message;
    const std::vector<uint8_t> table = ReadDiskBytes(disk, 0, 512);
    EXPECT_EQ(Get32(&table[446 + 8]), 256u);
    EXPECT_EQ(Get32(&table[446 + 12]), disk.device.sectorCount - 256);
    const std::string part = ExtractPartition(disk, 256, disk.device.sectorCount - 256, "4k-part.img");
    ExpectFsckClean(part);
    unlink(part.c_str());
    CloseImageDisk(&disk);
}

// The Linux front on an image whose bytes are all old data: NTFS and exFAT
// from Debian's formatters, spliced in with HiddenSectors (exFAT:
// PartitionOffset under its checksum) set; the checkers accept both. Boot
// records for them are refused; so are bad lines and non-image devices.
TEST(LinuxFront, NtfsAndExfatOverOldDataAndRefusals) {
    const std::string front = BOOTICE_TEST_FRONT;
    const std::string image = TestImagePath("front.img");
    std::string output;
    struct Row {
        const char* fileSystem;
        const char* check;  // run on the partition alone
    };
    const Row rows[] = {{"ntfs", "ntfsfix -n"}, {"exfat", "fsck.exfat -n"}};
    for (const Row& row : rows) {
        ASSERT_EQ(RunShell("yes OLD-DATA | head -c " + std::to_string(64 * kMiB) + " > '" + image + "'", &output), 0);
        ASSERT_EQ(RunShell("'" + front + "' /device='" + image +
                               "' /partitions /repartition /activate /usb-hdd /fstype=" + row.fileSystem + " /quiet",
                           &output),
                  0)
            << output;
        EXPECT_EQ(output.find("not a block device"), std::string::npos) << output;
        ImageDisk disk;
        disk.path = image;
        disk.fd = open(image.c_str(), O_RDWR);
        const std::vector<uint8_t> mbr = ReadDiskBytes(disk, 0, 512);
        EXPECT_EQ(mbr[446 + 4], 0x07) << row.fileSystem;
        EXPECT_EQ(mbr[446], 0x80) << row.fileSystem;
        const std::vector<uint8_t> boot = ReadDiskBytes(disk, 2048 * 512, 512);
        if (std::string(row.fileSystem) == "ntfs") {
            EXPECT_EQ(std::string(&boot[3], &boot[11]), "NTFS    ");
            EXPECT_EQ(Get32(&boot[28]), 2048u);
        } else {
            EXPECT_EQ(std::string(&boot[3], &boot[11]), "EXFAT   ");
            EXPECT_EQ(Get64(&boot[64]), 2048u);
            EXPECT_EQ(ReadDiskBytes(disk, 2048 * 512, 12 * 512), ReadDiskBytes(disk, (2048 + 12) * 512, 12 * 512));
        }
        CloseImageDisk(&disk, true);
        ImageDisk whole;
        whole.path = image;
        whole.device.sectorSize = 512;
        const std::string part = ExtractPartition(whole, 2048, 62 * kMiB / 512 - 2048, "front-part.img");
        EXPECT_EQ(RunShell(std::string(row.check) + " '" + part + "'", &output), 0) << row.fileSystem << output;
        unlink(part.c_str());
        EXPECT_EQ(RunShell("'" + front + "' /device='" + image + "' /pbr /install /type=bootmgr /activate /quiet",
                           &output),
                  1);
        const std::string name = std::string(row.fileSystem) == "ntfs" ? "NTFS" : "exFAT";
        EXPECT_EQ(output, "bootice: boot code for " + name + " is not built\n");
    }
    EXPECT_EQ(RunShell("ls '" + image + "'.format-*", &output), 2) << "temporary file left: " << output;

    const struct {
        std::string arguments;
        int exitCode;
        const char* message;
    } refusals[] = {
        {"", 2, "bootice: no command given"},
        {"/device='" + image + "' /mbr /install /type=nt60", 2, "bootice: missing switch /quiet"},
        {"/device=/dev/null /mbr /install /type=nt60 /quiet", 1, "bootice: /dev/null is not a disk image file"},
        {"/device='" + image + ".none' /mbr /install /type=nt60 /quiet", 1, "bootice: cannot open"},
    };
    for (const auto& refusal : refusals) {
        EXPECT_EQ(RunShell("timeout 10 '" + front + "' " + refusal.arguments, &output), refusal.exitCode)
            << refusal.arguments;
        EXPECT_EQ(output.rfind(refusal.message, 0), 0u) << refusal.arguments << ": " << output;
        EXPECT_EQ(output.find('\n'), output.size() - 1) << output;
    }
    unlink(image.c_str());
}

}  // namespace

// A front whose system mounts the new partitions the moment the table is set
// (bootice.exe): each must then already carry a file system, so that the
// shell never sees a RAW volume to offer formatting for.
namespace {

struct MountingFront {
    FakeFormatter formatter;
    std::string seenAtLayout;  // what each partition held when the table was set
};

std::string FatKindAt(const ImageDisk& disk, uint64_t sector) {
    const std::vector<uint8_t> boot = ReadDiskBytes(disk, sector * 512, 512);
    if (boot[510] != 0x55 || boot[511] != 0xAA) return "RAW";
    if (std::memcmp(&boot[82], "FAT32   ", 8) == 0) return "FAT32";
    if (std::memcmp(&boot[54], "FAT1", 4) == 0) return std::string(reinterpret_cast<const char*>(&boot[54]), 5);
    return "RAW";
}

bool SetLayoutAsTheSystemDoes(void* context, const PartitionLayout& layout, std::string*) {
    MountingFront* front = static_cast<MountingFront*>(context);
    ImageDisk& disk = *front->formatter.disk;
    front->seenAtLayout = FatKindAt(disk, layout.firstSector);
    if (layout.efiSectorCount) front->seenAtLayout += " " + FatKindAt(disk, layout.efiFirstSector);
    std::vector<uint8_t> sector(512, 0);
    BuildMasterBootRecord(layout, kMasterBootCode, sector.data());
    WriteDiskBytes(disk, 0, sector);
    return true;
}

bool FormatThroughFront(void* context, FileSystem fileSystem, const PartitionLayout& layout, std::string* error) {
    return FakeFormat(&static_cast<MountingFront*>(context)->formatter, fileSystem, layout, error);
}

}  // namespace

TEST(BootToolRoad, NewVolumesArriveCarryingAFileSystem) {
    const struct {
        const char* fileSystem;
        const char* seenAtLayout;
    } rows[] = {{"fat32", "FAT32"}, {"ntfs", "FAT16 FAT12"}, {"exfat", "FAT16 FAT12"}};
    for (const auto& row : rows) {
        ImageDisk disk;
        OpenImageDisk("mounting.img", 256 * kMiB / 512, 512, 0, &disk);
        MountingFront front;
        front.formatter.disk = &disk;
        FrontHooks hooks;
        hooks.context = &front;
        hooks.applyLayout = SetLayoutAsTheSystemDoes;
        hooks.formatWithSystem = FormatThroughFront;
        std::string message;
        EXPECT_TRUE(RunLine(std::string("/device=x /partitions /repartition /activate /usb-hdd /fstype=") +
                                row.fileSystem + " /quiet",
                            &disk, hooks, &message))
            << row.fileSystem << ": " << message;
        EXPECT_EQ(front.seenAtLayout, row.seenAtLayout) << row.fileSystem;
        CloseImageDisk(&disk);
    }
}
