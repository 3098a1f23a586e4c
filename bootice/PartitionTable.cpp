#include "bootice/PartitionTable.h"

#include <cstring>
#include <vector>

#include "bootice/Sectors.h"

static const uint64_t kMiB = 1ull << 20;
// Smallest partitions the system formatters make comfortably; FAT32 needs
// 65525 clusters of at least 512 bytes (the formatter's geometry has the
// last word, this only keeps the message simple for tiny disks).
static const uint64_t kMinimumNtfsBytes = 8 * kMiB;
static const uint64_t kMinimumExfatBytes = 8 * kMiB;
static const uint64_t kMinimumFat32Bytes = 33 * kMiB;


bool PlanPartition(uint64_t diskSectors, uint32_t sectorSize, FileSystem fileSystem, uint32_t diskSignature,
                   PartitionLayout* layout, std::string* note, std::string* error) {
    const uint64_t first = kMiB / sectorSize;
    const uint64_t end = diskSectors < kMbrSectorLimit ? diskSectors : kMbrSectorLimit;
    const bool withEfi = fileSystem != FileSystem::Fat32;
    // Partition 2 starts on the last whole MiB that leaves it 2 MiB.
    const uint64_t mib = kMiB / sectorSize;
    const uint64_t efiSectors = kEfiPartitionBytes / sectorSize;
    const uint64_t efiFirst = end >= efiSectors ? (end - efiSectors) / mib * mib : 0;
    const uint64_t partitionEnd = withEfi ? efiFirst : end;
    const uint64_t count = partitionEnd > first ? partitionEnd - first : 0;
    const uint64_t minimum = fileSystem == FileSystem::Ntfs    ? kMinimumNtfsBytes
                             : fileSystem == FileSystem::Exfat ? kMinimumExfatBytes
                                                               : kMinimumFat32Bytes;
    if (count == 0 || count * sectorSize < minimum) {
        *error = "the disk (" + SizeText(diskSectors * sectorSize) + ") is too small for " +
                 (fileSystem == FileSystem::Ntfs ? "NTFS" : fileSystem == FileSystem::Exfat ? "exFAT" : "FAT32") +
                 ": it needs at least " +
                 std::to_string((kMiB + minimum + (withEfi ? kEfiPartitionBytes : 0)) / kMiB) + " MiB";
        return false;
    }
    layout->diskSignature = diskSignature;
    layout->firstSector = first;
    layout->sectorCount = count;
    layout->typeCode = fileSystem == FileSystem::Fat32 ? 0x0C : 0x07;
    layout->efiFirstSector = withEfi ? efiFirst : 0;
    layout->efiSectorCount = withEfi ? end - efiFirst : 0;
    note->clear();
    if (diskSectors > kMbrSectorLimit) {
        *note = "the disk holds " + SizeText(diskSectors * sectorSize) + " but a master boot record reaches only " +
                SizeText(kMbrSectorLimit * sectorSize) + ": the partition ends there and " +
                SizeText((diskSectors - kMbrSectorLimit) * sectorSize) + " stay unused";
    }
    return true;
}

// Cylinder, head and sector of an LBA for the classic 255-head, 63-sector
// geometry; addresses beyond its reach get the 1023/254/63 marker.
static void PutChs(uint8_t* p, uint64_t lba) {
    uint64_t cylinder = lba / (255 * 63);
    uint32_t head = uint32_t((lba / 63) % 255);
    uint32_t sector = uint32_t(lba % 63 + 1);
    if (cylinder > 1023) {
        cylinder = 1023;
        head = 254;
        sector = 63;
    }
    p[0] = uint8_t(head);
    p[1] = uint8_t(sector | ((cylinder >> 2) & 0xC0));
    p[2] = uint8_t(cylinder);
}

void BuildMasterBootRecord(const PartitionLayout& layout, const BootCodeImage& code, uint8_t* sector512) {
    std::memset(sector512, 0, 512);
    std::memcpy(sector512, code.bytes, kMasterBootCodeSize);
    Put32(sector512 + 440, layout.diskSignature);
    uint8_t* entry = sector512 + 446;
    entry[0] = 0x80;
    PutChs(entry + 1, layout.firstSector);
    entry[4] = layout.typeCode;
    PutChs(entry + 5, layout.firstSector + layout.sectorCount - 1);
    Put32(entry + 8, uint32_t(layout.firstSector));
    Put32(entry + 12, uint32_t(layout.sectorCount));
    if (layout.efiSectorCount) {
        entry += 16;
        PutChs(entry + 1, layout.efiFirstSector);
        entry[4] = kEfiPartitionType;
        PutChs(entry + 5, layout.efiFirstSector + layout.efiSectorCount - 1);
        Put32(entry + 8, uint32_t(layout.efiFirstSector));
        Put32(entry + 12, uint32_t(layout.efiSectorCount));
    }
    sector512[510] = 0x55;
    sector512[511] = 0xAA;
}

