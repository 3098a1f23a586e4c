// Disks, volumes and the system's formatter for bootice.exe. Thin calls: the
// guard's decisions live in DiskGuard.cpp, the disk's contents in the core.
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "bootice/Disk_win32.h"
#include "bootice/Sectors.h"

namespace {

// How long a volume may stay busy before the tool gives up on its lock, and
// how long a new volume may take to show up after the layout changes.
constexpr ULONGLONG kLockMilliseconds = 10000;
constexpr ULONGLONG kVolumeArrivalMilliseconds = 20000;
constexpr DWORD kPollMilliseconds = 250;
// Transfers go through one page-aligned buffer: raw disk handles refuse
// buffers that are not sector-aligned.
constexpr uint32_t kTransferBytes = 1u << 20;

// ---- Text

std::wstring Widen(const std::string& text) {
    if (text.empty()) return L"";
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring wide(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), &wide[0], length);
    return wide;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return "";
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), &narrow[0], length, nullptr, nullptr);
    return narrow;
}

// "Access is denied (error 5)".
std::string ErrorText(DWORD code) {
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message = length > 0 && text != nullptr ? std::wstring(text, length) : L"";
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == L'\r' || message.back() == L'\n' ||
                                message.back() == L' ' || message.back() == L'.')) {
        message.pop_back();
    }
    std::string result = Narrow(message);
    if (result.empty()) result = "system error";
    return result + " (error " + std::to_string(code) + ")";
}

std::string LastErrorText() { return ErrorText(GetLastError()); }

std::wstring DiskPath(uint32_t number) { return L"\\\\.\\PhysicalDrive" + std::to_wstring(number); }

// "\\?\Volume{...}\" opens as a device only without its trailing backslash.
std::wstring DevicePathOf(std::wstring volumeName) {
    if (!volumeName.empty() && volumeName.back() == L'\\') volumeName.pop_back();
    return volumeName;
}

// ---- Handles

void CloseSafely(HANDLE* handle) {
    if (*handle != nullptr && *handle != INVALID_HANDLE_VALUE) CloseHandle(*handle);
    *handle = INVALID_HANDLE_VALUE;
}

// Opening with no access is enough for the queries and touches no medium.
HANDLE OpenDevice(const std::wstring& path, DWORD access) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

bool Control(HANDLE device, DWORD code, const void* in, DWORD inBytes, void* out, DWORD outBytes) {
    DWORD returned = 0;
    return DeviceIoControl(device, code, const_cast<void*>(in), inBytes, out, outBytes, &returned, nullptr) != 0;
}

// ---- Volumes and the disks they lie on

struct Extent {
    uint32_t disk = 0;
    uint64_t offset = 0;
};

bool DeviceNumberOf(HANDLE device, uint32_t* disk) {
    STORAGE_DEVICE_NUMBER number = {};
    if (!Control(device, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number)) return false;
    if (number.DeviceType != FILE_DEVICE_DISK) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    *disk = number.DeviceNumber;
    return true;
}

bool ExtentsOf(HANDLE device, std::vector<Extent>* extents) {
    std::vector<uint8_t> buffer(sizeof(VOLUME_DISK_EXTENTS) + 31 * sizeof(DISK_EXTENT));
    if (!Control(device, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, buffer.data(), DWORD(buffer.size()))) {
        return false;
    }
    const auto* found = reinterpret_cast<const VOLUME_DISK_EXTENTS*>(buffer.data());
    extents->clear();
    for (DWORD i = 0; i < found->NumberOfDiskExtents && i < 32; ++i) {
        extents->push_back({found->Extents[i].DiskNumber, uint64_t(found->Extents[i].StartingOffset.QuadPart)});
    }
    return true;
}

std::vector<char> LettersOfVolume(const std::wstring& volumeName) {
    std::vector<char> letters;
    std::vector<wchar_t> names(1024);
    DWORD length = 0;
    if (!GetVolumePathNamesForVolumeNameW(volumeName.c_str(), names.data(), DWORD(names.size()), &length)) {
        return letters;
    }
    for (const wchar_t* name = names.data(); *name != L'\0'; name += wcslen(name) + 1) {
        if (wcslen(name) == 3 && name[1] == L':' && name[2] == L'\\' && name[0] < 128) {
            letters.push_back(char(towupper(name[0])));
        }
    }
    return letters;
}

struct VolumeOnDisk {
    std::wstring name;  // "\\?\Volume{...}\"
    std::vector<Extent> extents;
};

