#include "bootice/Sectors.h"

#include <cstring>

bool ReadSectors(BlockDevice* disk, uint64_t firstSector, uint32_t count, uint8_t* out, std::string* error) {
    if (firstSector + count > disk->sectorCount || !disk->read(disk->context, firstSector, count, out)) {
        *error = "cannot read the disk at sector " + std::to_string(firstSector);
        return false;
    }
    return true;
}

bool WriteSectors(BlockDevice* disk, uint64_t firstSector, uint32_t count, const uint8_t* data,
                  std::string* error) {
    if (firstSector + count > disk->sectorCount || !disk->write(disk->context, firstSector, count, data)) {
        *error = "cannot write the disk at sector " + std::to_string(firstSector);
        return false;
    }
    return true;
}

bool WriteSectorsVerified(BlockDevice* disk, uint64_t firstSector, uint32_t count, const uint8_t* data,
                          std::string* error) {
    if (!WriteSectors(disk, firstSector, count, data, error)) return false;
    std::vector<uint8_t> back(size_t(count) * disk->sectorSize);
    if (!ReadSectors(disk, firstSector, count, back.data(), error)) return false;
    if (std::memcmp(back.data(), data, back.size()) != 0) {
        *error = "the disk does not keep what was written at sector " + std::to_string(firstSector);
        return false;
    }
    return true;
}

bool ZeroSectorsVerified(BlockDevice* disk, uint64_t firstSector, uint64_t count, std::string* error) {
    const uint32_t chunk = (1u << 20) / disk->sectorSize;
    const std::vector<uint8_t> zeros(size_t(chunk) * disk->sectorSize, 0);
    std::vector<uint8_t> back(zeros.size());
    for (uint64_t done = 0; done < count;) {
        const uint32_t n = uint32_t(count - done < chunk ? count - done : chunk);
        const size_t bytes = size_t(n) * disk->sectorSize;
        if (!WriteSectors(disk, firstSector + done, n, zeros.data(), error)) return false;
        if (!ReadSectors(disk, firstSector + done, n, back.data(), error)) return false;
        if (std::memcmp(back.data(), zeros.data(), bytes) != 0) {
            *error = "the disk does not keep what was written at sector " + std::to_string(firstSector + done);
            return false;
        }
        done += n;
    }
    return true;
}

std::string SizeText(uint64_t bytes) {
    const uint64_t gib = 1ull << 30, tib = 1ull << 40;
    if (bytes >= tib) {
        const uint64_t tenths = (bytes * 10 + tib / 2) / tib;
        return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " TiB";
    }
    if (bytes >= gib) return std::to_string(bytes / gib) + " GiB";
    return std::to_string(bytes >> 20) + " MiB";
}

void PutNoBootCode(uint8_t* sector, size_t offset, const char* message) {
    //   xor ax,ax / mov ds,ax / mov si,MESSAGE / cld
    //   next: lodsb / test al,al / jz halt / mov ah,0Eh / mov bx,7 / int 10h / jmp next
    //   halt: sti / hlt / jmp halt
    static const uint8_t kCode[] = {0x31, 0xC0, 0x8E, 0xD8, 0xBE, 0x00, 0x00, 0xFC, 0xAC, 0x84, 0xC0, 0x74, 0x09,
                                    0xB4, 0x0E, 0xBB, 0x07, 0x00, 0xCD, 0x10, 0xEB, 0xF2, 0xFB, 0xF4, 0xEB, 0xFC};
    std::memcpy(sector + offset, kCode, sizeof kCode);
    Put16(sector + offset + 5, uint16_t(0x7C00 + offset + sizeof kCode));
    std::memcpy(sector + offset + sizeof kCode, message, std::strlen(message) + 1);
}