static bool CheckMasterBootCode(const BootCodeImage& code, std::string* error) {
    if (code.size == 0) {
        *error = "boot code for the master boot record is not built";
        return false;
    }
    if (code.size != kMasterBootCodeSize) {
        *error = "boot code for the master boot record has " + std::to_string(code.size) + " bytes, not 440";
        return false;
    }
    return true;
}

bool WipeOldLayout(BlockDevice* disk, const PartitionLayout& layout, const BootCodeImage& code, std::string* error) {
    // Checks the master boot code before it wipes anything.
    if (!CheckMasterBootCode(code, error)) return false;
    const uint32_t sectorSize = disk->sectorSize;
    // Primary GPT header and entries (LBA 1 on) and whatever an old layout kept
    // in the gap, such as a hybrid image's ISO 9660 descriptors.
    if (!ZeroSectorsVerified(disk, 1, layout.firstSector - 1, error)) return false;
    // Backup GPT: header in the last sector, 16 KiB of entries before it.
    const uint64_t tail = 16384 / sectorSize + 1;
    const uint64_t tailStart = disk->sectorCount > layout.firstSector + tail ? disk->sectorCount - tail
                                                                             : layout.firstSector;
    if (!ZeroSectorsVerified(disk, tailStart, disk->sectorCount - tailStart, error)) return false;
    // An old volume's boot sectors (exFAT keeps 24 of them) must not survive
    // into the new partition if formatting stops half-way.
    const uint64_t head = (128 * 1024) / sectorSize;
    if (!ZeroSectorsVerified(disk, layout.firstSector, head < layout.sectorCount ? head : layout.sectorCount,
                             error))
        return false;
    if (layout.efiSectorCount &&
        !ZeroSectorsVerified(disk, layout.efiFirstSector,
                             head < layout.efiSectorCount ? head : layout.efiSectorCount, error))
        return false;
    return true;
}

bool WriteFreshPartitionTable(BlockDevice* disk, const PartitionLayout& layout, const BootCodeImage& code,
                              const FrontHooks& hooks, std::string* error, bool wipeFirst) {
    if (!CheckMasterBootCode(code, error)) return false;
    if (wipeFirst && !WipeOldLayout(disk, layout, code, error)) return false;
    const uint32_t sectorSize = disk->sectorSize;

    if (hooks.applyLayout) {
        if (!hooks.applyLayout(hooks.context, layout, error)) return false;
        if (!InstallMasterBootCode(disk, code, error)) return false;
    } else {
        std::vector<uint8_t> sector(sectorSize, 0);
        BuildMasterBootRecord(layout, code, sector.data());
        if (!WriteSectorsVerified(disk, 0, 1, sector.data(), error)) return false;
    }

    std::vector<uint8_t> sector(sectorSize);
    if (!ReadSectors(disk, 0, 1, sector.data(), error)) return false;
    PartitionEntry entries[4];
    if (!ReadPartitionEntries(disk, entries, error)) return false;
    const bool secondRight =
        layout.efiSectorCount
            ? entries[1].status == 0 && entries[1].typeCode == kEfiPartitionType &&
                  entries[1].firstSector == layout.efiFirstSector && entries[1].sectorCount == layout.efiSectorCount
            : entries[1].typeCode == 0;
    const bool othersEmpty = secondRight && entries[2].typeCode == 0 && entries[3].typeCode == 0;
    if (Get32(sector.data() + 440) != layout.diskSignature || entries[0].status != 0x80 ||
        entries[0].typeCode != layout.typeCode || entries[0].firstSector != layout.firstSector ||
        entries[0].sectorCount != layout.sectorCount || !othersEmpty ||
        std::memcmp(sector.data(), code.bytes, kMasterBootCodeSize) != 0) {
        *error = "the partition table read back differs from the one written";
        return false;
    }
    return true;
}

static bool HasGuidPartitionTable(const uint8_t* sector) {
    for (int i = 0; i < 4; ++i)
        if (sector[446 + 16 * i + 4] == 0xEE) return true;
    return false;
}