// Every volume the system knows of with an extent on |disk|. Volumes that
// name no extents are matched by device number.
std::vector<VolumeOnDisk> VolumesOnDisk(uint32_t disk) {
    std::vector<VolumeOnDisk> volumes;
    wchar_t name[MAX_PATH + 1] = L"";
    HANDLE search = FindFirstVolumeW(name, MAX_PATH + 1);
    if (search == INVALID_HANDLE_VALUE) return volumes;
    do {
        HANDLE handle = OpenDevice(DevicePathOf(name), 0);
        if (handle == INVALID_HANDLE_VALUE) continue;
        VolumeOnDisk volume{name, {}};
        uint32_t number = 0;
        bool onDisk = false;
        if (ExtentsOf(handle, &volume.extents) && !volume.extents.empty()) {
            for (const Extent& extent : volume.extents) onDisk = onDisk || extent.disk == disk;
        } else if (DeviceNumberOf(handle, &number)) {
            onDisk = number == disk;
        }
        CloseSafely(&handle);
        if (onDisk) volumes.push_back(volume);
    } while (FindNextVolumeW(search, name, MAX_PATH + 1));
    FindVolumeClose(search);
    return volumes;
}

// The volume whose extent starts at |offset| on |disk|: a partition made
// just now.
bool FindVolumeAt(uint32_t disk, uint64_t offset, std::wstring* volumeName) {
    for (const VolumeOnDisk& volume : VolumesOnDisk(disk)) {
        for (const Extent& extent : volume.extents) {
            if (extent.disk == disk && extent.offset == offset) {
                *volumeName = volume.name;
                return true;
            }
        }
    }
    return false;
}

DriveKind DriveKindOf(const std::wstring& root) {
    switch (GetDriveTypeW(root.c_str())) {
        case DRIVE_NO_ROOT_DIR: return DriveKind::NoSuchDrive;
        case DRIVE_REMOVABLE: return DriveKind::Removable;
        case DRIVE_FIXED: return DriveKind::Fixed;
        case DRIVE_REMOTE: return DriveKind::Remote;
        case DRIVE_CDROM: return DriveKind::CdRom;
        case DRIVE_RAMDISK: return DriveKind::RamDisk;
        default: return DriveKind::Unknown;
    }
}

bool ReadRegistryValue(const wchar_t* key, const wchar_t* name, DWORD* type, std::vector<wchar_t>* data) {
    HKEY handle = nullptr;
    // The 64-bit view: a 32-bit bootice.exe on 64-bit Windows reads the same.
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &handle) != ERROR_SUCCESS) {
        return false;
    }
    DWORD bytes = 0;
    bool found = RegQueryValueExW(handle, name, nullptr, type, nullptr, &bytes) == ERROR_SUCCESS;
    if (found) {
        data->assign(bytes / sizeof(wchar_t) + 2, L'\0');
        found = RegQueryValueExW(handle, name, nullptr, type, reinterpret_cast<BYTE*>(data->data()), &bytes) ==
                ERROR_SUCCESS;
    }
    RegCloseKey(handle);
    return found;
}

std::vector<std::string> RegistryStrings(const wchar_t* key, const wchar_t* name) {
    std::vector<std::string> strings;
    DWORD type = 0;
    std::vector<wchar_t> data;
    if (!ReadRegistryValue(key, name, &type, &data)) return strings;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        strings.push_back(Narrow(data.data()));
    } else if (type == REG_MULTI_SZ) {
        for (const wchar_t* entry = data.data(); *entry != L'\0'; entry += wcslen(entry) + 1) {
            strings.push_back(Narrow(entry));
        }
    }
    return strings;
}

std::wstring ProgramPath() {
    std::vector<wchar_t> path(MAX_PATH + 1);
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
        if (length == 0) return L"";
        if (length < path.size()) return std::wstring(path.data(), length);
        path.resize(path.size() * 2);
    }
}

// ---- The calls the guard's facts come from

DriveKind CallDriveKind(void*, const std::string& root) { return DriveKindOf(Widen(root)); }

bool CallVolumeRoot(void*, const std::string& path, std::string* root, std::string* error) {
    wchar_t buffer[MAX_PATH + 1] = L"";
    if (!GetVolumePathNameW(Widen(path).c_str(), buffer, MAX_PATH + 1)) {
        *error = LastErrorText();
        return false;
    }
    *root = Narrow(buffer);
    return true;
}

bool CallVolumeDevice(void*, const std::string& root, std::string* device, std::string* error) {
    wchar_t name[MAX_PATH + 1] = L"";
    if (!GetVolumeNameForVolumeMountPointW(Widen(root).c_str(), name, MAX_PATH + 1)) {
        *error = LastErrorText();
        return false;
    }
    *device = Narrow(DevicePathOf(name));
    return true;
}

bool CallExtentDisks(void*, const std::string& device, std::vector<uint32_t>* disks, std::string* error) {
    HANDLE handle = OpenDevice(Widen(device), 0);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = "cannot open " + device + ": " + LastErrorText();
        return false;
    }
    std::vector<Extent> extents;
    bool answered = ExtentsOf(handle, &extents);
    if (!answered) *error = LastErrorText();
    CloseSafely(&handle);
    disks->clear();
    for (const Extent& extent : extents) disks->push_back(extent.disk);
    return answered;
}

