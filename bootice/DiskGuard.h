// Decides, before the first byte is written, whether the boot tool may touch
// the disk behind a drive letter, and how its letter is given back afterwards.
// The Windows front gathers the facts through the disk control calls; every
// decision over them is made here, in portable code, so that native tests can
// check it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

// "E:" (also "e:", "E:\") names drive letter E. Anything else is refused
// with a one-line reason.
bool ParseDriveLetterDevice(const std::string& device, char* letter, std::string* error);

// What the system says about the letter's root (GetDriveType).
enum class DriveKind { Unknown, NoSuchDrive, Removable, Fixed, Remote, CdRom, RamDisk };

// How the disk is attached, from the storage bus type.
enum class DiskBus { Unknown, Usb, CardReader, Internal, Virtual, Network };

// The storage bus type numbers of the Windows storage API, mapped to the few
// kinds that matter here.
DiskBus DiskBusFromStorageBusType(int busType);

// A folder or volume that the running system or this program depends on.
enum class PlaceState {
    OnDisks,         // its volume lies on |disks|
    NotOnLocalDisk,  // a network share, a RAM disk, a CD: never on the target
    Unknown,         // could not be found out; the target can't be cleared
};

struct SystemPlace {
    std::string what;   // "the Windows folder", "a page file", ...
    std::string path;   // as the system names it, for the message
    PlaceState state = PlaceState::Unknown;
    std::vector<uint32_t> disks;  // more than one for a volume spanning disks
    std::string unknownReason;    // why the state is Unknown
};

struct DiskFacts {
    char letter = 0;
    DriveKind driveKind = DriveKind::Unknown;
    // The storage device number of the letter's volume, when it is a disk.
    bool hasDiskNumber = false;
    uint32_t diskNumber = 0;
    // Disks that the letter's volume extends over, when the system says
    // (empty when the extents call is not answered).
    std::vector<uint32_t> volumeDisks;
    DiskBus bus = DiskBus::Unknown;
    // The Windows folder, the boot volume, every page file, this program and
    // the temporary folder.
    std::vector<SystemPlace> places;
    // Every drive letter whose volume lies on the target disk, the letter
    // itself included.
    std::vector<char> lettersOnDisk;
};

struct GuardVerdict {
    bool allowed = false;
    std::string reason;  // one line naming the refusal
};

GuardVerdict DecideDiskGuard(const DiskFacts& facts);

// Where a volume lies: its disk and the byte offset on it.
struct DiskExtent {
    uint32_t disk = 0;
    uint64_t offset = 0;
};

// The system calls the facts come from, one thin call each: the Windows
// front wraps the real ones, the tests give a fake machine. Text is UTF-8;
// a volume device is "\\?\Volume{...}" or "\\.\E:", a root ends in a
// backslash ("C:\", "C:\mnt\stick\", "\\server\share\").
struct DiskCalls {
    void* context = nullptr;
    DriveKind (*driveKind)(void* context, const std::string& root) = nullptr;
    // The root of the volume that holds |path| (a volume mounted in a folder
    // has that folder as its root).
    bool (*volumeRoot)(void* context, const std::string& path, std::string* root, std::string* error) = nullptr;
    // The volume device mounted at |root|.
    bool (*volumeDevice)(void* context, const std::string& root, std::string* device, std::string* error) = nullptr;
    // The volume's extents; false when the call is not answered.
    bool (*extents)(void* context, const std::string& device, std::vector<DiskExtent>* extents,
                    std::string* error) = nullptr;
    // The storage device number, when |device| is a disk or lies on one.
    bool (*deviceNumber)(void* context, const std::string& device, uint32_t* disk) = nullptr;
    // The storage bus type number of a disk (0 when unknown).
    int (*busType)(void* context, uint32_t disk) = nullptr;
    // A string or every string of a multi-string value under HKEY_LOCAL_MACHINE.
    std::vector<std::string> (*registryStrings)(void* context, const std::string& key,
                                                const std::string& name) = nullptr;
    std::string windowsFolder;
    std::string programPath;
    std::string temporaryFolder;
    // The drive letters in use now; bit 0 is A:.
    uint32_t (*logicalDrives)(void* context) = nullptr;
};

