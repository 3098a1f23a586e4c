// Boot code assembled from bootcode/*.asm by the build and linked in as
// arrays. A file that is missing leaves its image empty (size 0); the step
// that needs it then refuses before it writes anything.
#pragma once
#include <cstddef>
#include <cstdint>

struct BootCodeImage {
    const uint8_t* bytes;
    size_t size;
};

extern const BootCodeImage kMasterBootCode;  // bootcode/mbr.asm: 440 bytes
extern const BootCodeImage kFat32BootCode;   // bootcode/fat32.asm: 3 sectors of 512 bytes
extern const BootCodeImage kNtfsBootCode;    // bootcode/ntfs.asm
extern const BootCodeImage kExfatBootCode;   // bootcode/exfat.asm
