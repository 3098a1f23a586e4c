#include "bootice/NtfsBootRecord.h"

#include <cstring>
#include <vector>

#include "bootice/BootCode.h"
#include "bootice/Sectors.h"

namespace {

constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kBootAreaSectors = 16;  // $Boot: 8 KiB
constexpr size_t kBpbEnd = 84;             // bytes 3..83: OEM name, BPB, extended BPB
constexpr size_t kLoaderNameOffset = 499;  // agreed with ntfs.asm
constexpr size_t kLoaderNameLength = 11;

// Sectors per cluster as NTFS stores it: 0x81..0xFF stand for 2^(256-n).
uint32_t NtfsClusterSectors(uint8_t stored) {
    return stored <= 0x80 ? stored : (stored >= 0xE1 ? uint32_t(1) << (256 - stored) : 0);
}

}  // namespace

bool InstallNtfsBootRecord(BlockDevice* disk, uint64_t partitionStart, LoaderKind loader,
                           std::string* error) {
    const BootCodeImage& code = kNtfsBootCode;
    if (code.size == 0) {
        *error = "boot code for NTFS is not built";
        return false;
    }
    if (code.size % kSectorSize != 0 || code.size > kBootAreaSectors * kSectorSize ||
        code.bytes[510] != 0x55 || code.bytes[511] != 0xAA) {
        *error = "the NTFS boot code has a wrong size or no boot signature";
        return false;
    }
    if (disk->sectorSize != kSectorSize) {
        *error = "the NTFS boot code needs 512-byte sectors; this disk has " +
                 std::to_string(disk->sectorSize);
        return false;
    }
    if (partitionStart > 0xFFFFFFFFu) {
        *error = "the partition starts beyond what the NTFS boot sector can hold";
        return false;
    }
    const uint32_t codeSectors = uint32_t(code.size / kSectorSize);
    std::vector<uint8_t> area(size_t(kBootAreaSectors) * kSectorSize);
    if (!ReadSectors(disk, partitionStart, kBootAreaSectors, area.data(), error)) return false;
    uint8_t* boot = area.data();

    // Everything that could refuse comes before the first write.
    if (std::memcmp(boot + 3, "NTFS    ", 8) != 0) {
        *error = "the partition is not NTFS";
        return false;
    }
    const uint32_t bytesPerSector = boot[0x0B] | boot[0x0C] << 8;
    if (bytesPerSector != kSectorSize) {
        *error = "the NTFS volume has " + std::to_string(bytesPerSector) +
                 "-byte sectors; the boot code needs 512";
        return false;
    }
    const uint32_t clusterSectors = NtfsClusterSectors(boot[0x0D]);
    const uint64_t totalSectors = Get64(boot + 0x28);
    const uint64_t mftCluster = Get64(boot + 0x30);
    const uint64_t mirrorCluster = Get64(boot + 0x38);
    // The code's sectors must stay inside $Boot: the MFT and its mirror lie
    // beyond it on every volume made by the usual formatters.
    if (clusterSectors == 0 || totalSectors <= kBootAreaSectors ||
        mftCluster * clusterSectors < kBootAreaSectors ||
        mirrorCluster * clusterSectors < kBootAreaSectors ||
        partitionStart + totalSectors >= disk->sectorCount) {
        *error = "the NTFS boot sector is damaged (cluster size, MFT place or volume size)";
        return false;
    }

    std::vector<uint8_t> oldBoot(boot, boot + kSectorSize);
    std::vector<uint8_t> backup(kSectorSize);
    if (!ReadSectors(disk, partitionStart + totalSectors, 1, backup.data(), error)) return false;
    // Only a copy of this volume's boot sector is kept in step; another
    // sector there is not ours. HiddenSectors may have been set in sector 0
    // alone after formatting.
    const bool backupIsCopy = std::memcmp(backup.data() + 3, oldBoot.data() + 3, 0x1C - 3) == 0 &&
                              std::memcmp(backup.data() + 0x20, oldBoot.data() + 0x20,
                                          kBpbEnd - 0x20) == 0;

    std::memcpy(boot, code.bytes, 3);
    std::memcpy(boot + kBpbEnd, code.bytes + kBpbEnd, kSectorSize - kBpbEnd);
    std::memcpy(boot + kSectorSize, code.bytes + kSectorSize, code.size - kSectorSize);
    const char* name = loader == LoaderKind::Grub4dos ? "GRLDR      " : "BOOTMGR    ";
    std::memcpy(boot + kLoaderNameOffset, name, kLoaderNameLength);
    // The loader finds its partition through HiddenSectors.
    Put32(boot + 0x1C, uint32_t(partitionStart));

    // Code sectors first: until sector 0 changes the volume boots as before.
    if (codeSectors > 1 &&
        !WriteSectorsVerified(disk, partitionStart + 1, codeSectors - 1, boot + kSectorSize, error))
        return false;
    if (!WriteSectorsVerified(disk, partitionStart, 1, boot, error)) return false;
    if (backupIsCopy && !WriteSectorsVerified(disk, partitionStart + totalSectors, 1, boot, error))
        return false;
    return true;
}