bool CallDeviceNumber(void*, const std::string& device, uint32_t* disk) {
    HANDLE handle = OpenDevice(Widen(device), 0);
    if (handle == INVALID_HANDLE_VALUE) return false;
    bool answered = DeviceNumberOf(handle, disk);
    CloseSafely(&handle);
    return answered;
}

int CallBusType(void*, uint32_t disk) {
    HANDLE handle = OpenDevice(DiskPath(disk), 0);
    if (handle == INVALID_HANDLE_VALUE) return 0;
    STORAGE_PROPERTY_QUERY query = {};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    std::vector<uint8_t> buffer(1024);
    int bus = 0;
    if (Control(handle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buffer.data(), DWORD(buffer.size()))) {
        bus = int(reinterpret_cast<STORAGE_DEVICE_DESCRIPTOR*>(buffer.data())->BusType);
    }
    CloseSafely(&handle);
    return bus;
}

std::vector<std::string> CallRegistryStrings(void*, const std::string& key, const std::string& name) {
    return RegistryStrings(Widen(key).c_str(), Widen(name).c_str());
}

DiskCalls SystemDiskCalls() {
    DiskCalls calls;
    calls.driveKind = CallDriveKind;
    calls.volumeRoot = CallVolumeRoot;
    calls.volumeDevice = CallVolumeDevice;
    calls.extentDisks = CallExtentDisks;
    calls.deviceNumber = CallDeviceNumber;
    calls.busType = CallBusType;
    calls.registryStrings = CallRegistryStrings;
    wchar_t folder[MAX_PATH + 2] = L"";
    if (GetSystemWindowsDirectoryW(folder, MAX_PATH + 1)) calls.windowsFolder = Narrow(folder);
    calls.programPath = Narrow(ProgramPath());
    if (GetTempPathW(MAX_PATH + 2, folder)) calls.temporaryFolder = Narrow(folder);
    calls.logicalDrives = GetLogicalDrives();
    return calls;
}

// ---- The disk as the core's block device

struct PhysicalDisk {
    HANDLE handle = INVALID_HANDLE_VALUE;
    uint32_t number = 0;
    uint32_t sectorSize = 0;
    uint64_t sectorCount = 0;
    uint8_t* buffer = nullptr;  // kTransferBytes, page-aligned
    bool wrote = false;
    std::string failure;        // the refused call, for the final message
};

bool TransferSectors(PhysicalDisk* disk, bool writing, uint64_t first, uint32_t count, uint8_t* bytes) {
    // Nothing is ever read or written outside the disk: the core's arithmetic
    // is checked here, at the last step before the system.
    if (!SectorsWithinDisk(first, count, disk->sectorCount)) {
        disk->failure = std::string(writing ? "write" : "read") + " of sectors " + std::to_string(first) + "+" +
                        std::to_string(count) + " refused: beyond the end of disk " +
                        std::to_string(disk->number) + " (" + std::to_string(disk->sectorCount) + " sectors)";
        return false;
    }
    const uint32_t chunkSectors = kTransferBytes / disk->sectorSize;
    while (count > 0) {
        uint32_t sectors = std::min(count, chunkSectors);
        DWORD bytesWanted = sectors * disk->sectorSize;
        LARGE_INTEGER position;
        position.QuadPart = LONGLONG(first * disk->sectorSize);
        DWORD done = 0;
        bool ok = SetFilePointerEx(disk->handle, position, nullptr, FILE_BEGIN) != 0;
        if (ok && writing) {
            memcpy(disk->buffer, bytes, bytesWanted);
            ok = WriteFile(disk->handle, disk->buffer, bytesWanted, &done, nullptr) != 0;
            disk->wrote = disk->wrote || done > 0;
        } else if (ok) {
            ok = ReadFile(disk->handle, disk->buffer, bytesWanted, &done, nullptr) != 0;
            if (ok && done == bytesWanted) memcpy(bytes, disk->buffer, bytesWanted);
        }
        if (!ok || done != bytesWanted) {
            std::string why = ok ? "the system transferred " + std::to_string(done) + " of " +
                                       std::to_string(bytesWanted) + " bytes"
                                 : LastErrorText();
            disk->failure = std::string(writing ? "writing" : "reading") + " sector " + std::to_string(first) +
                            " of disk " + std::to_string(disk->number) + " failed: " + why;
            return false;
        }
        first += sectors;
        count -= sectors;
        bytes += bytesWanted;
    }
    return true;
}

bool ReadDiskSectors(void* context, uint64_t first, uint32_t count, uint8_t* out) {
    return TransferSectors(static_cast<PhysicalDisk*>(context), false, first, count, out);
}

bool WriteDiskSectors(void* context, uint64_t first, uint32_t count, const uint8_t* data) {
    return TransferSectors(static_cast<PhysicalDisk*>(context), true, first, count, const_cast<uint8_t*>(data));
}

