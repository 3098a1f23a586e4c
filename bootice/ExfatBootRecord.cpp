#include "bootice/ExfatBootRecord.h"

#include <cstring>
#include <vector>

#include "bootice/BootCode.h"
#include "bootice/PartitionTable.h"
#include "bootice/Sectors.h"

namespace {

constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kRegionSectors = 12;      // boot sector, 8 extended, OEM, reserved, checksum
constexpr uint32_t kMaxCodeSectors = 9;      // boot sector and the 8 extended boot sectors
constexpr uint32_t kChecksumSector = 11;
constexpr size_t kFieldsEnd = 120;           // bytes 3..119: the boot sector's fields
constexpr size_t kPartitionOffset = 64;
constexpr size_t kLoaderNameOffset = 499;    // agreed with exfat.asm
constexpr size_t kLoaderNameLength = 11;

bool HasExtendedSignature(const uint8_t* sector) {
    return sector[508] == 0 && sector[509] == 0 && sector[510] == 0x55 && sector[511] == 0xAA;
}

}  // namespace

bool InstallExfatBootRecord(BlockDevice* disk, uint64_t partitionStart, LoaderKind loader,
                            std::string* error) {
    const BootCodeImage& code = kExfatBootCode;
    if (code.size == 0) {
        *error = "boot code for exFAT is not built";
        return false;
    }
    const uint32_t codeSectors = uint32_t(code.size / kSectorSize);
    bool codeSound = code.size % kSectorSize == 0 && codeSectors <= kMaxCodeSectors &&
                     code.bytes[510] == 0x55 && code.bytes[511] == 0xAA;
    for (uint32_t i = 1; codeSound && i < codeSectors; ++i)
        codeSound = HasExtendedSignature(code.bytes + i * kSectorSize);
    if (!codeSound) {
        *error = "the exFAT boot code has a wrong size or lacks its signatures";
        return false;
    }
    if (disk->sectorSize != kSectorSize) {
        *error = "the exFAT boot code needs 512-byte sectors; this disk has " +
                 std::to_string(disk->sectorSize);
        return false;
    }
    std::vector<uint8_t> region(size_t(kRegionSectors) * kSectorSize);
    if (!ReadSectors(disk, partitionStart, kRegionSectors, region.data(), error)) return false;
    uint8_t* boot = region.data();

    // Everything that could refuse comes before the first write.
    bool zeroed = true;
    for (size_t i = 11; i < 64; ++i) zeroed = zeroed && boot[i] == 0;
    if (std::memcmp(boot + 3, "EXFAT   ", 8) != 0 || !zeroed) {
        *error = "the partition is not exFAT";
        return false;
    }
    if (boot[108] != 9) {
        *error = "the exFAT volume has " + std::to_string(1u << (boot[108] & 31)) +
                 "-byte sectors; the boot code needs 512";
        return false;
    }
    const uint64_t volumeLength = Get64(boot + 72);
    if (volumeLength < 2 * kRegionSectors || partitionStart + volumeLength > disk->sectorCount) {
        *error = "the exFAT boot sector is damaged (volume length)";
        return false;
    }
    // Extended boot sectors that the code does not use keep what they hold,
    // but each must still carry its signature.
    for (uint32_t i = codeSectors; i < kMaxCodeSectors; ++i) {
        if (!HasExtendedSignature(boot + i * kSectorSize)) {
            *error = "extended boot sector " + std::to_string(i) + " of the exFAT volume is damaged";
            return false;
        }
    }

    std::memcpy(boot, code.bytes, 3);
    std::memcpy(boot + kFieldsEnd, code.bytes + kFieldsEnd, kSectorSize - kFieldsEnd);
    std::memcpy(boot + kSectorSize, code.bytes + kSectorSize, code.size - kSectorSize);
    const char* name = loader == LoaderKind::Grub4dos ? "GRLDR      " : "BOOTMGR    ";
    std::memcpy(boot + kLoaderNameOffset, name, kLoaderNameLength);
    // The boot code and the loader find the partition through this field;
    // a volume formatted inside an image file has 0 there.
    Put64(boot + kPartitionOffset, partitionStart);
    const uint32_t checksum = ExfatBootChecksum(boot, kSectorSize);
    uint8_t* checksumSector = boot + kChecksumSector * kSectorSize;
    for (uint32_t i = 0; i < kSectorSize; i += 4)
        for (int b = 0; b < 4; ++b) checksumSector[i + b] = uint8_t(checksum >> (8 * b));

    // Backup first: at every moment one of the two regions is whole, and
    // the system falls back to the backup when the main checksum fails.
    if (!WriteSectorsVerified(disk, partitionStart + kRegionSectors, kRegionSectors, boot, error)) return false;
    return WriteSectorsVerified(disk, partitionStart, kRegionSectors, boot, error);
}
