#include "bootice/Fat32BootRecord.h"

#include <cstring>
#include <vector>

#include "bootice/Sectors.h"

static const uint32_t kBpbStart = 3;
static const uint32_t kBpbEnd = 90;        // OEM name, BPB, FAT32 BPB, label, "FAT32   "
static const uint32_t kLoaderNameSlot = 499;
static const uint32_t kFat32CodeBytes = 512 * (1 + kFat32CodeSectors);

static bool IsPowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

bool IsFat32BootSector(const uint8_t* sector, uint32_t sectorSize) {
    const uint32_t bytesPerSector = Get16(sector + 11);
    return sector[510] == 0x55 && sector[511] == 0xAA && bytesPerSector == sectorSize &&
           IsPowerOfTwo(sector[13]) && Get16(sector + 14) != 0 && sector[16] != 0 && Get16(sector + 17) == 0 &&
           Get16(sector + 19) == 0 && Get16(sector + 22) == 0 && Get32(sector + 32) != 0 &&
           Get32(sector + 36) != 0;
}

bool InstallFat32BootRecord(BlockDevice* disk, uint64_t partitionStart, const BootCodeImage& code,
                            LoaderKind loader, std::string* report, std::string* error) {
    if (code.size == 0) {
        *error = "boot code for FAT32 is not built";
        return false;
    }
    if (code.size != kFat32CodeBytes || code.bytes[510] != 0x55 || code.bytes[511] != 0xAA) {
        *error = "boot code for FAT32 is malformed (" + std::to_string(code.size) + " bytes)";
        return false;
    }
    if (disk->sectorSize != 512) {
        *error = "the FAT32 boot code needs 512-byte sectors; this disk has " + std::to_string(disk->sectorSize);
        return false;
    }
    if (partitionStart > 0xFFFFFFFFull) {
        *error = "the partition starts beyond the reach of FAT32's HiddenSectors";
        return false;
    }
    std::vector<uint8_t> volume(512);
    if (!ReadSectors(disk, partitionStart, 1, volume.data(), error)) return false;
    if (!IsFat32BootSector(volume.data(), 512)) {
        *error = "the partition holds no FAT32 volume with 512-byte sectors";
        return false;
    }
    const uint32_t reserved = Get16(volume.data() + 14);
    const uint32_t fsInfo = Get16(volume.data() + 48);
    const uint32_t backup = Get16(volume.data() + 50);
    const bool hasBackup = backup != 0 && backup != 0xFFFF;
    // The code sectors must miss FSInfo and the three-sector backup region.
    const uint32_t codeEnd = kFat32CodeSector + kFat32CodeSectors;
    if (reserved < codeEnd || (fsInfo >= kFat32CodeSector && fsInfo < codeEnd) ||
        (hasBackup && ((backup + 3 > kFat32CodeSector && backup < codeEnd) || backup >= reserved))) {
        *error = "the FAT32 volume has no free reserved sectors 12 and 13 for the boot code (reserved sectors " +
                 std::to_string(reserved) + ", FSInfo " + std::to_string(fsInfo) + ", backup " +
                 std::to_string(backup) + ")";
        return false;
    }

    std::vector<uint8_t> sector(code.bytes, code.bytes + 512);
    std::memcpy(sector.data() + kBpbStart, volume.data() + kBpbStart, kBpbEnd - kBpbStart);
    std::memcpy(sector.data() + kLoaderNameSlot, loader == LoaderKind::Grub4dos ? "GRLDR      " : "BOOTMGR    ", 11);
    *report = std::string("FAT32 boot record for ") + (loader == LoaderKind::Grub4dos ? "GRLDR" : "BOOTMGR");
    const uint32_t hidden = Get32(volume.data() + 28);
    if (hidden != partitionStart) {
        Put32(sector.data() + 28, uint32_t(partitionStart));
        *report += "; HiddenSectors set from " + std::to_string(hidden) + " to the partition's start " +
                   std::to_string(partitionStart);
    }

    // The code sectors first: the new sector 0 loads them.
    if (!WriteSectorsVerified(disk, partitionStart + kFat32CodeSector, kFat32CodeSectors, code.bytes + 512, error))
        return false;
    if (hasBackup && !WriteSectorsVerified(disk, partitionStart + backup, 1, sector.data(), error)) return false;
    return WriteSectorsVerified(disk, partitionStart, 1, sector.data(), error);
}
