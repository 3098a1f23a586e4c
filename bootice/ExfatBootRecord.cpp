#include "ExfatBootRecord.h"

#include <cstring>
#include <vector>

#include "BootCode.h"

namespace {

constexpr uint32_t kSectorSize = 512;
constexpr uint32_t kRegionSectors = 12;      // boot sector, 8 extended, OEM, reserved, checksum
constexpr uint32_t kMaxCodeSectors = 9;      // boot sector and the 8 extended boot sectors
constexpr uint32_t kChecksumSector = 11;
constexpr size_t kFieldsEnd = 120;           // bytes 3..119: the boot sector's fields
constexpr size_t kPartitionOffset = 64;
constexpr size_t kLoaderNameOffset = 499;    // agreed with exfat.asm
constexpr size_t kLoaderNameLength = 11;

void Put64(uint8_t* p, uint64_t value) {
    for (int i = 0; i < 8; ++i) p[i] = uint8_t(value >> (8 * i));
}

uint64_t Get64(const uint8_t* p) {
    uint64_t value = 0;
    for (int i = 7; i >= 0; --i) value = value << 8 | p[i];
    return value;
}

bool ReadDisk(BlockDevice* disk, uint64_t first, uint32_t count, uint8_t* out, std::string* error) {
    if (first + count > disk->sectorCount || !disk->read(disk->context, first, count, out)) {
        *error = "cannot read sector " + std::to_string(first) + " of the disk";
        return false;
    }
    return true;
}

bool WriteDisk(BlockDevice* disk, uint64_t first, uint32_t count, const uint8_t* data,
               std::string* error) {
    if (!disk->write(disk->context, first, count, data)) {
        *error = "cannot write sector " + std::to_string(first) + " of the disk";
        return false;
    }
    std::vector<uint8_t> back(size_t(count) * kSectorSize);
    if (!ReadDisk(disk, first, count, back.data(), error)) return false;
    if (std::memcmp(back.data(), data, back.size()) != 0) {
        *error = "sector " + std::to_string(first) + " reads back other than written";
        return false;
    }
    return true;
}

bool HasExtendedSignature(const uint8_t* sector) {
    return sector[508] == 0 && sector[509] == 0 && sector[510] == 0x55 && sector[511] == 0xAA;
}

}  // namespace

uint32_t ExfatBootChecksum(const uint8_t* region, uint32_t sectorSize) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < 11 * sectorSize; ++i) {
        // VolumeFlags and PercentInUse change while the volume is in use.
        if (i == 106 || i == 107 || i == 112) continue;
        sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
    }
    return sum;
}

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
    if (!ReadDisk(disk, partitionStart, kRegionSectors, region.data(), error)) return false;
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
    if (!WriteDisk(disk, partitionStart + kRegionSectors, kRegionSectors, boot, error)) return false;
    return WriteDisk(disk, partitionStart, kRegionSectors, boot, error);
}
