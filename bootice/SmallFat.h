// FAT12/FAT16 for the small partition that carries the UEFI loaders of NTFS
// and exFAT drives: a formatter that writes only the structures, and a
// writer that puts folders and files onto the fresh, empty volume, each in
// contiguous clusters.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "bootice/BootTool.h"

struct SmallFatGeometry {
    uint32_t sectorSize = 512;
    uint32_t sectorsPerCluster = 0;
    uint32_t reservedSectors = 1;
    uint32_t rootEntries = 512;
    uint32_t rootSectors = 0;
    uint32_t fatSectors = 0;    // of one FAT
    uint32_t totalSectors = 0;  // of the volume; below the partition's size only near FAT12's limit
    uint32_t clusterCount = 0;  // data clusters, numbered from 2
    uint32_t fatBits = 12;      // 12 or 16
};

// A file of the new volume; path is made of upper-case 8.3 names separated
// by "/", such as "EFI/BOOT/BOOTX64.EFI".
struct FatFile {
    std::string path;
    const uint8_t* bytes = nullptr;
    size_t size = 0;
};

// 2 KiB clusters (at least one sector); FAT12 below 4085 clusters, FAT16
// above. Cluster counts close to that limit are read as the other type by
// some firmware, so such a volume is made a little smaller and stays FAT12.
bool PlanSmallFat(uint64_t sectorCount, uint32_t sectorSize, SmallFatGeometry* geometry, std::string* error);

// The volume's sectors from its boot sector to the last cluster in use: boot
// sector, two FATs, root folder with the label, then the folders and the
// files. Refuses names that are not 8.3 upper case and files that do not fit.
bool BuildSmallFatVolume(const SmallFatGeometry& geometry, uint32_t hiddenSectors, uint32_t volumeSerial,
                         const std::string& label, const std::vector<FatFile>& files, std::vector<uint8_t>* image,
                         std::string* error);

// Formats sectors firstSector.. (sectorCount of them) and writes the files,
// boot sector last, every sector read back. *report names the FAT type.
bool WriteSmallFatVolume(BlockDevice* disk, uint64_t firstSector, uint64_t sectorCount, uint32_t volumeSerial,
                         const std::string& label, const std::vector<FatFile>& files, std::string* report,
                         std::string* error);
