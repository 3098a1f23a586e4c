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


// ---- The volume calls of the writing path

void* CallOpenVolume(void*, const std::string& device, std::string* error) {
    HANDLE handle = OpenDevice(Widen(device), GENERIC_READ | GENERIC_WRITE);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = LastErrorText();
        return nullptr;
    }
    return handle;
}

bool CallLockVolume(void*, void* volume, std::string* error) {
    if (Control(static_cast<HANDLE>(volume), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0)) return true;
    *error = LastErrorText();
    return false;
}

bool CallDismountVolume(void*, void* volume, std::string* error) {
    if (Control(static_cast<HANDLE>(volume), FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0)) return true;
    *error = LastErrorText();
    return false;
}

void CallCloseVolume(void*, void* volume) { CloseHandle(static_cast<HANDLE>(volume)); }

// Every letter is asked, not the volume list: the list leaves out ESP-type
// partitions, which may carry a letter all the same.
std::vector<char> CallLettersAt(void*, uint32_t disk, uint64_t offset) {
    std::vector<char> letters;
    DWORD drives = GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
        if ((drives & (1u << i)) == 0) continue;
        const char letter = char('A' + i);
        HANDLE handle = OpenDevice(L"\\\\.\\" + std::wstring(1, wchar_t(letter)) + L":", 0);
        if (handle == INVALID_HANDLE_VALUE) continue;
        std::vector<Extent> extents;
        if (ExtentsOf(handle, &extents) && extents.size() == 1 && extents[0].disk == disk &&
            extents[0].offset == offset) {
            letters.push_back(letter);
        }
        CloseSafely(&handle);
    }
    return letters;
}

bool CallVolumeNameAt(void*, uint32_t disk, uint64_t offset, std::string* name) {
    std::wstring found;
    if (!FindVolumeAt(disk, offset, &found)) return false;
    *name = Narrow(found);
    return true;
}

bool CallVolumeOfLetter(void*, char letter, std::string* name) {
    const std::wstring root = std::wstring(1, wchar_t(letter)) + L":\\";
    wchar_t volume[MAX_PATH + 1] = L"";
    if (!GetVolumeNameForVolumeMountPointW(root.c_str(), volume, MAX_PATH + 1)) return false;
    *name = Narrow(volume);
    return true;
}

bool CallRemoveLetter(void*, char letter, std::string* error) {
    const std::wstring root = std::wstring(1, wchar_t(letter)) + L":\\";
    if (DeleteVolumeMountPointW(root.c_str())) return true;
    *error = LastErrorText();
    return false;
}

bool CallSetLetter(void*, char letter, const std::string& volumeName, std::string* error) {
    const std::wstring root = std::wstring(1, wchar_t(letter)) + L":\\";
    if (SetVolumeMountPointW(root.c_str(), Widen(volumeName).c_str())) return true;
    *error = LastErrorText();
    return false;
}

bool CallFileSystemOf(void*, const std::string& root, std::string* fileSystem, std::string* error) {
    wchar_t name[MAX_PATH + 1] = L"";
    if (!GetVolumeInformationW(Widen(root).c_str(), nullptr, 0, nullptr, nullptr, nullptr, name, MAX_PATH + 1)) {
        *error = LastErrorText();
        return false;
    }
    *fileSystem = Narrow(name);
    return true;
}

// ---- The system's formatter, fmifs.dll, loaded from System32 only

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

constexpr int kFormatFinished = 11;
constexpr DWORD kFormatRemovableMedia = 0x0B;
constexpr DWORD kFormatFixedMedia = 0x0C;

typedef BOOLEAN(WINAPI* FormatCallback)(int packet, DWORD subAction, void* information);
typedef VOID(WINAPI* FormatExProcedure)(PWCHAR root, DWORD media, PWCHAR fileSystem, PWCHAR label, BOOL quick,
                                        DWORD clusterSize, FormatCallback callback);

