// bootice_windisk.exe: bootice.exe's own front (Disk_win32.cpp, the same
// object code) over the virtual disk of vdisk.c, with the calls Wine does not
// pass on to a disk driver — volume locks, drive letters, mount points,
// FormatEx, AutoPlay — answered by a small scripted volume manager.
//
// The manager follows the disk's real partition table (read through the
// driver) and behaves as Windows does: a new partition's volume arrives with
// the first free letter, mounted with whatever file system it holds (RAW if
// none); a partition's device exists only once its volume has arrived; a
// locked volume can't be opened by others; a dismount ends everyone's hold,
// but a volume that is not locked is mounted again at the next look (Explorer
// and Drovelkit's own window look on every device arrival). It tells the
// driver which extents are mounted and unlocked; the driver refuses writes
// there, as Windows does. The restore record goes to WORK\restore.record.
// DROVELKIT_WINDISK_SCENARIO picks what else the machine does:
//   plain         nothing more
//   autoplay      AutoPlay opens a new volume the moment it arrives
//   late          new volumes arrive 3 s late, mounted RAW with a letter
//   letter-taken  the moment E: is free, a volume of disk 3 takes it
//   old-esp       the old ESP-type partition is mounted (not listed), and
//                 partitions that keep their place keep their volumes
//   no-automount  new volumes get neither a letter nor a mount by themselves
//   transfer      the first sector transfer fails once (a passing USB error)
//   crash         the tool is killed while the system formats the new volume
//   gpt           (the stick comes with a GPT; nothing else differs)
//   remount       an antivirus holds E: and mounts it again 0.5 s after a dismount
//   remount-at-once  ... at once, before any lock
// DROVELKIT_WINDISK_DIR is where a format request is handed to the test
// runner, which formats the partition on the host (mkntfs, mkfs.exfat).
// Every event goes to standard output as "seam: ..." for the runner.
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bootice/Disk_win32.h"

