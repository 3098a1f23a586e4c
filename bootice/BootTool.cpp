#include "bootice/BootTool.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "bootice/BootCode.h"
#include "bootice/EfiLoaders.h"
#include "bootice/ExfatBootRecord.h"
#include "bootice/Fat32BootRecord.h"
#include "bootice/Fat32Format.h"
#include "bootice/NtfsBootRecord.h"
#include "bootice/PartitionTable.h"
#include "bootice/Sectors.h"
#include "bootice/SmallFat.h"

const char* FileSystemName(FileSystem fileSystem) {
    switch (fileSystem) {
        case FileSystem::Ntfs: return "NTFS";
        case FileSystem::Exfat: return "exFAT";
        case FileSystem::Fat32: break;
    }
    return "FAT32";
}

static bool DetectFileSystem(const uint8_t* sector, uint32_t sectorSize, FileSystem* fileSystem) {
    if (std::memcmp(sector + 3, "NTFS    ", 8) == 0) *fileSystem = FileSystem::Ntfs;
    else if (std::memcmp(sector + 3, "EXFAT   ", 8) == 0) *fileSystem = FileSystem::Exfat;
    else if (IsFat32BootSector(sector, sectorSize)) *fileSystem = FileSystem::Fat32;
    else return false;
    return true;
}

// Disk signatures and volume serials come from the front; without one, a
// hash of what sector 0 held before keeps them apart from the old ones.
static uint32_t NewSerial(const FrontHooks& hooks, const std::vector<uint8_t>& oldSector0, uint32_t salt) {
    uint32_t value = hooks.newDiskSignature ? hooks.newDiskSignature(hooks.context) : 0;
    if (value == 0) {
        value = 2166136261u ^ salt;
        for (uint8_t byte : oldSector0) value = (value ^ byte) * 16777619u;
    }
    return value ? value : 1;
}

static std::vector<FatFile> EfiLoaderFiles() {
    // The file names the loaders load the driver by (efi/chain_loader.c).
    const struct {
        const char* path;
        const BootCodeImage& image;
    } images[] = {{"EFI/BOOT/BOOTX64.EFI", kEfiLoaderX64},
                  {"EFI/BOOT/BOOTIA32.EFI", kEfiLoaderIa32},
                  {"EFI/BOOT/FSX64.EFI", kEfiDriverX64},
                  {"EFI/BOOT/FSIA32.EFI", kEfiDriverIa32}};
    std::vector<FatFile> files;
    for (const auto& image : images) {
        FatFile file;
        file.path = image.path;
        file.bytes = image.image.bytes;
        file.size = image.image.size;
        files.push_back(file);
    }
    return files;
}

// The UEFI loaders' partition of an NTFS or exFAT disk must hold them: checked
// before the first write.
static bool CheckEfiPartition(const PartitionLayout& layout, uint32_t sectorSize, std::string* error) {
    if (kEfiLoaderX64.size == 0 || kEfiLoaderIa32.size == 0 || kEfiDriverX64.size == 0 || kEfiDriverIa32.size == 0) {
        *error = "the UEFI loaders for NTFS and exFAT drives are not built";
        return false;
    }
    SmallFatGeometry geometry;
    std::vector<uint8_t> image;
    return PlanSmallFat(layout.efiSectorCount, sectorSize, &geometry, error) &&
           BuildSmallFatVolume(geometry, uint32_t(layout.efiFirstSector), 0, "UEFI BOOT", EfiLoaderFiles(), &image,
                               error);
}