// The callback has no context argument; one format runs at a time.
struct FormatOutcome {
    bool finished = false;
    bool success = false;
    int problem = 0;
} g_formatOutcome;

BOOLEAN WINAPI OnFormatPacket(int packet, DWORD, void* information) {
    if (packet == kFormatFinished) {
        g_formatOutcome.finished = true;
        g_formatOutcome.success = information != nullptr && *static_cast<BOOLEAN*>(information) != 0;
    } else if (packet == 3 || (packet >= 5 && packet <= 10) || packet == 12) {
        // The problems FormatProblemOf names; the last one is reported.
        g_formatOutcome.problem = packet;
    }
    return TRUE;
}

bool CallFormat(void*, const std::string& volumeName, const std::string& fileSystem, bool removable, int* packet,
                std::string* error) {
    // The folder this tool runs from is writable by the user: a planted
    // fmifs.dll there must never be loaded with administrator rights.
    HMODULE library = LoadLibraryExW(L"fmifs.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (library == nullptr) {
        *error = "the system's formatter (fmifs.dll) is not available: " + LastErrorText();
        return false;
    }
    auto formatEx = reinterpret_cast<FormatExProcedure>(reinterpret_cast<void*>(GetProcAddress(library, "FormatEx")));
    if (formatEx == nullptr) {
        *error = "the system's formatter (fmifs.dll) has no FormatEx: " + LastErrorText();
        FreeLibrary(library);
        return false;
    }
    std::wstring root = Widen(volumeName);
    std::wstring name = Widen(fileSystem);
    std::wstring label;
    g_formatOutcome = FormatOutcome();
    formatEx(&root[0], removable ? kFormatRemovableMedia : kFormatFixedMedia, &name[0], &label[0], TRUE, 0,
             OnFormatPacket);
    FreeLibrary(library);
    *packet = g_formatOutcome.problem;
    return g_formatOutcome.finished && g_formatOutcome.success;
}

// AutoPlay's own switch for this user ("Use AutoPlay for all media and
// devices"), as the control panel writes it; put back as it was.
const wchar_t kAutoPlayKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\AutoplayHandlers";
struct AutoPlaySetting {
    bool held = false;
    bool existed = false;
    DWORD value = 0;
} g_autoPlay;

void CallHoldAutoPlay(void*, bool hold) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kAutoPlayKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return;
    }
    if (hold && !g_autoPlay.held) {
        DWORD size = sizeof g_autoPlay.value;
        DWORD type = 0;
        g_autoPlay.existed = RegQueryValueExW(key, L"DisableAutoplay", nullptr, &type,
                                              reinterpret_cast<BYTE*>(&g_autoPlay.value), &size) == ERROR_SUCCESS &&
                             type == REG_DWORD;
        DWORD off = 1;
        g_autoPlay.held = RegSetValueExW(key, L"DisableAutoplay", 0, REG_DWORD, reinterpret_cast<BYTE*>(&off),
                                         sizeof off) == ERROR_SUCCESS;
    } else if (!hold && g_autoPlay.held) {
        if (g_autoPlay.existed) {
            RegSetValueExW(key, L"DisableAutoplay", 0, REG_DWORD, reinterpret_cast<BYTE*>(&g_autoPlay.value),
                           sizeof g_autoPlay.value);
        } else {
            RegDeleteValueW(key, L"DisableAutoplay");
        }
        g_autoPlay.held = false;
    }
    RegCloseKey(key);
}

void CallPause(void*, uint32_t milliseconds) { Sleep(milliseconds); }

}  // namespace

