// The boot tool's core: prepares a disk for booting through a block device and
// makes no system call itself. Each front (bootice.exe on Windows, bootice on
// Linux for disk image files) parses the command line, finds and guards the
// disk, gives the core a BlockDevice and the hooks below, and turns the
// result into a message and an exit code.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// Sector access to a whole disk. Every call names whole sectors; a false
// result means the device refused or is gone, and the core stops at once.
struct BlockDevice {
    uint64_t sectorCount = 0;
    uint32_t sectorSize = 512;
    void* context = nullptr;
    bool (*read)(void* context, uint64_t firstSector, uint32_t count, uint8_t* out) = nullptr;
    bool (*write)(void* context, uint64_t firstSector, uint32_t count, const uint8_t* data) = nullptr;
};

enum class FileSystem { Ntfs, Fat32, Exfat };
// "NTFS", "FAT32", "exFAT": as the system names them.
const char* FileSystemName(FileSystem fileSystem);
enum class LoaderKind { Bootmgr, Grub4dos };
enum class CommandForm { Partitions, MasterBootRecord, PartitionBootRecord };

// One accepted command line. device is the text after "/device=" (E: on
// Windows, an image file's path on Linux).
struct BootCommand {
    CommandForm form = CommandForm::Partitions;
    std::string device;
    FileSystem fileSystem = FileSystem::Fat32;  // Partitions
    LoaderKind loader = LoaderKind::Bootmgr;    // PartitionBootRecord
};

// Accepts exactly the three forms (arguments without the program name);
// anything else is refused with a one-line reason in *error.
bool ParseBootCommand(const std::vector<std::string>& arguments, BootCommand* command, std::string* error);

// The primary partitions of a fresh table: partition 1, active, for the
// file system; for NTFS and exFAT also partition 2, the small FAT partition
// with the UEFI loaders at the end of the disk (type 0xEF, not active, no
// drive letter).
struct PartitionLayout {
    uint32_t diskSignature = 0;
    uint64_t firstSector = 0;
    uint64_t sectorCount = 0;
    uint8_t typeCode = 0;  // 0x0C FAT32 with LBA, 0x07 NTFS and exFAT
    uint64_t efiFirstSector = 0;
    uint64_t efiSectorCount = 0;  // 0: no partition 2
};

// What only a front can do. Null members are skipped.
struct FrontHooks {
    void* context = nullptr;
    // Windows: set the layout through the disk control calls so that the
    // system sees it at once: both entries when efiSectorCount is not 0 (the
    // core writes partition 2's sectors next and checks the table read back).
    // Null: the core writes sector 0 itself.
    bool (*applyLayout)(void* context, const PartitionLayout& layout, std::string* error) = nullptr;
    // Formats the new partition as NTFS or exFAT with the system's formatter.
    bool (*formatWithSystem)(void* context, FileSystem fileSystem, const PartitionLayout& layout,
                             std::string* error) = nullptr;
    // A fresh 32-bit disk signature (tests pass a fixed one).
    uint32_t (*newDiskSignature)(void* context) = nullptr;
};

// Runs the command on the disk. Returns true on success; otherwise *message
// names what failed. On success *message is a short report for the quiet
// front to print (or empty).
bool RunBootCommand(const BootCommand& command, BlockDevice* disk, const FrontHooks& hooks,
                    std::string* message);