bool InstallMasterBootCode(BlockDevice* disk, const BootCodeImage& code, std::string* error) {
    if (!CheckMasterBootCode(code, error)) return false;
    std::vector<uint8_t> sector(disk->sectorSize);
    if (!ReadSectors(disk, 0, 1, sector.data(), error)) return false;
    if (sector[510] == 0x55 && sector[511] == 0xAA && HasGuidPartitionTable(sector.data())) {
        *error = "the disk has a GUID partition table; a master boot record would not start it";
        return false;
    }
    std::memcpy(sector.data(), code.bytes, kMasterBootCodeSize);
    sector[510] = 0x55;
    sector[511] = 0xAA;
    return WriteSectorsVerified(disk, 0, 1, sector.data(), error);
}

bool ReadPartitionEntries(BlockDevice* disk, PartitionEntry entries[4], std::string* error) {
    std::vector<uint8_t> sector(disk->sectorSize);
    if (!ReadSectors(disk, 0, 1, sector.data(), error)) return false;
    if (sector[510] != 0x55 || sector[511] != 0xAA) {
        *error = "the disk has no partition table";
        return false;
    }
    for (int i = 0; i < 4; ++i) {
        const uint8_t* p = sector.data() + 446 + 16 * i;
        entries[i].status = p[0];
        entries[i].typeCode = p[4];
        entries[i].firstSector = Get32(p + 8);
        entries[i].sectorCount = Get32(p + 12);
    }
    return true;
}

bool FindBootPartition(BlockDevice* disk, int* index, PartitionEntry* entry, std::string* error) {
    PartitionEntry entries[4];
    if (!ReadPartitionEntries(disk, entries, error)) return false;
    int active = -1, used = -1, activeCount = 0, usedCount = 0;
    for (int i = 0; i < 4; ++i) {
        // The UEFI loaders' partition never takes a boot record.
        if (entries[i].typeCode == 0 || entries[i].sectorCount == 0 || entries[i].typeCode == kEfiPartitionType)
            continue;
        if (entries[i].typeCode == 0xEE) {
            *error = "the disk has a GUID partition table, not a master boot record";
            return false;
        }
        ++usedCount;
        used = i;
        if (entries[i].status == 0x80) {
            ++activeCount;
            active = i;
        }
    }
    if (activeCount > 1) {
        *error = "several partitions are marked active";
        return false;
    }
    if (activeCount == 0 && usedCount != 1) {
        *error = usedCount == 0 ? "the disk has no partition" : "the disk has several partitions and none is active";
        return false;
    }
    *index = activeCount == 1 ? active : used;
    *entry = entries[*index];
    if (uint64_t(entry->firstSector) + entry->sectorCount > disk->sectorCount) {
        *error = "partition " + std::to_string(*index + 1) + " reaches beyond the end of the disk";
        return false;
    }
    return true;
}

bool MarkPartitionActive(BlockDevice* disk, int index, std::string* error) {
    std::vector<uint8_t> sector(disk->sectorSize);
    if (!ReadSectors(disk, 0, 1, sector.data(), error)) return false;
    bool changed = false;
    for (int i = 0; i < 4; ++i) {
        uint8_t& status = sector[446 + 16 * i];
        const uint8_t wanted = i == index ? 0x80 : 0x00;
        if (status != wanted) {
            status = wanted;
            changed = true;
        }
    }
    return !changed || WriteSectorsVerified(disk, 0, 1, sector.data(), error);
}

uint32_t ExfatBootChecksum(const uint8_t* region, uint32_t sectorSize) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < 11 * sectorSize; ++i) {
        if (i == 106 || i == 107 || i == 112) continue;
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
    }
    return sum;
}

bool SetExfatPartitionOffset(BlockDevice* disk, uint64_t volumeStart, uint64_t partitionOffset,
                             std::string* error) {
    const uint32_t sectorSize = disk->sectorSize;
    std::vector<uint8_t> region(size_t(12) * sectorSize);
    if (!ReadSectors(disk, volumeStart, 12, region.data(), error)) return false;
    if (std::memcmp(region.data() + 3, "EXFAT   ", 8) != 0 || region[108] > 12 ||
        (1u << region[108]) != sectorSize) {
        *error = "the new exFAT volume's boot sector is not as expected";
        return false;
    }
    Put64(region.data() + 64, partitionOffset);
    const uint32_t sum = ExfatBootChecksum(region.data(), sectorSize);
    for (uint32_t i = 0; i < sectorSize; i += 4) Put32(region.data() + 11 * sectorSize + i, sum);
    return WriteSectorsVerified(disk, volumeStart, 12, region.data(), error) &&
           WriteSectorsVerified(disk, volumeStart + 12, 12, region.data(), error);
}