FrontCalls SystemFrontCalls() {
    FrontCalls calls;
    calls.guard = SystemDiskCalls();
    VolumeCalls& volumes = calls.volumes;
    volumes.open = CallOpenVolume;
    volumes.lock = CallLockVolume;
    volumes.dismount = CallDismountVolume;
    volumes.close = CallCloseVolume;
    volumes.lettersAt = CallLettersAt;
    volumes.volumeNameAt = CallVolumeNameAt;
    volumes.volumeOfLetter = CallVolumeOfLetter;
    volumes.removeLetter = CallRemoveLetter;
    volumes.setLetter = CallSetLetter;
    volumes.fileSystemOf = CallFileSystemOf;
    volumes.format = CallFormat;
    volumes.holdAutoPlay = CallHoldAutoPlay;
    volumes.pause = CallPause;
    return calls;
}

namespace {
// ---- The disk as the core's block device

struct PhysicalDisk {
    HANDLE handle = INVALID_HANDLE_VALUE;
    uint32_t number = 0;
    uint32_t sectorSize = 0;
    uint64_t sectorCount = 0;
    uint8_t* buffer = nullptr;  // kTransferBytes, page-aligned
    bool wrote = false;
    std::string failure;        // the refused call, for the final message
    const VolumeCalls* calls = nullptr;
};

// One transfer at a byte offset given in the OVERLAPPED: a disk handle needs
// no file position, and a virtual disk has none to set.
bool TransferOnce(PhysicalDisk* disk, bool writing, uint64_t first, DWORD bytes, DWORD* done) {
    OVERLAPPED at = {};
    const uint64_t offset = first * disk->sectorSize;
    at.Offset = DWORD(offset);
    at.OffsetHigh = DWORD(offset >> 32);
    *done = 0;
    return writing ? WriteFile(disk->handle, disk->buffer, bytes, done, &at) != 0
                   : ReadFile(disk->handle, disk->buffer, bytes, done, &at) != 0;
}

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
        if (writing) memcpy(disk->buffer, bytes, bytesWanted);
        DWORD done = 0;
        bool ok = false;
        // USB sticks and hubs report passing errors: a few tries before giving up.
        int attempt = 1;
        for (;; ++attempt) {
            ok = TransferOnce(disk, writing, first, bytesWanted, &done) && done == bytesWanted;
            if (ok || attempt >= kTransferRetry.attempts || !TransferErrorPasses(ok ? 0 : GetLastError())) break;
            disk->calls->pause(disk->calls->context, kTransferRetry.pauseMilliseconds);
        }
        disk->wrote = disk->wrote || (writing && done > 0);
        if (!ok) {
            std::string why = done != 0 ? "the system transferred " + std::to_string(done) + " of " +
                                              std::to_string(bytesWanted) + " bytes"
                                        : LastErrorText();
            disk->failure = std::string(writing ? "writing" : "reading") + " sector " + std::to_string(first) +
                            " of disk " + std::to_string(disk->number) + " failed" +
                            (attempt > 1 ? " after " + std::to_string(attempt) + " tries" : std::string()) + ": " +
                            why;
            return false;
        }
        if (!writing) memcpy(bytes, disk->buffer, bytesWanted);
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

// The partitions of the disk's table, as the system holds it.
std::vector<DiskPartition> PartitionsOf(PhysicalDisk* disk) {
    std::vector<DiskPartition> partitions;
    std::vector<uint8_t> buffer(offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) +
                                128 * sizeof(PARTITION_INFORMATION_EX));
    if (!Control(disk->handle, IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, buffer.data(), DWORD(buffer.size()))) {
        return partitions;
    }
    const auto* layout = reinterpret_cast<const DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
    for (DWORD i = 0; i < layout->PartitionCount && i < 128; ++i) {
        const PARTITION_INFORMATION_EX& entry = layout->PartitionEntry[i];
        if (entry.PartitionNumber == 0) continue;  // an unused entry
        DiskPartition partition;
        partition.number = entry.PartitionNumber;
        partition.offset = uint64_t(entry.StartingOffset.QuadPart);
        // A GPT disk names no type byte; any non-zero value marks the entry used.
        partition.type = entry.PartitionStyle == PARTITION_STYLE_MBR ? entry.Mbr.PartitionType : 0xEE;
        partitions.push_back(partition);
    }
    return partitions;
}