// Gathers what DecideDiskGuard needs about |letter|'s disk. Calls that fail
// leave the facts empty or Unknown, which the guard refuses.
void GatherDiskFacts(char letter, const DiskCalls& calls, DiskFacts* facts);

// The disks a volume device lies on: its extents, or else its device number
// (only the extents know of volumes spanning disks).
bool DisksOfVolumeDevice(const DiskCalls& calls, const std::string& device, std::vector<uint32_t>* disks,
                         std::string* reason);

// Every drive letter whose volume is the one extent at |offset| on |disk|:
// a partition's letters. Every letter is asked, not the volume list, which
// leaves out ESP-type partitions that may carry a letter all the same.
std::vector<char> LettersOfPartition(const DiskCalls& calls, uint32_t disk, uint64_t offset);

// The page files the system uses, from the registry's memory-management
// values: ExistingPageFiles ("\??\C:\pagefile.sys") and PagingFiles
// ("C:\pagefile.sys 0 0", "?:\pagefile.sys" for system-managed on any drive,
// which names no drive and is skipped). Each path once, in the order found.
std::vector<std::string> PageFilePaths(const std::vector<std::string>& existingPageFiles,
                                       const std::vector<std::string>& pagingFiles);

// True when sectors first .. first+count-1 all lie on a disk of sectorCount
// sectors. The Windows front asks before every transfer, so that nothing is
// ever read or written outside the chosen disk, whatever the core computed.
bool SectorsWithinDisk(uint64_t first, uint32_t count, uint64_t sectorCount);

// "\\?\Volume{...}\" opens as a device only without its trailing backslash.
std::string WithoutTrailingBackslash(std::string path);

// Names compared as the system compares them: ASCII letters in either case.
bool SameNameIgnoringCase(const std::string& a, const std::string& b);

// "E:, F:" for a list of letters, for messages.
std::string LettersText(const std::vector<char>& letters);

// Giving the new volume the drive letter that the command named.
struct RemountFacts {
    char letter = 0;                         // the letter to give back
    std::vector<char> newVolumeLetters;      // letters the new volume has now
    bool letterTaken = false;                // the letter names some volume now
    bool letterOnTargetDisk = false;         // ... one on the target disk (stale)
};

struct RemountPlan {
    bool done = false;                       // the new volume has the letter
    bool freeLetter = false;                 // remove the letter's stale mount point first
    std::vector<char> lettersToRemove;       // a volume has one drive letter only
    bool refused = false;
    std::string reason;
};

RemountPlan PlanRemount(const RemountFacts& facts);

// ---- The volumes of the disk while the tool writes
//
// On a real PC other programs reach for a drive's volumes all the time:
// Explorer (an AutoPlay window opens the moment a new volume arrives), a
// console whose folder is on it, an antivirus scan. The front takes the
// letters off every volume of the disk, keeps AutoPlay quiet, and locks and
// dismounts each partition through its device path; these decide over what
// it found.

// How often a step is tried and how long the front pauses between tries.
struct RetryPolicy {
    int attempts;
    uint32_t pauseMilliseconds;
};
constexpr RetryPolicy kLockRetry{20, 500};      // a volume in use: 10 s
constexpr RetryPolicy kTransferRetry{4, 250};  // USB sticks and hubs report passing errors
constexpr RetryPolicy kFormatRetry{4, 2000};    // the formatter's passing "in use"
constexpr RetryPolicy kArrivalRetry{80, 250};   // a new volume may take 20 s to appear
constexpr RetryPolicy kRelockRetry{20, 100};    // the lock after a dismount: 2 s

// Whether a failed sector transfer is worth another try: a refused request
// (invalid function or parameter, not supported) stays refused.
bool TransferErrorPasses(uint32_t systemError);

// "\\?\GLOBALROOT\Device\Harddisk2\Partition1": reaches a partition whether
// or not the system lists a volume for it (ESP-type partitions are not listed).
std::string PartitionDevicePath(uint32_t disk, uint32_t partition);

// A partition of the disk as its layout names it.
struct DiskPartition {
    uint32_t number = 0;   // 1-based, as in the device path
    uint64_t offset = 0;   // bytes
    uint8_t type = 0;
};