bool OpenPhysicalDisk(uint32_t number, PhysicalDisk* disk, std::string* error) {
    disk->number = number;
    disk->handle = CreateFileW(DiskPath(number).c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH, nullptr);
    if (disk->handle == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        *error = "cannot open disk " + std::to_string(number) + " for writing: " + ErrorText(code) +
                 (code == ERROR_ACCESS_DENIED ? "; writing to a whole disk needs administrator rights" : "");
        return false;
    }
    DISK_GEOMETRY_EX geometry = {};
    GET_LENGTH_INFORMATION length = {};
    bool haveGeometry = Control(disk->handle, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, &geometry,
                                sizeof geometry);
    std::string geometryError = haveGeometry ? "" : LastErrorText();
    bool haveLength = Control(disk->handle, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &length, sizeof length);
    if (!haveGeometry) {
        *error = "cannot read the sector size of disk " + std::to_string(number) + ": " + geometryError;
        return false;
    }
    uint32_t sectorSize = geometry.Geometry.BytesPerSector;
    uint64_t bytes = haveLength ? uint64_t(length.Length.QuadPart) : uint64_t(geometry.DiskSize.QuadPart);
    if (sectorSize < 512 || sectorSize > 4096 || (sectorSize & (sectorSize - 1)) != 0) {
        *error = "disk " + std::to_string(number) + " reports " + std::to_string(sectorSize) +
                 "-byte sectors, which this tool does not handle";
        return false;
    }
    if (bytes / sectorSize == 0) {
        *error = "disk " + std::to_string(number) + " reports no size (is a medium inserted?)";
        return false;
    }
    disk->sectorSize = sectorSize;
    disk->sectorCount = bytes / sectorSize;
    disk->buffer = static_cast<uint8_t*>(VirtualAlloc(nullptr, kTransferBytes, MEM_COMMIT | MEM_RESERVE,
                                                      PAGE_READWRITE));
    if (disk->buffer == nullptr) {
        *error = "no memory for the transfer buffer: " + LastErrorText();
        return false;
    }
    return true;
}

void ClosePhysicalDisk(PhysicalDisk* disk) {
    CloseSafely(&disk->handle);
    if (disk->buffer != nullptr) VirtualFree(disk->buffer, 0, MEM_RELEASE);
    disk->buffer = nullptr;
}

// ---- Locks

struct LockedVolume {
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::string name;
};

std::string VolumeDisplayName(const std::wstring& volumeName) {
    std::vector<char> letters = LettersOfVolume(volumeName);
    return letters.empty() ? Narrow(DevicePathOf(volumeName)) + " (no drive letter)" : LettersText(letters);
}

// Locks the volume for this process alone and takes its file system off it,
// so that nothing the system caches is written back over the new contents.
// A volume in use (an open file, an Explorer window) refuses the lock for a
// while; the tool waits several seconds before naming it.
bool LockAndDismount(const std::wstring& device, const std::string& name, LockedVolume* locked,
                     std::string* error) {
    locked->name = name;
    locked->handle = OpenDevice(device, GENERIC_READ | GENERIC_WRITE);
    if (locked->handle == INVALID_HANDLE_VALUE) {
        *error = name + " can't be opened to lock it (" + LastErrorText() + ")";
        return false;
    }
    ULONGLONG deadline = GetTickCount64() + kLockMilliseconds;
    while (!Control(locked->handle, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0)) {
        DWORD code = GetLastError();
        if (GetTickCount64() >= deadline) {
            *error = name + " can't be locked, tried for " + std::to_string(kLockMilliseconds / 1000) + " s (" +
                     ErrorText(code) + ")" +
                     (code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION
                          ? ": a program or window still has files open on it"
                          : "");
            CloseSafely(&locked->handle);
            return false;
        }
        Sleep(kPollMilliseconds);
    }
    if (!Control(locked->handle, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0)) {
        *error = name + " can't be dismounted (" + LastErrorText() + ")";
        CloseSafely(&locked->handle);
        return false;
    }
    return true;
}

void ReleaseLocks(std::vector<LockedVolume>* locks) {
    for (LockedVolume& locked : *locks) CloseSafely(&locked.handle);
    locks->clear();
}

// Every volume of the disk, and the letter's own volume even when the
// system lists it under no disk.
bool LockDiskVolumes(uint32_t disk, char letter, std::vector<LockedVolume>* locks, std::string* error) {
    std::vector<std::wstring> devices;
    std::vector<std::string> names;
    for (const VolumeOnDisk& volume : VolumesOnDisk(disk)) {
        devices.push_back(DevicePathOf(volume.name));
        names.push_back(VolumeDisplayName(volume.name));
    }
    const std::wstring root = std::wstring(1, wchar_t(letter)) + L":\\";
    wchar_t letterVolume[MAX_PATH + 1] = L"";
    std::wstring letterDevice = GetVolumeNameForVolumeMountPointW(root.c_str(), letterVolume, MAX_PATH + 1)
                                    ? DevicePathOf(letterVolume)
                                    : L"\\\\.\\" + root.substr(0, 2);
    if (std::find(devices.begin(), devices.end(), letterDevice) == devices.end()) {
        devices.push_back(letterDevice);
        names.push_back(std::string(1, letter) + ":");
    }
    for (size_t i = 0; i < devices.size(); ++i) {
        LockedVolume locked;
        if (!LockAndDismount(devices[i], names[i], &locked, error)) {
            ReleaseLocks(locks);
            return false;
        }
        locks->push_back(locked);
    }
    return true;
}

