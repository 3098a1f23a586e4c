#include "bootice/Fat32Format.h"

#include <cstring>
#include <vector>

#include "bootice/Sectors.h"

static const uint64_t kMiB = 1ull << 20;
static const uint32_t kMinimumClusters = 65525;
static const uint32_t kMaximumClusters = 0x0FFFFFF5;

uint32_t DefaultFat32ClusterBytes(uint64_t volumeBytes) {
    if (volumeBytes <= 64 * kMiB) return 512;
    if (volumeBytes <= 128 * kMiB) return 1024;
    if (volumeBytes <= 256 * kMiB) return 2048;
    if (volumeBytes <= 8192 * kMiB) return 4096;
    if (volumeBytes <= 16384 * kMiB) return 8192;
    if (volumeBytes <= 32768 * kMiB) return 16384;
    return 32768;
}

// FAT sectors for `sectorsPerCluster`: grown until the FAT covers every
// cluster that is left beside it, then until data starts on a cluster boundary.
static void SizeFats(Fat32Geometry* g) {
    const uint32_t entriesPerSector = g->sectorSize / 4;
    uint32_t fat = 1;
    for (;;) {
        const uint64_t data = uint64_t(g->totalSectors) - g->reservedSectors - 2ull * fat;
        const uint64_t clusters = data / g->sectorsPerCluster;
        const uint64_t needed = (clusters + 2 + entriesPerSector - 1) / entriesPerSector;
        if (needed <= fat) break;
        fat = uint32_t(needed);
    }
    while ((g->reservedSectors + 2ull * fat) % g->sectorsPerCluster != 0) ++fat;
    g->fatSectors = fat;
    const uint64_t data = uint64_t(g->totalSectors) - g->reservedSectors - 2ull * fat;
    const uint64_t clusters = data / g->sectorsPerCluster;
    g->clusterCount = uint32_t(clusters > 0xFFFFFFFFull ? 0xFFFFFFFFull : clusters);
}

bool PlanFat32(uint64_t sectorCount, uint32_t sectorSize, Fat32Geometry* geometry, std::string* error) {
    if (sectorSize < 512 || sectorSize > 4096 || (sectorSize & (sectorSize - 1)) != 0) {
        *error = "FAT32 needs sectors of 512 to 4096 bytes, not " + std::to_string(sectorSize);
        return false;
    }
    if (sectorCount > 0xFFFFFFFFull) {
        *error = "the partition has more sectors than FAT32 can count";
        return false;
    }
    Fat32Geometry g;
    g.sectorSize = sectorSize;
    g.totalSectors = uint32_t(sectorCount);
    const uint64_t volumeBytes = sectorCount * sectorSize;
    if (sectorCount < g.reservedSectors + 16) {
        *error = "the partition (" + std::to_string(volumeBytes / 1024) + " KiB) is too small for FAT32";
        return false;
    }
    uint32_t clusterBytes = DefaultFat32ClusterBytes(volumeBytes);
    if (clusterBytes < sectorSize) clusterBytes = sectorSize;
    bool grew = false;
    for (;;) {
        g.sectorsPerCluster = clusterBytes / sectorSize;
        SizeFats(&g);
        if (g.clusterCount > kMaximumClusters && clusterBytes < 65536) {
            clusterBytes *= 2;
            grew = true;
            continue;
        }
        if (g.clusterCount < kMinimumClusters && clusterBytes > sectorSize && !grew) {
            clusterBytes /= 2;
            continue;
        }
        break;
    }
    if (g.clusterCount < kMinimumClusters) {
        *error = "the partition (" + std::to_string(volumeBytes / kMiB) + " MiB) is too small for FAT32: it needs " +
                 std::to_string(kMinimumClusters) + " clusters, at least " +
                 std::to_string((uint64_t(kMinimumClusters) * sectorSize) / kMiB + 1) + " MiB";
        return false;
    }
    if (g.clusterCount > kMaximumClusters) {
        *error = "the partition is too large for FAT32";
        return false;
    }
    *geometry = g;
    return true;
}