// What the front does with the disk's volumes before the core writes.
struct VolumePlan {
    std::vector<uint32_t> partitionsToClear;  // lock (or at least dismount) each
    std::vector<char> lettersToTake;          // taken off for the run
    bool holdAutoPlay = false;
};

// /mbr writes sector 0 only, which lies outside every volume: it clears
// nothing. The other forms write inside partitions: every partition of the
// disk is cleared and every letter on it taken (|letter| is given back at the
// end), so that no window or program is on a volume while it is rewritten.
VolumePlan PlanVolumeWork(bool bootCodeOnly, char letter, const std::vector<DiskPartition>& partitions,
                          const std::vector<char>& lettersOnDisk);

// The outcome of clearing one volume: locked, at once or after a dismount
// (which works while others hold handles, and ends their hold).
struct ClearVerdict {
    bool mayWrite = false;
    std::string note;     // for the report: who was in the way and what was done
    std::string refusal;  // one line when nothing may be written
};

// A volume dismounted but not locked may be mounted again by anyone at once
// (Explorer does on every device arrival), so after a dismount the lock is
// tried again for a while: only a lock lets the writes go ahead.
ClearVerdict DecideVolumeClear(const std::string& name, bool locked, const std::string& lockError, bool dismounted,
                               const std::string& dismountError, bool lockedAfterDismount);

// The formatter's progress packets, as its callback numbers them.
struct FormatProblem {
    std::string text;        // the formatter's own message, in words
    bool passing = false;    // worth another try after a pause
};
FormatProblem FormatProblemOf(int packet);

// Whether another FormatEx run is worth it after |attempt| (1-based) failed
// with |problem| (an unfinished run without a packet counts as passing).
bool RetryFormat(int attempt, const FormatProblem& problem);

// The volume calls of the writing path, one thin call each: mount points,
// volume locks and the system's formatter. The Windows front wraps the real
// ones; the virtual-disk test (tests/windisk) gives a scripted volume manager,
// since Wine passes none of these on to a disk driver. Text is UTF-8.
struct VolumeCalls {
    void* context = nullptr;
    // Opens a volume or partition device for locking; null (and *error) when it can't.
    void* (*open)(void* context, const std::string& device, std::string* error) = nullptr;
    bool (*lock)(void* context, void* volume, std::string* error) = nullptr;
    bool (*dismount)(void* context, void* volume, std::string* error) = nullptr;
    void (*close)(void* context, void* volume) = nullptr;
    // That volume's name ("\\?\Volume{...}\"); false while the system has none.
    bool (*volumeNameAt)(void* context, uint32_t disk, uint64_t offset, std::string* name) = nullptr;
    // The volume name |letter| gives now; false when it names no volume.
    bool (*volumeOfLetter)(void* context, char letter, std::string* name) = nullptr;
    bool (*removeLetter)(void* context, char letter, std::string* error) = nullptr;
    // Mounts |volumeName| at |letter| (also when the system mounts nothing by itself).
    bool (*setLetter)(void* context, char letter, const std::string& volumeName, std::string* error) = nullptr;
    // The file system the volume at |root| shows ("FAT32"); false while none.
    bool (*fileSystemOf)(void* context, const std::string& root, std::string* name, std::string* error) = nullptr;
    // One run of the system's formatter on |volumeName|; *packet: its last problem packet (0: none).
    bool (*format)(void* context, const std::string& volumeName, const std::string& fileSystem, bool removable,
                   int* packet, std::string* error) = nullptr;
    // Loads the system's formatter. Asked before the first write, so that a
    // system without it refuses NTFS and exFAT with the disk untouched.
    bool (*formatterReady)(void* context, std::string* error) = nullptr;
    // Writes what the system holds of the volume at |root| ("E:\") to the medium.
    bool (*flush)(void* context, const std::string& root, std::string* error) = nullptr;
    // The restore record, kept where only administrators write: |letter| goes
    // back to |volumeName| should the tool end without giving it back itself
    // (killed, crashed, the stick pulled); an empty name forgets the letter.
    void (*remember)(void* context, char letter, const std::string& volumeName) = nullptr;
    // AutoPlay held off (true) for the run and put back as it was (false);
    // the old setting goes into the restore record first.
    void (*holdAutoPlay)(void* context, bool hold) = nullptr;
    void (*pause)(void* context, uint32_t milliseconds) = nullptr;
};