// ---- Clearing volumes: letters off, locked, or at least dismounted

struct ClearedVolume {
    void* handle = nullptr;
    std::string name;
};

struct TakenLetter {
    char letter = 0;
    std::string volumeName;
};

struct FrontState {
    const FrontCalls* calls = nullptr;
    PhysicalDisk* disk = nullptr;
    char letter = 0;
    bool removable = false;
    bool layoutApplied = false;
    uint64_t partitionOffset = 0;        // the letter's partition (partition 1 after a new layout)
    uint64_t efiOffset = 0;              // the UEFI loaders' partition; 0: none
    std::vector<ClearedVolume> cleared;  // held while the core writes
    std::vector<TakenLetter> taken;      // letters taken for the run, with their old volumes
    std::vector<std::string> notes;      // who was in the way, for the report
};

const VolumeCalls& Volumes(const FrontState* state) { return state->calls->volumes; }

std::string DiskName(const FrontState* state) { return "disk " + std::to_string(state->disk->number); }

void ReleaseCleared(FrontState* state) {
    for (ClearedVolume& volume : state->cleared) Volumes(state).close(Volumes(state).context, volume.handle);
    state->cleared.clear();
}

// Takes |letter| off its volume for the run, remembering the volume.
void TakeLetter(FrontState* state, char letter) {
    const VolumeCalls& calls = Volumes(state);
    TakenLetter taken;
    taken.letter = letter;
    if (!calls.volumeOfLetter(calls.context, letter, &taken.volumeName)) return;
    std::string error;
    if (calls.removeLetter(calls.context, letter, &error)) {
        state->taken.push_back(taken);
    } else {
        state->notes.push_back(std::string(1, letter) + ": could not be taken off its volume (" + error + ")");
    }
}

// Gives the taken letters back to the volumes they named, when the run ends
// before anything was written.
void GiveLettersBack(FrontState* state) {
    const VolumeCalls& calls = Volumes(state);
    for (const TakenLetter& taken : state->taken) {
        std::string ignored;
        calls.setLetter(calls.context, taken.letter, taken.volumeName, &ignored);
    }
    state->taken.clear();
}

// Opens a partition through its device path (which the system makes a moment
// after a new layout), locks it or at least dismounts it, and keeps it so.
bool ClearVolume(FrontState* state, const std::string& device, const std::string& name, bool waitForDevice,
                 std::string* refusal) {
    const VolumeCalls& calls = Volumes(state);
    std::string error;
    void* handle = nullptr;
    for (int attempt = 1; handle == nullptr; ++attempt) {
        handle = calls.open(calls.context, device, &error);
        if (handle != nullptr) break;
        if (!waitForDevice || attempt >= kLockRetry.attempts) {
            *refusal = name + " can't be opened (" + device + ": " + error + ")";
            return false;
        }
        calls.pause(calls.context, kLockRetry.pauseMilliseconds);
    }
    std::string lockError;
    bool locked = false;
    for (int attempt = 1; !locked; ++attempt) {
        locked = calls.lock(calls.context, handle, &lockError);
        if (locked || attempt >= kLockRetry.attempts) break;
        calls.pause(calls.context, kLockRetry.pauseMilliseconds);
    }
    std::string dismountError;
    bool dismounted = calls.dismount(calls.context, handle, &dismountError);
    ClearVerdict verdict = DecideVolumeClear(name, locked, lockError, dismounted, dismountError);
    if (!verdict.mayWrite) {
        calls.close(calls.context, handle);
        *refusal = verdict.refusal;
        return false;
    }
    if (!verdict.note.empty()) state->notes.push_back(verdict.note);
    // The dismount closed the other program's files: the lock may be had now,
    // and it keeps that program from mounting the volume again meanwhile.
    if (!locked) calls.lock(calls.context, handle, &lockError);
    state->cleared.push_back({handle, name});
    return true;
}

