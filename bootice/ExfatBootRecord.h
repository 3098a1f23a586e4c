// Partition boot record for exFAT volumes: boot code that loads BOOTMGR or
// GRLDR from the root folder, written into the main boot sector and the
// extended boot sectors, with the boot checksum and the backup boot region
// brought up to date.
#pragma once
#include <cstdint>
#include <string>
#include "bootice/BootTool.h"

// Installs the exFAT boot code on the volume that starts at sector
// partitionStart of the disk. Keeps every boot-sector field (it only sets
// PartitionOffset to partitionStart when it says otherwise), rewrites the
// checksum sector and copies the main boot region to the backup region, and
// reads back what it wrote. Refuses, before any write, a volume that is not
// exFAT or has sectors other than 512 bytes.
bool InstallExfatBootRecord(BlockDevice* disk, uint64_t partitionStart, LoaderKind loader,
                            std::string* error);

