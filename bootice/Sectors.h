// Sector reads and writes over a BlockDevice that name the failing sector,
// and the little-endian fields of on-disk structures.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "bootice/BootTool.h"

bool ReadSectors(BlockDevice* disk, uint64_t firstSector, uint32_t count, uint8_t* out, std::string* error);
bool WriteSectors(BlockDevice* disk, uint64_t firstSector, uint32_t count, const uint8_t* data,
                  std::string* error);
// Writes, reads back and compares: a device that drops or misplaces writes
// is caught at the sector where it happens.
bool WriteSectorsVerified(BlockDevice* disk, uint64_t firstSector, uint32_t count, const uint8_t* data,
                          std::string* error);
// Zeroes a range in chunks of at most 1 MiB and reads it back.
bool ZeroSectorsVerified(BlockDevice* disk, uint64_t firstSector, uint64_t count, std::string* error);

// Writes, at `offset` of a boot sector, a few bytes of code that print
// `message` (placed right after them) and halt: what a fresh volume says when
// the BIOS starts it before any boot code is installed.
void PutNoBootCode(uint8_t* sector, size_t offset, const char* message);

// "3.0 TiB", "64 GiB", "63 MiB": sizes for messages.
std::string SizeText(uint64_t bytes);

inline uint16_t Get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t Get32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint64_t Get64(const uint8_t* p) { return uint64_t(Get32(p)) | (uint64_t(Get32(p + 4)) << 32); }
inline void Put16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void Put64(uint8_t* p, uint64_t v) {
    Put32(p, uint32_t(v));
    Put32(p + 4, uint32_t(v >> 32));
}