// A new partition's device appears a moment after the layout call.
bool ClearPartition(FrontState* state, uint32_t number, bool isNew, std::string* refusal) {
    return ClearVolume(state, PartitionDevicePath(state->disk->number, number),
                       "partition " + std::to_string(number) + " of " + DiskName(state), isNew, refusal);
}

// Dismounts the kept volumes once more after the core's writes, so that
// whatever the system mounted or cached before is read afresh.
void DismountCleared(FrontState* state) {
    const VolumeCalls& calls = Volumes(state);
    for (ClearedVolume& volume : state->cleared) {
        std::string ignored;
        calls.dismount(calls.context, volume.handle, &ignored);
    }
}

// ---- The hooks the core calls

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
    state->efiOffset = layout.efiSectorCount != 0 ? layout.efiFirstSector * disk->sectorSize : 0;
    // The old volumes are gone with the old table. The new ones may be
    // mounted RAW at once, and a window may open on them: before the core
    // writes a byte into them they lose any letter and are locked, or at
    // least dismounted; else nothing is written.
    ReleaseCleared(state);
    const VolumeCalls& calls = Volumes(state);
    for (uint32_t number = 1; number <= (state->efiOffset != 0 ? 2u : 1u); ++number) {
        if (!ClearPartition(state, number, true, error)) {
            *error = "nothing was written into the new partitions: " + *error;
            return false;
        }
        uint64_t offset = number == 1 ? state->partitionOffset : state->efiOffset;
        for (char letter : calls.lettersAt(calls.context, disk->number, offset)) TakeLetter(state, letter);
    }
    return true;
}

// The volume at |offset| once the system has made it.
bool WaitForVolumeAt(const FrontState* state, uint64_t offset, std::string* volumeName) {
    const VolumeCalls& calls = Volumes(state);
    for (int attempt = 1;; ++attempt) {
        if (calls.volumeNameAt(calls.context, state->disk->number, offset, volumeName)) return true;
        if (attempt >= kArrivalRetry.attempts) return false;
        calls.pause(calls.context, kArrivalRetry.pauseMilliseconds);
    }
}

// NTFS and exFAT: the system's formatter, on the new volume by its name. It
// has no letter until it carries its file system, so the shell never offers
// to format a RAW drive in the meantime.
bool FormatWithSystem(void* context, FileSystem fileSystem, const PartitionLayout&, std::string* error) {
    FrontState* state = static_cast<FrontState*>(context);
    const VolumeCalls& calls = Volumes(state);
    const std::string name = FileSystemName(fileSystem);
    // The formatter locks the volume itself.
    for (ClearedVolume& volume : state->cleared) {
        if (volume.name.compare(0, 12, "partition 1 ") == 0) {
            calls.close(calls.context, volume.handle);
            volume = state->cleared.back();
            state->cleared.pop_back();
            break;
        }
    }
    std::string volumeName;
    if (!WaitForVolumeAt(state, state->partitionOffset, &volumeName)) {
        *error = "the new partition's volume did not appear, so it can't be formatted as " + name;
        return false;
    }
    for (char letter : calls.lettersAt(calls.context, state->disk->number, state->partitionOffset)) {
        TakeLetter(state, letter);
    }
    for (int attempt = 1;; ++attempt) {
        int packet = 0;
        std::string callError;
        if (calls.format(calls.context, volumeName, name, state->removable, &packet, &callError)) return true;
        if (!callError.empty()) {
            *error = callError;
            return false;
        }
        FormatProblem problem = FormatProblemOf(packet);
        if (!RetryFormat(attempt, problem)) {
            *error = "the system's formatter failed to format the new partition as " + name + " (tried " +
                     std::to_string(attempt) + (attempt == 1 ? " time" : " times") + "): " + problem.text;
            return false;
        }
        calls.pause(calls.context, kFormatRetry.pauseMilliseconds);
    }
}