// ---- The hooks the core calls

struct FrontState {
    PhysicalDisk* disk = nullptr;
    char letter = 0;
    bool removable = false;
    bool layoutApplied = false;
    uint64_t partitionOffset = 0;
    uint64_t efiOffset = 0;           // the UEFI loaders' partition; 0: none
    std::vector<LockedVolume> locks;  // the disk's volumes from before the work
    LockedVolume newVolume;           // the new partition's volume while the core writes it
    LockedVolume efiVolume;           // the UEFI loaders' volume while the core writes it
};

std::string DiskName(const FrontState* state) { return "disk " + std::to_string(state->disk->number); }

uint32_t NewDiskSignature(void*) {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    uint32_t signature = uint32_t(counter.QuadPart) ^ uint32_t(uint64_t(counter.QuadPart) >> 32) ^
                         (GetCurrentProcessId() << 16) ^ uint32_t(GetTickCount64());
    // A few rounds of a 32-bit mixer so that runs a moment apart differ widely.
    signature ^= signature >> 16;
    signature *= 0x7feb352dU;
    signature ^= signature >> 15;
    signature *= 0x846ca68bU;
    signature ^= signature >> 16;
    return signature == 0 ? 0x4452564bU : signature;
}

// Waits for the system to make a volume of a new partition and locks it: a
// partition at an old volume's place may be mounted with the stale file
// system found there, and Windows refuses raw writes inside a mounted volume.
void LockNewVolume(const FrontState* state, uint64_t offset, ULONGLONG waitMilliseconds, LockedVolume* locked) {
    ULONGLONG deadline = GetTickCount64() + waitMilliseconds;
    std::wstring volumeName;
    while (!FindVolumeAt(state->disk->number, offset, &volumeName)) {
        if (GetTickCount64() >= deadline) return;  // no volume: nothing blocks the writes
        Sleep(kPollMilliseconds);
    }
    std::string ignored;
    LockAndDismount(DevicePathOf(volumeName), VolumeDisplayName(volumeName), locked, &ignored);
}

// The UEFI loaders' partition is for the firmware alone: a letter on it would
// show the user a second, tiny drive. Windows mounts no volume for type 0xEF
// as a rule; this takes away a letter that it gave all the same.
void KeepEfiVolumeWithoutLetter(const FrontState* state) {
    if (state->efiOffset == 0) return;
    ULONGLONG deadline = GetTickCount64() + 2000;
    std::wstring volumeName;
    while (!FindVolumeAt(state->disk->number, state->efiOffset, &volumeName)) {
        if (GetTickCount64() >= deadline) return;
        Sleep(kPollMilliseconds);
    }
    for (char letter : LettersOfVolume(volumeName)) {
        const std::wstring root = std::wstring(1, wchar_t(letter)) + L":\\";
        DeleteVolumeMountPointW(root.c_str());
    }
}

