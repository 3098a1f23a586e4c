// The UEFI loaders that go onto the small FAT partition of NTFS and exFAT
// drives: GRUB images made by the build with grub-mkimage (efi/grub.cfg says
// what they do) and linked in as arrays. Without grub-mkimage they are empty
// (size 0) and the partitioning that needs them refuses before it writes.
#pragma once
#include "bootice/BootCode.h"

extern const BootCodeImage kEfiLoaderX64;   // EFI/BOOT/BOOTX64.EFI
extern const BootCodeImage kEfiLoaderIa32;  // EFI/BOOT/BOOTIA32.EFI