// Gives the new partition's volume the letter the command named, taking the
// letter from a stale mount point and any other letter from the volume. The
// mount point also mounts the volume where the system mounts nothing by itself.
bool MountAgainUnderLetter(const FrontState* state, std::string* error) {
    const VolumeCalls& calls = Volumes(state);
    std::string lastFailure = "the new partition's volume did not appear";
    for (int attempt = 1;; ++attempt) {
        std::string volumeName;
        if (calls.volumeNameAt(calls.context, state->disk->number, state->partitionOffset, &volumeName)) {
            RemountFacts facts;
            facts.letter = state->letter;
            facts.newVolumeLetters = calls.lettersAt(calls.context, state->disk->number, state->partitionOffset);
            std::string current;
            facts.letterTaken = calls.volumeOfLetter(calls.context, state->letter, &current);
            if (facts.letterTaken) {
                std::vector<uint32_t> disks;
                std::string ignored;
                if (!current.empty() && current.back() == '\\') current.pop_back();
                // A volume that can't be found any more is the old one of this disk.
                facts.letterOnTargetDisk =
                    !DisksOfVolumeDevice(state->calls->guard, current, &disks, &ignored) ||
                    std::find(disks.begin(), disks.end(), state->disk->number) != disks.end();
            }
            RemountPlan plan = PlanRemount(facts);
            if (plan.done) return true;
            if (plan.refused) {
                *error = plan.reason;
                return false;
            }
            bool ok = true;
            std::string callError;
            if (plan.freeLetter && !calls.removeLetter(calls.context, state->letter, &callError)) {
                ok = false;
                lastFailure = std::string(1, state->letter) + ": can't be taken from its old volume (" + callError + ")";
            }
            for (char other : plan.lettersToRemove) {
                if (ok && !calls.removeLetter(calls.context, other, &callError)) {
                    ok = false;
                    lastFailure = std::string(1, other) + ": can't be taken from the new volume (" + callError + ")";
                }
            }
            if (ok && !calls.setLetter(calls.context, state->letter, volumeName, &callError)) {
                lastFailure = "the new volume can't be given the letter " + std::string(1, state->letter) + ": (" +
                              callError + ")";
            }
        }
        if (attempt >= kArrivalRetry.attempts) {
            *error = lastFailure;
            return false;
        }
        calls.pause(calls.context, kArrivalRetry.pauseMilliseconds);
    }
}