bool ApplyLayout(void* context, const PartitionLayout& layout, std::string* error) {
    FrontState* state = static_cast<FrontState*>(context);
    PhysicalDisk* disk = state->disk;
    CREATE_DISK create = {};
    create.PartitionStyle = PARTITION_STYLE_MBR;
    create.Mbr.Signature = layout.diskSignature;
    // Creating the disk afresh also drops a GPT the system may still hold.
    if (!Control(disk->handle, IOCTL_DISK_CREATE_DISK, &create, sizeof create, nullptr, 0)) {
        *error = "the system refused a new partition table on " + DiskName(state) + ": " + LastErrorText();
        return false;
    }
    disk->wrote = true;
    const size_t entries = 4;  // an MBR layout is given as whole groups of four
    std::vector<uint8_t> buffer(offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) +
                                entries * sizeof(PARTITION_INFORMATION_EX));
    auto* drive = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
    drive->PartitionStyle = PARTITION_STYLE_MBR;
    drive->PartitionCount = DWORD(entries);
    drive->Mbr.Signature = layout.diskSignature;
    for (size_t i = 0; i < entries; ++i) {
        PARTITION_INFORMATION_EX& entry = drive->PartitionEntry[i];
        entry.PartitionStyle = PARTITION_STYLE_MBR;
        entry.RewritePartition = TRUE;
    }
    PARTITION_INFORMATION_EX& first = drive->PartitionEntry[0];
    first.StartingOffset.QuadPart = LONGLONG(layout.firstSector * disk->sectorSize);
    first.PartitionLength.QuadPart = LONGLONG(layout.sectorCount * disk->sectorSize);
    first.PartitionNumber = 1;
    first.Mbr.PartitionType = layout.typeCode;
    first.Mbr.BootIndicator = TRUE;
    first.Mbr.RecognizedPartition = TRUE;
    first.Mbr.HiddenSectors = DWORD(layout.firstSector);
    if (layout.efiSectorCount != 0) {
        PARTITION_INFORMATION_EX& efi = drive->PartitionEntry[1];
        efi.StartingOffset.QuadPart = LONGLONG(layout.efiFirstSector * disk->sectorSize);
        efi.PartitionLength.QuadPart = LONGLONG(layout.efiSectorCount * disk->sectorSize);
        efi.PartitionNumber = 2;
        efi.Mbr.PartitionType = 0xEF;
        efi.Mbr.BootIndicator = FALSE;
        efi.Mbr.RecognizedPartition = FALSE;
        efi.Mbr.HiddenSectors = DWORD(layout.efiFirstSector);
    }
    if (!Control(disk->handle, IOCTL_DISK_SET_DRIVE_LAYOUT_EX, drive, DWORD(buffer.size()), nullptr, 0)) {
        *error = "the system refused the partition layout of " + DiskName(state) + ": " + LastErrorText();
        return false;
    }
    if (!Control(disk->handle, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0)) {
        *error = "the system did not take up the new layout of " + DiskName(state) + ": " + LastErrorText();
        return false;
    }
    state->layoutApplied = true;
    state->partitionOffset = layout.firstSector * disk->sectorSize;
    state->efiOffset = layout.efiFirstSector * disk->sectorSize;
    LockNewVolume(state, state->partitionOffset, kVolumeArrivalMilliseconds / 2, &state->newVolume);
    // The core writes the loaders' partition right after this; Windows may
    // mount it only briefly, if at all.
    if (state->efiOffset != 0) LockNewVolume(state, state->efiOffset, 2000, &state->efiVolume);
    return true;
}

// Gives the new partition's volume the letter the command named, taking the
// letter from a stale mount point and any other letter from the volume.
bool MountAgainUnderLetter(const FrontState* state, std::string* error) {
    const std::wstring root = std::wstring(1, wchar_t(state->letter)) + L":\\";
    ULONGLONG deadline = GetTickCount64() + kVolumeArrivalMilliseconds;
    std::string lastFailure = "the new partition's volume did not appear";
    for (;;) {
        std::wstring volumeName;
        if (FindVolumeAt(state->disk->number, state->partitionOffset, &volumeName)) {
            RemountFacts facts;
            facts.letter = state->letter;
            facts.newVolumeLetters = LettersOfVolume(volumeName);
            wchar_t current[MAX_PATH + 1] = L"";
            facts.letterTaken = GetVolumeNameForVolumeMountPointW(root.c_str(), current, MAX_PATH + 1) != 0;
            if (facts.letterTaken) {
                std::vector<uint32_t> disks;
                std::string ignored;
                // A volume that can't be found any more is the old one of this disk.
                facts.letterOnTargetDisk = !DisksOfVolumeDevice(SystemDiskCalls(), Narrow(DevicePathOf(current)),
                                                                &disks, &ignored) ||
                                           std::find(disks.begin(), disks.end(), state->disk->number) != disks.end();
            }
            RemountPlan plan = PlanRemount(facts);
            if (plan.done) return true;
            if (plan.refused) {
                *error = plan.reason;
                return false;
            }
            bool ok = true;
            if (plan.freeLetter && !DeleteVolumeMountPointW(root.c_str())) {
                ok = false;
                lastFailure =
                    Narrow(root.substr(0, 2)) + " can't be taken from its old volume (" + LastErrorText() + ")";
            }
            for (char other : plan.lettersToRemove) {
                const std::wstring otherRoot = std::wstring(1, wchar_t(other)) + L":\\";
                if (ok && !DeleteVolumeMountPointW(otherRoot.c_str())) {
                    ok = false;
                    lastFailure =
                        std::string(1, other) + ": can't be taken from the new volume (" + LastErrorText() + ")";
                }
            }
            if (ok && !SetVolumeMountPointW(root.c_str(), volumeName.c_str())) {
                lastFailure = "the new volume can't be given the letter " + Narrow(root.substr(0, 2)) + " (" +
                              LastErrorText() + ")";
            }
        }
        if (GetTickCount64() >= deadline) {
            *error = lastFailure;
            return false;
        }
        Sleep(kPollMilliseconds);
    }
}

// ---- The system's formatter, fmifs.dll, loaded at run time

// Packet types of the formatter's progress callback.
enum FormatPacket {
    kFormatIncompatibleFileSystem = 3,
    kFormatIncompatibleMedia = 5,
    kFormatAccessDenied = 6,
    kFormatWriteProtected = 7,
    kFormatCantLock = 8,
    kFormatCantQuickFormat = 9,
    kFormatIoError = 10,
    kFormatFinished = 11,
    kFormatBadLabel = 12,
};
constexpr DWORD kFormatRemovableMedia = 0x0B;
constexpr DWORD kFormatFixedMedia = 0x0C;