static bool RunPartitions(const BootCommand& command, BlockDevice* disk, const FrontHooks& hooks,
                          std::string* message) {
    std::vector<uint8_t> oldSector0(disk->sectorSize);
    if (!ReadSectors(disk, 0, 1, oldSector0.data(), message)) return false;
    PartitionLayout layout;
    std::string note;
    if (!PlanPartition(disk->sectorCount, disk->sectorSize, command.fileSystem, NewSerial(hooks, oldSector0, 1),
                       &layout, &note, message))
        return false;
    // Everything that can refuse does so before the first write.
    if (command.fileSystem == FileSystem::Fat32) {
        Fat32Geometry geometry;
        if (!PlanFat32(layout.sectorCount, disk->sectorSize, &geometry, message)) return false;
    } else if (!hooks.formatWithSystem) {
        *message = std::string("formatting ") + FileSystemName(command.fileSystem) + " is not available here";
        return false;
    }
    if (layout.efiSectorCount && !CheckEfiPartition(layout, disk->sectorSize, message)) return false;
    // Where the system mounts the new partitions the moment the table is set
    // (a front with applyLayout), their volumes must arrive carrying a file
    // system: a RAW volume with a letter makes the shell offer "You need to
    // format the disk". There the partitions are written before the table,
    // and NTFS and exFAT get a small FAT placeholder that the system's
    // formatter then replaces.
    const bool contentsFirst = hooks.applyLayout != nullptr;
    // Checks the master boot code before it wipes anything.
    if (contentsFirst ? !WipeOldLayout(disk, layout, kMasterBootCode, message)
                      : !WriteFreshPartitionTable(disk, layout, kMasterBootCode, hooks, message))
        return false;
    // Partition 2 before partition 1: it is complete when the system's
    // formatter brings the new volume up.
    std::string efiReport;
    if (layout.efiSectorCount &&
        !WriteSmallFatVolume(disk, layout.efiFirstSector, layout.efiSectorCount, NewSerial(hooks, oldSector0, 3),
                             "UEFI BOOT", EfiLoaderFiles(), &efiReport, message))
        return false;
    std::string formatted;
    if (command.fileSystem == FileSystem::Fat32) {
        if (!FormatFat32(disk, layout, NewSerial(hooks, oldSector0, 2), &formatted, message)) return false;
    } else if (contentsFirst) {
        std::string ignored;
        const uint64_t placeholderSectors = std::min<uint64_t>(layout.sectorCount, (16u << 20) / disk->sectorSize);
        if (!WriteSmallFatVolume(disk, layout.firstSector, placeholderSectors, NewSerial(hooks, oldSector0, 2),
                                 "NO NAME", {}, &ignored, message))
            return false;
    }
    if (contentsFirst && !WriteFreshPartitionTable(disk, layout, kMasterBootCode, hooks, message, false)) return false;
    if (command.fileSystem != FileSystem::Fat32) {
        if (!hooks.formatWithSystem(hooks.context, command.fileSystem, layout, message)) return false;
        std::vector<uint8_t> boot(disk->sectorSize);
        FileSystem found;
        if (!ReadSectors(disk, layout.firstSector, 1, boot.data(), message)) return false;
        if (!DetectFileSystem(boot.data(), disk->sectorSize, &found) || found != command.fileSystem) {
            *message = std::string("the new partition holds no ") + FileSystemName(command.fileSystem) +
                       " volume after formatting";
            return false;
        }
        formatted = FileSystemName(command.fileSystem);
    }
    *message = "partition 1 from sector " + std::to_string(layout.firstSector) + ", " +
               SizeText(layout.sectorCount * disk->sectorSize) + ", " + formatted;
    if (!note.empty()) *message += "; " + note;
    if (layout.efiSectorCount) {
        *message += "; partition 2 from sector " + std::to_string(layout.efiFirstSector) + ", " +
                    SizeText(layout.efiSectorCount * disk->sectorSize) + ", " + efiReport +
                    " (UEFI loaders that start partition 1's own)\n"
                    "UEFI booting from this drive needs Secure Boot turned off in the firmware settings";
    }
    return true;
}

static bool RunPartitionBootRecord(const BootCommand& command, BlockDevice* disk, std::string* message) {
    int index = 0;
    PartitionEntry entry;
    if (!FindBootPartition(disk, &index, &entry, message)) return false;
    std::vector<uint8_t> boot(disk->sectorSize);
    if (!ReadSectors(disk, entry.firstSector, 1, boot.data(), message)) return false;
    FileSystem fileSystem;
    if (!DetectFileSystem(boot.data(), disk->sectorSize, &fileSystem)) {
        *message = "partition " + std::to_string(index + 1) + " holds no FAT32, NTFS or exFAT volume";
        return false;
    }
    std::string report;
    bool installed = false;
    switch (fileSystem) {
        case FileSystem::Fat32:
            installed = InstallFat32BootRecord(disk, entry.firstSector, kFat32BootCode, command.loader, &report, message);
            break;
        case FileSystem::Ntfs:
            installed = InstallNtfsBootRecord(disk, entry.firstSector, command.loader, message);
            report = "NTFS boot record";
            break;
        case FileSystem::Exfat:
            installed = InstallExfatBootRecord(disk, entry.firstSector, command.loader, message);
            report = "exFAT boot record";
            break;
    }
    if (!installed || !MarkPartitionActive(disk, index, message)) return false;
    *message = report + " on partition " + std::to_string(index + 1) + ", marked active";
    return true;
}

bool RunBootCommand(const BootCommand& command, BlockDevice* disk, const FrontHooks& hooks,
                    std::string* message) {
    message->clear();
    const uint32_t size = disk->sectorSize;
    if (!disk->read || !disk->write || disk->sectorCount == 0 ||
        (size != 512 && size != 1024 && size != 2048 && size != 4096)) {
        *message = "the disk reports no usable size or sector size (" + std::to_string(size) + " bytes)";
        return false;
    }
    switch (command.form) {
        case CommandForm::Partitions: return RunPartitions(command, disk, hooks, message);
        case CommandForm::MasterBootRecord:
            if (!InstallMasterBootCode(disk, kMasterBootCode, message)) return false;
            *message = "master boot code written; disk signature and partition table kept";
            return true;
        case CommandForm::PartitionBootRecord: return RunPartitionBootRecord(command, disk, message);
    }
    return false;
}