// Waits until the letter answers with a file system; returns its name.
bool WaitForFileSystem(const FrontState* state, std::string* fileSystem, std::string* error) {
    const VolumeCalls& calls = Volumes(state);
    const std::string root = std::string(1, state->letter) + ":\\";
    for (int attempt = 1;; ++attempt) {
        std::string callError;
        if (calls.fileSystemOf(calls.context, root, fileSystem, &callError)) return true;
        if (attempt >= kArrivalRetry.attempts) {
            *error = std::string(1, state->letter) + ": shows no file system after the work: " + callError;
            return false;
        }
        calls.pause(calls.context, kArrivalRetry.pauseMilliseconds);
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
    if (command.form == CommandForm::MasterBootRecord) {
        // The master boot code leaves the volumes alone, whatever they hold.
        const VolumeCalls& calls = Volumes(state);
        std::string volumeName;
        for (int attempt = 1; !calls.volumeOfLetter(calls.context, letter, &volumeName); ++attempt) {
            if (attempt >= kArrivalRetry.attempts) {
                *error = std::string(1, letter) + ": did not come back";
                return false;
            }
            calls.pause(calls.context, kArrivalRetry.pauseMilliseconds);
        }
        return true;
    }
    if (!MountAgainUnderLetter(state, error) || !WaitForFileSystem(state, fileSystem, error)) return false;
    if (command.form == CommandForm::Partitions && !SameName(*fileSystem, FileSystemName(command.fileSystem))) {
        *error = std::string(1, letter) + ": shows " + *fileSystem + " instead of the new " +
                 FileSystemName(command.fileSystem);
        return false;
    }
    return true;
}

std::string NotesText(const FrontState& state) {
    std::string text;
    for (const std::string& note : state.notes) text += "; " + note;
    return text;
}

// Clears the disk's volumes as planned: letters off, each partition locked
// or dismounted. On a refusal nothing has been written and the letters go back.
bool ClearDiskVolumes(const BootCommand& command, const DiskFacts& facts, FrontState* state, std::string* refusal) {
    const VolumeCalls& calls = Volumes(state);
    std::vector<DiskPartition> partitions = PartitionsOf(state->disk);
    VolumePlan plan = PlanVolumeWork(command.form == CommandForm::MasterBootRecord, facts.letter, partitions,
                                     facts.lettersOnDisk);
    for (const DiskPartition& partition : partitions) {
        // The letter's partition; partition 1 (the one the tool makes) until it is found.
        if (state->partitionOffset == 0 && partition.number == 1) state->partitionOffset = partition.offset;
        std::vector<char> letters = calls.lettersAt(calls.context, state->disk->number, partition.offset);
        if (std::find(letters.begin(), letters.end(), facts.letter) != letters.end()) {
            state->partitionOffset = partition.offset;
        }
    }
    // A disk that does not answer the layout call still has the letter's
    // volume: it is reached by its name, or by the letter while that stays.
    std::string letterVolume = "\\\\.\\" + std::string(1, facts.letter) + ":";
    if (calls.volumeOfLetter(calls.context, facts.letter, &letterVolume) && letterVolume.back() == '\\') {
        letterVolume.pop_back();
    }
    if (plan.holdAutoPlay) calls.holdAutoPlay(calls.context, true);
    // Letters first: Explorer closes its windows on a drive whose letter goes.
    for (char letter : plan.lettersToTake) TakeLetter(state, letter);
    bool cleared = true;
    for (uint32_t number : plan.partitionsToClear) cleared = cleared && ClearPartition(state, number, false, refusal);
    if (cleared && partitions.empty() && command.form != CommandForm::MasterBootRecord) {
        cleared = ClearVolume(state, letterVolume, std::string(1, facts.letter) + ":", false, refusal);
    }
    if (!cleared) {
        ReleaseCleared(state);
        GiveLettersBack(state);
    }
    return cleared;
}

// The work on the opened disk; the caller closes it.
DiskRunResult RunOnOpenDisk(const BootCommand& command, const DiskFacts& facts, PhysicalDisk* disk,
                            const FrontCalls& calls) {
    DiskRunResult result;
    FrontState state;
    state.calls = &calls;
    state.disk = disk;
    state.letter = facts.letter;
    state.removable = facts.driveKind == DriveKind::Removable;
    disk->calls = &calls.volumes;
    std::string error;
    if (!ClearDiskVolumes(command, facts, &state, &error)) {
        calls.volumes.holdAutoPlay(calls.volumes.context, false);
        result.exitCode = kExitNoAccess;
        result.message = error;
        return result;
    }
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
    DismountCleared(&state);
    ReleaseCleared(&state);
    // The core may have changed the table in sector 0 (the active flag, the
    // boot code); the system rereads it so that it does not act on a stale copy.
    if (disk->wrote) Control(disk->handle, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0);
    const std::string diskName = "disk " + std::to_string(disk->number);
    const std::string drive = std::string(1, facts.letter) + ":";
    std::string fileSystem;
    bool checked = false;
    if (ok) {
        checked = CheckDriveAfterwards(command, &state, &fileSystem, &error);
        // The other volumes of an unchanged table are still there: their
        // letters go back. The UEFI loaders' partition keeps none, even one
        // the system gave it after the layout.
        state.taken.erase(std::remove_if(state.taken.begin(), state.taken.end(),
                                         [&](const TakenLetter& t) { return t.letter == state.letter; }),
                          state.taken.end());
        if (!state.layoutApplied) GiveLettersBack(&state);
        const VolumeCalls& volumes = calls.volumes;
        for (char letter : state.efiOffset != 0 ? volumes.lettersAt(volumes.context, disk->number, state.efiOffset)
                                                : std::vector<char>()) {
            std::string ignored;
            volumes.removeLetter(volumes.context, letter, &ignored);
        }
    } else if (!disk->wrote || !state.layoutApplied) {
        GiveLettersBack(&state);
    }
    calls.volumes.holdAutoPlay(calls.volumes.context, false);
    if (!ok) {
        result.exitCode = kExitFailed;
        result.message = coreMessage.empty() ? "the work on " + diskName + " failed" : coreMessage;
        if (!disk->failure.empty() && coreMessage.find(disk->failure) == std::string::npos) {
            result.message += " (" + disk->failure + ")";
        }
        if (disk->wrote) result.message += "; " + diskName + " was changed and is left incomplete";
        result.message += NotesText(state);
        return result;
    }
    if (!checked) {
        result.exitCode = kExitFailed;
        result.message = (coreMessage.empty() ? std::string("the work is done") : coreMessage) + ", but " + error;
        return result;
    }
    result.exitCode = kExitDone;
    result.report = drive + " is on " + diskName + ": " + SizeText(disk->sectorCount * disk->sectorSize) + ", " +
                    std::to_string(disk->sectorSize) + "-byte sectors\r\n";
    if (!coreMessage.empty()) result.report += coreMessage + "\r\n";
    for (const std::string& note : state.notes) result.report += note + "\r\n";
    if (!fileSystem.empty()) result.report += drive + " is mounted again as " + fileSystem + "\r\n";
    result.message = "done on " + drive + " (" + diskName + ")" + NotesText(state);
    return result;
}

std::string Utf8(const wchar_t* text) { return Narrow(text); }

// A console shows the text in UTF-16; a pipe (the copy operation's runner)
// gets the bytes.
void WriteText(DWORD stream, const std::string& text) {
    HANDLE handle = GetStdHandle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        std::wstring wide = Widen(text);
        WriteConsoleW(handle, wide.data(), DWORD(wide.size()), &written, nullptr);
    } else {
        WriteFile(handle, text.data(), DWORD(text.size()), &written, nullptr);
    }
}

