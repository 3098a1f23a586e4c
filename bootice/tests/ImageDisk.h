// Disks for the boot tool's tests: sparse image files behind a BlockDevice
// that counts what is written and can be made to fail.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "bootice/BootTool.h"
#include "tests/support/RunShell_linux.h"

struct ImageDisk {
    std::string path;
    int fd = -1;
    uint64_t fileFirstSector = 0;  // the disk sector at the file's offset 0
    uint64_t bytesWritten = 0;
    uint64_t writeCalls = 0;
    uint64_t failFromWrite = 0;  // refuse this write call and later ones (0: never)
    BlockDevice device;
};

// A sparse file for sectors fileFirstSector..sectorCount-1 of a disk of
// sectorCount sectors: fileFirstSector 0 is a whole disk, the partition's
// start a file of the partition alone (what fsck.fat wants).
void OpenImageDisk(const std::string& name, uint64_t sectorCount, uint32_t sectorSize, uint64_t fileFirstSector,
                   ImageDisk* disk);
void CloseImageDisk(ImageDisk* disk, bool keepFile = false);

std::vector<uint8_t> ReadDiskBytes(const ImageDisk& disk, uint64_t diskOffset, size_t size);
void WriteDiskBytes(const ImageDisk& disk, uint64_t diskOffset, const std::vector<uint8_t>& bytes);

std::string TestImagePath(const std::string& name);