typedef BOOLEAN(WINAPI* FormatCallback)(int packet, DWORD subAction, void* information);
typedef VOID(WINAPI* FormatExProcedure)(PWCHAR root, DWORD media, PWCHAR fileSystem, PWCHAR label, BOOL quick,
                                        DWORD clusterSize, FormatCallback callback);

// The callback has no context argument; one format runs at a time.
struct FormatOutcome {
    bool finished = false;
    bool success = false;
    std::string problem;
} g_formatOutcome;

BOOLEAN WINAPI OnFormatPacket(int packet, DWORD, void* information) {
    switch (packet) {
        case kFormatFinished:
            g_formatOutcome.finished = true;
            g_formatOutcome.success = information != nullptr && *static_cast<BOOLEAN*>(information) != 0;
            break;
        case kFormatIncompatibleFileSystem: g_formatOutcome.problem = "file system not supported here"; break;
        case kFormatIncompatibleMedia: g_formatOutcome.problem = "the medium does not take this file system"; break;
        case kFormatAccessDenied: g_formatOutcome.problem = "access denied"; break;
        case kFormatWriteProtected: g_formatOutcome.problem = "the medium is write-protected"; break;
        case kFormatCantLock: g_formatOutcome.problem = "the volume is in use and can't be locked"; break;
        case kFormatCantQuickFormat: g_formatOutcome.problem = "a quick format is not possible"; break;
        case kFormatIoError: g_formatOutcome.problem = "a read or write error"; break;
        case kFormatBadLabel: g_formatOutcome.problem = "the label was refused"; break;
        default: break;
    }
    return TRUE;
}

bool FormatWithSystem(void* context, FileSystem fileSystem, const PartitionLayout&, std::string* error) {
    FrontState* state = static_cast<FrontState*>(context);
    const wchar_t* name = fileSystem == FileSystem::Ntfs ? L"NTFS" : fileSystem == FileSystem::Exfat ? L"exFAT"
                                                                                                    : L"FAT32";
    HMODULE library = LoadLibraryW(L"fmifs.dll");
    if (library == nullptr) {
        *error = "the system's formatter (fmifs.dll) is not available, so " + Narrow(name) +
                 " can't be formatted here: " + LastErrorText();
        return false;
    }
    auto formatEx = reinterpret_cast<FormatExProcedure>(reinterpret_cast<void*>(GetProcAddress(library, "FormatEx")));
    if (formatEx == nullptr) {
        *error = "the system's formatter (fmifs.dll) has no FormatEx: " + LastErrorText();
        FreeLibrary(library);
        return false;
    }
    // The formatter locks the volume itself and finds it by its letter. The
    // old locks go too: the system may have kept an old volume for the new
    // partition when its place did not change.
    CloseSafely(&state->newVolume.handle);
    ReleaseLocks(&state->locks);
    if (!MountAgainUnderLetter(state, error)) {
        FreeLibrary(library);
        return false;
    }
    std::wstring root = std::wstring(1, wchar_t(state->letter)) + L":\\";
    std::wstring fileSystemName = name;
    std::wstring label;
    g_formatOutcome = FormatOutcome();
    formatEx(&root[0], state->removable ? kFormatRemovableMedia : kFormatFixedMedia, &fileSystemName[0], &label[0],
             TRUE, 0, OnFormatPacket);
    FreeLibrary(library);
    if (g_formatOutcome.finished && g_formatOutcome.success) return true;
    *error = "the system's formatter failed to format " + Narrow(root.substr(0, 2)) + " as " + Narrow(name) +
             (g_formatOutcome.problem.empty() ? "" : ": " + g_formatOutcome.problem);
    return false;
}

// Waits until the letter answers with a file system again after the locks
// are gone; returns the file system's name.
bool WaitForFileSystem(char letter, std::string* fileSystem, std::string* error) {
    const std::wstring root = std::wstring(1, wchar_t(letter)) + L":\\";
    ULONGLONG deadline = GetTickCount64() + kVolumeArrivalMilliseconds;
    for (;;) {
        wchar_t name[MAX_PATH + 1] = L"";
        if (GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH + 1)) {
            *fileSystem = Narrow(name);
            return true;
        }
        DWORD code = GetLastError();
        if (GetTickCount64() >= deadline) {
            *error = std::string(1, letter) + ": shows no file system after the work: " + ErrorText(code);
            return false;
        }
        Sleep(kPollMilliseconds);
    }
}

bool SameName(const std::string& a, const char* b) {
    return a.size() == strlen(b) && std::equal(a.begin(), a.end(), b, [](char x, char y) {
               return toupper(static_cast<unsigned char>(x)) == toupper(static_cast<unsigned char>(y));
           });
}