namespace {

constexpr uint32_t kDisk = 2;       // the stick
constexpr uint32_t kOtherDisk = 3;  // another disk, which must stay untouched
constexpr DWORD kSetState = CTL_CODE(0x8000, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct DriverState {
    ULONG failTransfers;
    ULONG count;
    struct { ULONGLONG first, end; } extents[16];
};

struct Volume {
    uint32_t disk = kDisk;
    uint64_t offset = 0, length = 0;
    uint8_t type = 0;
    uint32_t number = 0;
    bool present = true;    // the system has made its volume
    bool mounted = false;   // a file system (or RAW) is mounted
    bool locked = false;
    std::string holder;     // a program with files open on it
    std::vector<char> letters;
    double arrivesAt = 0;   // seconds of the run's clock
    std::string remounter;  // mounts it again after a dismount ...
    double remountAt = 0;   // ... at this time, unless it is locked
};

struct Handle {
    uint64_t offset;
    uint32_t disk;
    bool locks = false;
};

struct Machine {
    std::string scenario;
    std::string folder;
    HANDLE disk = INVALID_HANDLE_VALUE;
    uint32_t signature = 0;
    bool known = false;
    std::vector<Volume> volumes;
    double clock = 0;  // advanced by the front's pauses, so no test waits for real
    bool autoPlayHeld = false;
    bool transferFailed = false;
} g;

void Say(const std::string& text) {
    printf("seam: %s\n", text.c_str());
    fflush(stdout);
}

std::string VolumeName(const Volume& v) {
    return "\\\\?\\Volume{dk" + std::to_string(v.disk) + "-" + std::to_string(v.offset) + "}\\";
}

Volume* ByOffset(uint32_t disk, uint64_t offset) {
    for (Volume& v : g.volumes) {
        if (v.disk == disk && v.offset == offset) return &v;
    }
    return nullptr;
}

Volume* ByLetter(char letter) {
    for (Volume& v : g.volumes) {
        for (char c : v.letters) {
            if (c == letter && v.present) return &v;
        }
    }
    return nullptr;
}

Volume* ByName(std::string name) {
    if (!name.empty() && name.back() != '\\') name += '\\';
    for (Volume& v : g.volumes) {
        if (VolumeName(v) == name) return &v;
    }
    return nullptr;
}

// "1:E 2:- D:3": the stick's partitions with their letters, then every
// letter elsewhere with its disk.
std::string LettersText() {
    std::string text;
    for (const Volume& v : g.volumes) {
        if (v.disk != kDisk || !v.present) continue;
        text += std::to_string(v.number) + ":" + (v.letters.empty() ? "-" : std::string(v.letters.begin(), v.letters.end())) + " ";
    }
    for (const Volume& v : g.volumes) {
        if (v.disk == kDisk) continue;
        for (char c : v.letters) text += std::string(1, c) + ":" + std::to_string(v.disk) + " ";
    }
    if (!text.empty()) text.pop_back();
    return text;
}

char FreeLetter() {
    for (char c = 'D'; c <= 'Z'; ++c) {
        if (ByLetter(c) == nullptr) return c;
    }
    return 0;
}

std::string FileSystemAt(uint64_t offset);

void Arrive(Volume* v) {
    v->present = true;
    if (g.scenario == "no-automount") return;
    if (char c = FreeLetter()) v->letters.push_back(c);
    v->mounted = !v->locked;
    const std::string fileSystem = FileSystemAt(v->offset);
    Say("volume at " + std::to_string(v->offset) + " arrived" + (v->arrivesAt > 0 ? " late" : "") +
        (v->mounted ? " mounted " + (fileSystem.empty() ? std::string("RAW") : fileSystem) : "") + " as " +
        std::string(1, v->letters.back()) + ":");
    // Held off or not (a machine's policy may override the user's switch),
    // AutoPlay opens the new drive the moment it arrives.
    if (g.scenario == "autoplay" && v->mounted) {
        v->holder = "explorer.exe (AutoPlay)";
        Say("AutoPlay opened " + std::string(1, v->letters.back()) + ":" +
            (g.autoPlayHeld ? " although held off" : " (it was not held off)"));
    }
}

// Tells the driver which extents of the stick are mounted and unlocked.
void PushState() {
    DriverState state = {};
    if (g.scenario == "transfer" && !g.transferFailed) {
        state.failTransfers = 1;
        g.transferFailed = true;
    }
    for (const Volume& v : g.volumes) {
        if (v.disk == kDisk && v.present && v.mounted && !v.locked && state.count < 16) {
            state.extents[state.count++] = {v.offset, v.offset + v.length};
        }
    }
    DWORD returned = 0;
    DeviceIoControl(g.disk, kSetState, &state, sizeof state, nullptr, 0, &returned, nullptr);
}

// Follows the stick's partition table: a new table makes new volumes.
void Refresh() {
    std::vector<uint8_t> buffer(4096);
    DWORD returned = 0;
    if (!DeviceIoControl(g.disk, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, buffer.data(), DWORD(buffer.size()),
                         &returned, nullptr)) {
        return;
    }
    auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
    bool first = !g.known;
    if (g.known && layout->Mbr.Signature == g.signature) {
        for (Volume& v : g.volumes) {
            if (!v.present && v.disk == kDisk && g.clock >= v.arrivesAt) Arrive(&v);
            // A program that had the volume open mounts it again, unless it is locked.
            if (v.present && !v.mounted && !v.locked && !v.remounter.empty() && g.clock >= v.remountAt) {
                v.mounted = true;
                v.holder = v.remounter;
                Say("mounted again by " + v.remounter + " after a dismount");
            }
        }
        return;
    }
    g.known = true;
    g.signature = layout->Mbr.Signature;
    if (first && layout->PartitionStyle == PARTITION_STYLE_GPT) Say("the stick comes with a GPT");
    std::vector<Volume> old = g.volumes;
    g.volumes.clear();
    for (const Volume& v : old) {
        if (v.disk != kDisk) g.volumes.push_back(v);
    }
    for (DWORD i = 0; i < layout->PartitionCount && i < 4; ++i) {
        const PARTITION_INFORMATION_EX& e = layout->PartitionEntry[i];
        if (e.PartitionNumber == 0) continue;
        Volume v;
        v.offset = uint64_t(e.StartingOffset.QuadPart);
        v.length = uint64_t(e.PartitionLength.QuadPart);
        v.type = e.Mbr.PartitionType;
        v.number = e.PartitionNumber;
        // A partition whose place did not change may keep its volume, with
        // whatever is mounted there.
        bool same = false;
        for (const Volume& before : g.scenario == "old-esp" ? old : std::vector<Volume>()) {
            if (before.disk == kDisk && before.offset == v.offset && before.length == v.length) {
                Volume kept = before;
                kept.type = v.type;
                kept.number = v.number;
                g.volumes.push_back(kept);
                same = true;
            }
        }
        if (same) continue;
        if (first) {
            // The stick as the user plugged it in: partition 1 is E:.
            v.mounted = v.type != 0xEF || g.scenario == "old-esp";
            if (v.number == 1) v.letters.push_back('E');
            if (v.number == 1 && g.scenario.compare(0, 7, "remount") == 0) v.holder = v.remounter = "antivirus.exe";
            g.volumes.push_back(v);
            continue;
        }
        v.present = false;
        v.arrivesAt = g.scenario == "late" ? g.clock + 3.0 : 0.0;
        g.volumes.push_back(v);
        if (g.clock >= g.volumes.back().arrivesAt) Arrive(&g.volumes.back());
    }
}

// Every call sees the machine as it is now.
void Update() {
    Refresh();
    PushState();
}

std::string FileSystemAt(uint64_t offset) {
    std::vector<uint8_t> sector(4096);
    OVERLAPPED at = {};
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    DWORD done = 0;
    uint8_t* aligned = reinterpret_cast<uint8_t*>((uintptr_t(sector.data()) + 511) & ~uintptr_t(511));
    if (!ReadFile(g.disk, aligned, 512, &done, &at)) return "";
    if (memcmp(aligned + 82, "FAT32   ", 8) == 0) return "FAT32";
    if (memcmp(aligned + 3, "NTFS    ", 8) == 0) return "NTFS";
    if (memcmp(aligned + 3, "EXFAT   ", 8) == 0) return "exFAT";
    if (memcmp(aligned + 54, "FAT1", 4) == 0) return "FAT";
    return "";
}

// ---- The guard's calls: E: is a USB stick on disk 2, C: the system disk 0,
// D: a volume of disk 3.

// The volume a guard call names: "\\.\E:" or a volume name; C: is the
// system disk 0's.
const Volume* VolumeOfDevice(const std::string& device) {
    Update();
    if (device.size() == 6 && device.compare(0, 4, "\\\\.\\") == 0) return ByLetter(device[4]);
    return ByName(device);
}

bool IsSystemDevice(const std::string& device) {
    return device == "\\\\.\\C:" || device.find("HarddiskVolume") != std::string::npos;
}

DriveKind SeamDriveKind(void*, const std::string& root) {
    if (root == "C:\\") return DriveKind::Fixed;
    return VolumeOfDevice("\\\\.\\" + root.substr(0, 2)) != nullptr ? DriveKind::Removable : DriveKind::NoSuchDrive;
}
bool SeamVolumeRoot(void*, const std::string& path, std::string* root, std::string*) {
    *root = path.substr(0, 3);
    return true;
}
bool SeamVolumeDevice(void*, const std::string& root, std::string* device, std::string*) {
    *device = "\\\\.\\" + root.substr(0, 2);
    return true;
}
bool SeamExtents(void*, const std::string& device, std::vector<DiskExtent>* extents, std::string* error) {
    const Volume* v = VolumeOfDevice(device);
    if (v == nullptr && !IsSystemDevice(device)) {
        *error = "The system cannot find the file specified (error 2)";
        return false;
    }
    *extents = {v != nullptr ? DiskExtent{v->disk, v->offset} : DiskExtent{0, 1 << 20}};
    return true;
}
bool SeamDeviceNumber(void*, const std::string& device, uint32_t* disk) {
    const Volume* v = VolumeOfDevice(device);
    *disk = v != nullptr ? v->disk : 0;
    return v != nullptr || IsSystemDevice(device);
}
uint32_t SeamLogicalDrives(void*) {
    uint32_t drives = 1u << 2;
    for (const Volume& v : g.volumes)
        for (char c : v.present ? v.letters : std::vector<char>()) drives |= 1u << (c - 'A');
    return drives;
}
int SeamBusType(void*, uint32_t) { return 0x07; }
std::vector<std::string> SeamRegistry(void*, const std::string&, const std::string& name) {
    if (name == "SystemPartition") return {"\\Device\\HarddiskVolume1"};
    return {};
}

// ---- The volume calls

void* SeamOpen(void*, const std::string& device, std::string* error) {
    Update();
    if (Volume* v = ByName(device)) {
        if (v->present) return new Handle{v->offset, v->disk};
    }
    const std::string prefix = "\\\\?\\GLOBALROOT\\Device\\Harddisk" + std::to_string(kDisk) + "\\Partition";
    if (device.compare(0, prefix.size(), prefix) == 0) {
        uint32_t number = uint32_t(atoi(device.c_str() + prefix.size()));
        for (Volume& v : g.volumes) {
            if (v.disk == kDisk && v.number == number && v.present) return new Handle{v.offset, kDisk};
        }
    }
    *error = "The system cannot find the file specified (error 2)";
    return nullptr;
}

bool SeamLock(void*, void* handle, std::string* error) {
    Update();
    Handle* h = static_cast<Handle*>(handle);
    Volume* v = ByOffset(h->disk, h->offset);
    if (v == nullptr || !v->holder.empty() || (v->locked && !h->locks)) {
        *error = "Access is denied (error 5)";
        return false;
    }
    v->locked = h->locks = true;
    PushState();
    return true;
}

bool SeamDismount(void*, void* handle, std::string* error) {
    Update();
    Handle* h = static_cast<Handle*>(handle);
    Volume* v = ByOffset(h->disk, h->offset);
    if (v == nullptr) {
        *error = "The device is not ready (error 21)";
        return false;
    }
    if (!v->holder.empty()) Say("dismounted while " + v->holder + " held it");
    v->holder.clear();
    v->mounted = false;
    v->remountAt = g.clock + (g.scenario == "remount-at-once" ? 0.0 : 0.5);
    Update();
    PushState();
    return true;
}

void SeamClose(void*, void* handle) {
    Handle* h = static_cast<Handle*>(handle);
    Volume* v = ByOffset(h->disk, h->offset);
    if (v != nullptr && h->locks) v->locked = false;
    delete h;
    PushState();
}

bool SeamVolumeNameAt(void*, uint32_t disk, uint64_t offset, std::string* name) {
    Update();
    Volume* v = ByOffset(disk, offset);
    // The volume list leaves out ESP-type partitions.
    if (v == nullptr || !v->present || v->type == 0xEF) return false;
    *name = VolumeName(*v);
    return true;
}

bool SeamVolumeOfLetter(void*, char letter, std::string* name) {
    Update();
    Volume* v = ByLetter(letter);
    if (v == nullptr) return false;
    *name = VolumeName(*v);
    return true;
}

bool SeamRemoveLetter(void*, char letter, std::string* error) {
    Update();
    Volume* v = ByLetter(letter);
    if (v == nullptr) {
        *error = "The system cannot find the file specified (error 2)";
        return false;
    }
    for (size_t i = 0; i < v->letters.size(); ++i) {
        if (v->letters[i] == letter) v->letters.erase(v->letters.begin() + long(i));
    }
    Say(std::string(1, letter) + ": taken off the volume at " + std::to_string(v->offset));
    if (letter == 'E' && g.scenario == "letter-taken") {
        ByOffset(kOtherDisk, 1 << 20)->letters.push_back('E');
        Say("E: taken by a volume of disk 3");
    }
    return true;
}

bool SeamSetLetter(void*, char letter, const std::string& volumeName, std::string* error) {
    Update();
    Volume* v = ByName(volumeName);
    if (v == nullptr || ByLetter(letter) != nullptr) {
        *error = v == nullptr ? "The system cannot find the file specified (error 2)"
                              : "Cannot create a file when that file already exists (error 183)";
        return false;
    }
    v->letters.push_back(letter);
    if (!v->locked) v->mounted = true;
    Say(std::string(1, letter) + ": given to the volume at " + std::to_string(v->offset));
    PushState();
    return true;
}

bool SeamFileSystemOf(void*, const std::string& root, std::string* name, std::string* error) {
    Update();
    Volume* v = ByLetter(root[0]);
    if (v == nullptr || v->locked) {
        *error = "The device is not ready (error 21)";
        return false;
    }
    v->mounted = true;
    PushState();
    *name = FileSystemAt(v->offset);
    if (name->empty()) {
        *error = "The volume does not contain a recognized file system (error 1005)";
        return false;
    }
    return true;
}

// FormatEx locks the volume itself; the runner formats the partition on the
// host through a request file, since Wine has no fmifs.dll.
bool SeamFormat(void*, const std::string& volumeName, const std::string& fileSystem, bool, int* packet,
                std::string* error) {
    Update();
    Volume* v = ByName(volumeName);
    if (g.scenario == "crash") {
        Say("killed while formatting; letters at the end: " + LettersText());
        ExitProcess(9);
    }
    if (v == nullptr || v->locked || !v->holder.empty()) {
        Say("FormatEx: in use");
        *packet = 8;
        return false;
    }
    const std::string request = g.folder + "\\format.request";
    const std::string done = g.folder + "\\format.done";
    DeleteFileA(done.c_str());
    FILE* f = fopen((request + ".new").c_str(), "w");
    if (f == nullptr) {
        *error = "no format request folder";
        return false;
    }
    fprintf(f, "%s %llu %llu\n", fileSystem.c_str(), (unsigned long long)v->offset, (unsigned long long)v->length);
    fclose(f);
    MoveFileA((request + ".new").c_str(), request.c_str());
    for (int i = 0; i < 1200 && GetFileAttributesA(done.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
    char answer[256] = "";  // "ok" or the host formatter's complaint
    f = fopen(done.c_str(), "r");
    if (f != nullptr) {
        if (!fgets(answer, sizeof answer, f)) answer[0] = 0;
        answer[strcspn(answer, "\r\n")] = 0;
        fclose(f);
        DeleteFileA(done.c_str());
    }
    Say(std::string("FormatEx ") + fileSystem + ": " + answer);
    if (strncmp(answer, "ok", 2) != 0) {
        *packet = 10;
        return false;
    }
    v->mounted = true;
    PushState();
    return true;
}

bool SeamFormatterReady(void*, std::string*) { return true; }

bool SeamFlush(void*, const std::string& root, std::string* error) {
    Update();
    Volume* v = ByLetter(root[0]);
    if (v == nullptr) {
        *error = "The system cannot find the file specified (error 2)";
        return false;
    }
    Say(root.substr(0, 2) + " flushed");
    return true;
}

// The record as lines "E \\?\Volume{...}\", rewritten whole at each change.
void SeamRemember(void*, char letter, const std::string& volumeName) {
    const std::string path = g.folder + "\\restore.record";
    std::map<char, std::string> record;
    if (FILE* f = fopen(path.c_str(), "r")) {
        char line[512];
        while (fgets(line, sizeof line, f)) {
            line[strcspn(line, "\r\n")] = 0;
            if (strlen(line) > 2) record[line[0]] = line + 2;
        }
        fclose(f);
    }
    if (volumeName.empty()) record.erase(letter);
    else record[letter] = volumeName;
    if (FILE* f = fopen(path.c_str(), "w")) {
        for (const auto& entry : record) fprintf(f, "%c %s\n", entry.first, entry.second.c_str());
        fclose(f);
    }
}

void SeamHoldAutoPlay(void*, bool hold) {
    g.autoPlayHeld = hold;
    Say(hold ? "AutoPlay held off" : "AutoPlay put back");
}

void SeamPause(void*, uint32_t milliseconds) {
    g.clock += milliseconds / 1000.0;
    Sleep(1);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const char* scenario = getenv("DROVELKIT_WINDISK_SCENARIO");
    const char* folder = getenv("DROVELKIT_WINDISK_DIR");
    g.scenario = scenario != nullptr ? scenario : "plain";
    g.folder = folder != nullptr ? folder : ".";
    g.disk = CreateFileW(L"\\\\.\\PhysicalDrive2", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    if (g.disk == INVALID_HANDLE_VALUE) {
        Say("the virtual disk is not there (error " + std::to_string(GetLastError()) + ")");
        return 70;
    }
    // Each run is a stick plugged in afresh: the driver reads its table anew.
    DWORD returned = 0;
    DeviceIoControl(g.disk, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0, &returned, nullptr);
    // Disk 3's volume holds D:; nothing may ever write to that disk.
    Volume other;
    other.disk = kOtherDisk;
    other.offset = 1 << 20;
    other.mounted = true;
    other.letters = {'D'};
    g.volumes.push_back(other);
    Update();

    FrontCalls calls;
    calls.guard.driveKind = SeamDriveKind;
    calls.guard.volumeRoot = SeamVolumeRoot;
    calls.guard.volumeDevice = SeamVolumeDevice;
    calls.guard.extents = SeamExtents;
    calls.guard.deviceNumber = SeamDeviceNumber;
    calls.guard.busType = SeamBusType;
    calls.guard.registryStrings = SeamRegistry;
    calls.guard.windowsFolder = "C:\\windows";
    calls.guard.programPath = "C:\\payload\\bootice.exe";
    calls.guard.temporaryFolder = "C:\\temp\\";
    calls.guard.logicalDrives = SeamLogicalDrives;
    VolumeCalls& v = calls.volumes;
    v.open = SeamOpen;
    v.lock = SeamLock;
    v.dismount = SeamDismount;
    v.close = SeamClose;
    v.volumeNameAt = SeamVolumeNameAt;
    v.volumeOfLetter = SeamVolumeOfLetter;
    v.removeLetter = SeamRemoveLetter;
    v.setLetter = SeamSetLetter;
    v.fileSystemOf = SeamFileSystemOf;
    v.format = SeamFormat;
    v.formatterReady = SeamFormatterReady;
    v.flush = SeamFlush;
    v.remember = SeamRemember;
    v.holdAutoPlay = SeamHoldAutoPlay;
    v.pause = SeamPause;
    int code = RunBootTool(argc, argv, calls);
    Say(std::string("AutoPlay at the end: ") + (g.autoPlayHeld ? "still held" : "as it was"));
    Say("letters at the end: " + LettersText());
    return code;
}
