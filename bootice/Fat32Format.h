// FAT32 of any size a master boot record can hold, laid out as the system's
// formatter would lay it out; writes only the reserved area, the two FATs
// and the root folder's cluster.
#pragma once
#include <cstdint>
#include <string>

#include "bootice/BootTool.h"

struct Fat32Geometry {
    uint32_t sectorSize = 512;
    uint32_t sectorsPerCluster = 0;
    uint32_t reservedSectors = 32;
    uint32_t fatSectors = 0;     // of one FAT
    uint32_t totalSectors = 0;   // of the volume
    uint32_t clusterCount = 0;   // data clusters, numbered from 2
};

// Bytes per cluster that the system's formatter picks for a volume of this size.
uint32_t DefaultFat32ClusterBytes(uint64_t volumeBytes);

// Chooses the cluster size (the default, halved or doubled when the cluster
// count would leave FAT32's range), sizes the FATs so that the data area
// starts on a cluster boundary. Refuses volumes too small or too large.
bool PlanFat32(uint64_t sectorCount, uint32_t sectorSize, Fat32Geometry* geometry, std::string* error);

// Boot sector of a fresh volume: BPB, label "NO NAME", HiddenSectors = the
// partition's start, and a few bytes of code that say the volume does not boot.
void BuildFat32BootSector(const Fat32Geometry& geometry, uint32_t hiddenSectors, uint32_t volumeSerial,
                          uint8_t* sector);

// Formats the partition of `layout` and reads every written sector back.
// *report names the cluster size and count.
bool FormatFat32(BlockDevice* disk, const PartitionLayout& layout, uint32_t volumeSerial, std::string* report,
                 std::string* error);
