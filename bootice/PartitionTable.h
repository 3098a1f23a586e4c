// The master boot record: a fresh table with one partition, the master boot
// code, the active flag, and the boot-sector fields that tell a volume where
// its partition starts.
#pragma once
#include <cstdint>
#include <string>

#include "bootice/BootCode.h"
#include "bootice/BootTool.h"

// Partitions start and end within the first 2^32 - 1 sectors: the table's
// fields are 32 bits wide.
const uint64_t kMbrSectorLimit = 0xFFFFFFFFull;
const uint64_t kMasterBootCodeSize = 440;

struct PartitionEntry {
    uint8_t status = 0;  // 0x80 active
    uint8_t typeCode = 0;
    uint32_t firstSector = 0;
    uint32_t sectorCount = 0;
};

const uint8_t kEfiPartitionType = 0xEF;
// The UEFI loaders' partition: 2 MiB at the end of the disk, starting on a
// whole MiB, so it also takes what the disk has beyond its last whole MiB.
const uint64_t kEfiPartitionBytes = 2ull << 20;

// Places partition 1 from 1 MiB to the end of the disk (or to the table's
// limit; *note then says what the disk gets). NTFS and exFAT, which UEFI
// firmware cannot read, leave the disk's last MiBs to partition 2 with the
// UEFI loaders. Refuses a disk too small for the file system; FAT32's own
// lower bound is checked by the formatter's geometry.
bool PlanPartition(uint64_t diskSectors, uint32_t sectorSize, FileSystem fileSystem, uint32_t diskSignature,
                   PartitionLayout* layout, std::string* note, std::string* error);

// Sector 0 of a fresh disk: boot code, signature, the active entry (and the
// UEFI loaders' entry), 55 AA.
void BuildMasterBootRecord(const PartitionLayout& layout, const BootCodeImage& code, uint8_t* sector512);

// Wipes what could make the system see an old layout (GPT headers at both
// ends, the gap before the partition, the partition's first sectors), then
// sets the table: through hooks.applyLayout when the front has it (the boot
// code is then written over what the system left), else by writing sector 0.
// Checks the table by reading it back.
// |wipeFirst| false: the caller wiped with WipeOldLayout and has written the
// partitions' contents since.
bool WipeOldLayout(BlockDevice* disk, const PartitionLayout& layout, const BootCodeImage& code, std::string* error);
bool WriteFreshPartitionTable(BlockDevice* disk, const PartitionLayout& layout, const BootCodeImage& code,
                              const FrontHooks& hooks, std::string* error, bool wipeFirst = true);

// Writes bytes 0..439 of sector 0; keeps the disk signature and the table, and
// sets the 55 AA signature if it was missing.
bool InstallMasterBootCode(BlockDevice* disk, const BootCodeImage& code, std::string* error);

bool ReadPartitionEntries(BlockDevice* disk, PartitionEntry entries[4], std::string* error);
// The partition a boot record goes to: the active one, else the only one
// (the UEFI loaders' partition aside).
bool FindBootPartition(BlockDevice* disk, int* index, PartitionEntry* entry, std::string* error);
// Sets 0x80 on entry `index` and clears it on the others.
bool MarkPartitionActive(BlockDevice* disk, int index, std::string* error);

// exFAT keeps its partition's start in the boot sector (PartitionOffset, byte
// 64) under a checksum over the boot region; sets it in both the main and
// the backup boot region of the volume at volumeStart.
bool SetExfatPartitionOffset(BlockDevice* disk, uint64_t volumeStart, uint64_t partitionOffset,
                             std::string* error);
// The checksum over the first 11 sectors of an exFAT boot region, without
// the VolumeFlags and PercentInUse bytes.
uint32_t ExfatBootChecksum(const uint8_t* region, uint32_t sectorSize);