// The copy operation goes on with the drive letter: the letter must name the
// disk's volume again, with a file system the system mounts.
bool CheckDriveAfterwards(const BootCommand& command, const FrontState* state, std::string* fileSystem,
                          std::string* error) {
    const char letter = state->letter;
    if (command.form == CommandForm::Partitions) {
        if (!MountAgainUnderLetter(state, error) || !WaitForFileSystem(letter, fileSystem, error)) return false;
        if (!SameName(*fileSystem, FileSystemName(command.fileSystem))) {
            *error = std::string(1, letter) + ": shows " + *fileSystem + " instead of the new " +
                     FileSystemName(command.fileSystem);
            return false;
        }
        return true;
    }
    // A new partition boot record must still be one the system mounts.
    if (command.form == CommandForm::PartitionBootRecord) return WaitForFileSystem(letter, fileSystem, error);
    // The master boot code leaves the volumes alone, whatever they hold.
    const std::wstring root = std::wstring(1, wchar_t(letter)) + L":\\";
    wchar_t volumeName[MAX_PATH + 1] = L"";
    ULONGLONG deadline = GetTickCount64() + kVolumeArrivalMilliseconds;
    while (!GetVolumeNameForVolumeMountPointW(root.c_str(), volumeName, MAX_PATH + 1)) {
        if (GetTickCount64() >= deadline) {
            *error = std::string(1, letter) + ": did not come back: " + LastErrorText();
            return false;
        }
        Sleep(kPollMilliseconds);
    }
    return true;
}

}  // namespace

void GatherSystemDiskFacts(char letter, DiskFacts* facts) { GatherDiskFacts(letter, SystemDiskCalls(), facts); }

namespace {

// The work on the opened disk; the caller closes it.
DiskRunResult RunOnOpenDisk(const BootCommand& command, const DiskFacts& facts, PhysicalDisk* disk) {
    DiskRunResult result;
    std::string error;
    FrontState state;
    if (!LockDiskVolumes(disk->number, facts.letter, &state.locks, &error)) {
        result.exitCode = kExitNoAccess;
        result.message = error;
        return result;
    }
    state.disk = disk;
    state.letter = facts.letter;
    state.removable = facts.driveKind == DriveKind::Removable;
    BlockDevice device;
    device.sectorCount = disk->sectorCount;
    device.sectorSize = disk->sectorSize;
    device.context = disk;
    device.read = ReadDiskSectors;
    device.write = WriteDiskSectors;
    FrontHooks hooks;
    hooks.context = &state;
    hooks.applyLayout = ApplyLayout;
    hooks.formatWithSystem = FormatWithSystem;
    hooks.newDiskSignature = NewDiskSignature;

    std::string coreMessage;
    bool ok = RunBootCommand(command, &device, hooks, &coreMessage);
    CloseSafely(&state.newVolume.handle);
    CloseSafely(&state.efiVolume.handle);
    ReleaseLocks(&state.locks);
    // The core may have changed the table in sector 0 (the active flag, the
    // boot code); the system rereads it so that it does not act on a stale copy.
    if (disk->wrote) Control(disk->handle, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0);
    const std::string diskName = "disk " + std::to_string(disk->number);
    const std::string drive = std::string(1, facts.letter) + ":";
    if (!ok) {
        result.exitCode = kExitFailed;
        result.message = coreMessage.empty() ? "the work on " + diskName + " failed" : coreMessage;
        if (!disk->failure.empty() && coreMessage.find(disk->failure) == std::string::npos) {
            result.message += " (" + disk->failure + ")";
        }
        if (disk->wrote) result.message += "; " + diskName + " was changed and is left incomplete";
        return result;
    }
    KeepEfiVolumeWithoutLetter(&state);
    std::string fileSystem;
    if (!CheckDriveAfterwards(command, &state, &fileSystem, &error)) {
        result.exitCode = kExitFailed;
        result.message = (coreMessage.empty() ? std::string("the work is done") : coreMessage) + ", but " + error;
        return result;
    }
    result.exitCode = kExitDone;
    result.report = drive + " is on " + diskName + ": " + SizeText(disk->sectorCount * disk->sectorSize) + ", " +
                    std::to_string(disk->sectorSize) + "-byte sectors\r\n";
    if (!coreMessage.empty()) result.report += coreMessage + "\r\n";
    if (!fileSystem.empty()) result.report += drive + " is mounted again as " + fileSystem + "\r\n";
    result.message = "done on " + drive + " (" + diskName + ")";
    return result;
}

}  // namespace

DiskRunResult RunOnDisk(const BootCommand& command, const DiskFacts& facts) {
    DiskRunResult result;
    PhysicalDisk disk;
    if (OpenPhysicalDisk(facts.diskNumber, &disk, &result.message)) {
        result = RunOnOpenDisk(command, facts, &disk);
    } else {
        result.exitCode = kExitNoAccess;
    }
    ClosePhysicalDisk(&disk);
    return result;
}
