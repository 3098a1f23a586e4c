// The partition boot record of a FAT32 volume: the boot code's sector 0 with
// the volume's own BPB kept, and its other sectors in reserved sectors 12 and 13.
#pragma once
#include <cstdint>
#include <string>

#include "bootice/BootCode.h"
#include "bootice/BootTool.h"

const uint32_t kFat32CodeSector = 12;
const uint32_t kFat32CodeSectors = 2;  // after sector 0

// True when `sector` (the volume's first, of `sectorSize` bytes) holds a
// FAT32 BPB.
bool IsFat32BootSector(const uint8_t* sector, uint32_t sectorSize);

// Installs `code` (three 512-byte sectors) on the FAT32 volume that starts at
// partitionStart, with the loader's name in the name slot, and updates the
// backup boot sector. HiddenSectors is set to partitionStart, as the boot code
// and the loader rely on it. The partition's active flag is the caller's.
bool InstallFat32BootRecord(BlockDevice* disk, uint64_t partitionStart, const BootCodeImage& code,
                            LoaderKind loader, std::string* report, std::string* error);
