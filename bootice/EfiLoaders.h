// What goes onto the small FAT partition of NTFS and exFAT drives, made by
// the build with gnu-efi and linked in as arrays: the UEFI loaders
// (efi/chain_loader.c), which load the NTFS and exFAT file-system driver
// (efi/fs_driver.c) beside them, connect it to partition 1 and start its
// loader. Without gnu-efi they are empty (size 0) and the partitioning that
// needs them refuses before it writes.
#pragma once
#include "bootice/BootCode.h"

extern const BootCodeImage kEfiLoaderX64;   // EFI/BOOT/BOOTX64.EFI
extern const BootCodeImage kEfiLoaderIa32;  // EFI/BOOT/BOOTIA32.EFI
extern const BootCodeImage kEfiDriverX64;   // EFI/BOOT/FSX64.EFI
extern const BootCodeImage kEfiDriverIa32;  // EFI/BOOT/FSIA32.EFI