int Finish(int exitCode, const std::string& line) {
    WriteText(STD_ERROR_HANDLE, "bootice: " + line + "\r\n");
    return exitCode;
}

}  // namespace

DiskRunResult RunOnDisk(const BootCommand& command, const DiskFacts& facts, const FrontCalls& calls) {
    DiskRunResult result;
    PhysicalDisk disk;
    if (OpenPhysicalDisk(facts.diskNumber, &disk, &result.message)) {
        result = RunOnOpenDisk(command, facts, &disk, calls);
    } else {
        result.exitCode = kExitNoAccess;
    }
    ClosePhysicalDisk(&disk);
    return result;
}

int RunBootTool(int argc, wchar_t** argv, const FrontCalls& calls) {
    // A drive without a medium must not stop the tool with a dialog box.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(Utf8(argv[i]));
    BootCommand command;
    std::string error;
    if (!ParseBootCommand(arguments, &command, &error)) return Finish(kExitUsage, error);
    char letter = 0;
    if (!ParseDriveLetterDevice(command.device, &letter, &error)) return Finish(kExitUsage, error);

    DiskFacts facts;
    GatherDiskFacts(letter, calls.guard, &facts);
    GuardVerdict verdict = DecideDiskGuard(facts);
    if (!verdict.allowed) return Finish(kExitRefused, "refused: " + verdict.reason);

    DiskRunResult result = RunOnDisk(command, facts, calls);
    if (result.exitCode == kExitDone) WriteText(STD_OUTPUT_HANDLE, result.report);
    return Finish(result.exitCode, result.message);
}