void BuildFat32BootSector(const Fat32Geometry& g, uint32_t hiddenSectors, uint32_t volumeSerial, uint8_t* sector) {
    std::memset(sector, 0, g.sectorSize);
    sector[0] = 0xEB;
    sector[1] = 0x58;
    sector[2] = 0x90;
    std::memcpy(sector + 3, "MSWIN4.1", 8);
    Put16(sector + 11, uint16_t(g.sectorSize));
    sector[13] = uint8_t(g.sectorsPerCluster);
    Put16(sector + 14, uint16_t(g.reservedSectors));
    sector[16] = 2;
    sector[21] = 0xF8;
    Put16(sector + 24, 63);
    Put16(sector + 26, 255);
    Put32(sector + 28, hiddenSectors);
    Put32(sector + 32, g.totalSectors);
    Put32(sector + 36, g.fatSectors);
    Put32(sector + 44, 2);  // root folder cluster
    Put16(sector + 48, 1);  // FSInfo
    Put16(sector + 50, 6);  // backup boot sector
    sector[64] = 0x80;
    sector[66] = 0x29;
    Put32(sector + 67, volumeSerial);
    std::memcpy(sector + 71, "NO NAME    ", 11);
    std::memcpy(sector + 82, "FAT32   ", 8);
    PutNoBootCode(sector, 90, "This volume has no boot code.\r\n");
    sector[510] = 0x55;
    sector[511] = 0xAA;
}

static void BuildFsInfo(const Fat32Geometry& g, uint8_t* sector) {
    std::memset(sector, 0, g.sectorSize);
    Put32(sector, 0x41615252);
    Put32(sector + 484, 0x61417272);
    Put32(sector + 488, g.clusterCount - 1);  // all but the root folder's cluster
    Put32(sector + 492, 3);
    Put32(sector + 508, 0xAA550000);
}

// One FAT: entries 0 and 1 reserved (the media byte in entry 0), entry 2 the
// end of the root folder's one-cluster chain, the rest free.
static bool WriteFat(BlockDevice* disk, uint64_t firstSector, uint32_t fatSectors, std::string* error) {
    const uint32_t chunk = uint32_t(kMiB / disk->sectorSize);
    std::vector<uint8_t> buffer(kMiB, 0);
    Put32(buffer.data(), 0x0FFFFFF8);
    Put32(buffer.data() + 4, 0x0FFFFFFF);
    Put32(buffer.data() + 8, 0x0FFFFFFF);
    for (uint32_t done = 0; done < fatSectors;) {
        const uint32_t n = fatSectors - done < chunk ? fatSectors - done : chunk;
        if (!WriteSectorsVerified(disk, firstSector + done, n, buffer.data(), error)) return false;
        if (done == 0) std::memset(buffer.data(), 0, 12);
        done += n;
    }
    return true;
}

bool FormatFat32(BlockDevice* disk, const PartitionLayout& layout, uint32_t volumeSerial, std::string* report,
                 std::string* error) {
    Fat32Geometry g;
    if (!PlanFat32(layout.sectorCount, disk->sectorSize, &g, error)) return false;
    if (layout.firstSector + layout.sectorCount > disk->sectorCount || layout.firstSector > 0xFFFFFFFFull) {
        *error = "the partition lies outside the disk";
        return false;
    }
    const uint64_t fatStart = layout.firstSector + g.reservedSectors;
    const uint64_t dataStart = fatStart + 2ull * g.fatSectors;
    // The boot sector goes last: a volume whose formatting stopped half-way
    // is not taken for a FAT32 volume.
    if (!WriteFat(disk, fatStart, g.fatSectors, error)) return false;
    if (!WriteFat(disk, fatStart + g.fatSectors, g.fatSectors, error)) return false;
    if (!ZeroSectorsVerified(disk, dataStart, g.sectorsPerCluster, error)) return false;

    std::vector<uint8_t> reserved(size_t(g.reservedSectors) * g.sectorSize, 0);
    uint8_t* const sector0 = reserved.data();
    BuildFat32BootSector(g, uint32_t(layout.firstSector), volumeSerial, sector0);
    BuildFsInfo(g, sector0 + g.sectorSize);
    std::memcpy(sector0 + 6 * g.sectorSize, sector0, 2 * g.sectorSize);
    // Sectors 1..31 first, then sector 0.
    if (!WriteSectorsVerified(disk, layout.firstSector + 1, g.reservedSectors - 1, sector0 + g.sectorSize, error))
        return false;
    if (!WriteSectorsVerified(disk, layout.firstSector, 1, sector0, error)) return false;

    const uint32_t clusterBytes = g.sectorsPerCluster * g.sectorSize;
    *report = "FAT32 with " + std::to_string(g.clusterCount) + " clusters of " +
              (clusterBytes >= 1024 ? std::to_string(clusterBytes / 1024) + " KiB" : std::to_string(clusterBytes) + " bytes");
    return true;
}
