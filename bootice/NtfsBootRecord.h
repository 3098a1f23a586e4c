// Partition boot record for NTFS volumes: boot code that loads BOOTMGR or
// GRLDR from the root folder, written into the boot area that NTFS reserves
// for it ($Boot, the volume's first 16 sectors).
#pragma once
#include <cstdint>
#include <string>
#include "bootice/BootTool.h"

// Installs the NTFS boot code on the volume that starts at sector
// partitionStart of the disk. Keeps the volume's BPB (it only sets
// HiddenSectors to partitionStart when it says otherwise), rewrites the backup
// boot sector at the volume's end when it is a copy of the boot sector, and
// reads back what it wrote. Refuses, before any write, a volume that is not
// NTFS or has sectors other than 512 bytes.
bool InstallNtfsBootRecord(BlockDevice* disk, uint64_t partitionStart, LoaderKind loader,
                           std::string* error);
