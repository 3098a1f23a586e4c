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
#include "bootice/VolumeWork.h"
#include "platform/RestoreRecord_win32.h"
#include "platform/SystemLibraries_win32.h"

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

std::wstring DevicePathOf(const std::wstring& volumeName) {
    return Widen(WithoutTrailingBackslash(Narrow(volumeName)));
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

bool ExtentsOf(HANDLE device, std::vector<DiskExtent>* extents) {
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
    std::vector<DiskExtent> extents;
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
            for (const DiskExtent& extent : volume.extents) onDisk = onDisk || extent.disk == disk;
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
        for (const DiskExtent& extent : volume.extents) {
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

bool CallExtents(void*, const std::string& device, std::vector<DiskExtent>* extents, std::string* error) {
    HANDLE handle = OpenDevice(Widen(device), 0);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = "cannot open " + device + ": " + LastErrorText();
        return false;
    }
    bool answered = ExtentsOf(handle, extents);
    if (!answered) *error = LastErrorText();
    CloseSafely(&handle);
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
    calls.extents = CallExtents;
    calls.deviceNumber = CallDeviceNumber;
    calls.busType = CallBusType;
    calls.registryStrings = CallRegistryStrings;
    wchar_t folder[MAX_PATH + 2] = L"";
    if (GetSystemWindowsDirectoryW(folder, MAX_PATH + 1)) calls.windowsFolder = Narrow(folder);
    calls.programPath = Narrow(ProgramPath());
    if (GetTempPathW(MAX_PATH + 2, folder)) calls.temporaryFolder = Narrow(folder);
    calls.logicalDrives = [](void*) { return uint32_t(GetLogicalDrives()); };
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

constexpr int kFormatFinished = 11;
constexpr DWORD kFormatRemovableMedia = 0x0B;
constexpr DWORD kFormatFixedMedia = 0x0C;

typedef BOOLEAN(WINAPI* FormatCallback)(int packet, DWORD subAction, void* information);
typedef VOID(WINAPI* FormatExProcedure)(PWCHAR root, DWORD media, PWCHAR fileSystem, PWCHAR label, BOOL quick,
                                        DWORD clusterSize, FormatCallback callback);

// Resolved once, before the first write, and kept for the run.
FormatExProcedure g_formatEx = nullptr;

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
    } else if (packet != 0 && packet != 1 && packet != 4 && packet != 13 && packet != 14 && packet != 15) {
        // Not progress, a report or a message: a problem, which FormatProblemOf
        // names; the last one is reported.
        g_formatOutcome.problem = packet;
    }
    return TRUE;
}

bool CallFormatterReady(void*, std::string* error) {
    if (g_formatEx != nullptr) return true;
    // The folder this tool runs from is writable by the user: a planted
    // fmifs.dll there must never be loaded with administrator rights.
    HMODULE library = LoadSystemLibrary(L"fmifs.dll");
    if (library == nullptr) {
        *error = "the system's formatter (fmifs.dll) is not available: " + LastErrorText();
        return false;
    }
    g_formatEx = reinterpret_cast<FormatExProcedure>(reinterpret_cast<void*>(GetProcAddress(library, "FormatEx")));
    if (g_formatEx == nullptr) {
        *error = "the system's formatter (fmifs.dll) has no FormatEx: " + LastErrorText();
        return false;
    }
    return true;
}

bool CallFormat(void* context, const std::string& volumeName, const std::string& fileSystem, bool removable,
                int* packet, std::string* error) {
    if (!CallFormatterReady(context, error)) return false;
    std::wstring root = Widen(volumeName);
    std::wstring name = Widen(fileSystem);
    std::wstring label;
    g_formatOutcome = FormatOutcome();
    g_formatEx(&root[0], removable ? kFormatRemovableMedia : kFormatFixedMedia, &name[0], &label[0], TRUE, 0,
               OnFormatPacket);
    *packet = g_formatOutcome.problem;
    return g_formatOutcome.finished && g_formatOutcome.success;
}

// Everything the system holds of the volume goes to the medium, so that a
// stick pulled at the last message holds every sector written.
bool CallFlush(void*, const std::string& root, std::string* error) {
    HANDLE handle = OpenDevice(Widen("\\\\.\\" + root.substr(0, 2)), GENERIC_READ | GENERIC_WRITE);
    bool flushed = handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle);
    if (!flushed) *error = LastErrorText();
    CloseSafely(&handle);
    return flushed;
}

void CallRemember(void*, char letter, const std::string& volumeName) {
    RecordLetter(wchar_t(letter), Widen(volumeName));
}

// AutoPlay's own switch for this user ("Use AutoPlay for all media and
// devices"), as the control panel writes it; recorded, then put back as it was.
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
        RecordAutoPlay(g_autoPlay.existed, g_autoPlay.value);
        DWORD off = 1;
        g_autoPlay.held = RegSetValueExW(key, L"DisableAutoplay", 0, REG_DWORD, reinterpret_cast<BYTE*>(&off),
                                         sizeof off) == ERROR_SUCCESS;
        if (!g_autoPlay.held) ForgetAutoPlay();
    } else if (!hold && g_autoPlay.held) {
        if (g_autoPlay.existed) {
            RegSetValueExW(key, L"DisableAutoplay", 0, REG_DWORD, reinterpret_cast<BYTE*>(&g_autoPlay.value),
                           sizeof g_autoPlay.value);
        } else {
            RegDeleteValueW(key, L"DisableAutoplay");
        }
        ForgetAutoPlay();
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
    volumes.volumeNameAt = CallVolumeNameAt;
    volumes.volumeOfLetter = CallVolumeOfLetter;
    volumes.removeLetter = CallRemoveLetter;
    volumes.setLetter = CallSetLetter;
    volumes.fileSystemOf = CallFileSystemOf;
    volumes.format = CallFormat;
    volumes.formatterReady = CallFormatterReady;
    volumes.flush = CallFlush;
    volumes.remember = CallRemember;
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
    VolumeRun* run = nullptr;
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
        int attempt = 1;
        // USB sticks and hubs report passing errors: a few tries before giving up.
        bool ok = Retry(*disk->calls, kTransferRetry, [&](int) {
            if (TransferOnce(disk, writing, first, bytesWanted, &done) && done == bytesWanted) return Try::Done;
            return TransferErrorPasses(GetLastError()) ? Try::Again : Try::GiveUp;
        }, &attempt);
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


// ---- The hooks the core calls

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
    PhysicalDisk* disk = static_cast<PhysicalDisk*>(context);
    const std::string diskName = "disk " + std::to_string(disk->number);
    CREATE_DISK create = {};
    create.PartitionStyle = PARTITION_STYLE_MBR;
    create.Mbr.Signature = layout.diskSignature;
    // Creating the disk afresh also drops a GPT the system may still hold.
    if (!Control(disk->handle, IOCTL_DISK_CREATE_DISK, &create, sizeof create, nullptr, 0)) {
        *error = "the system refused a new partition table on " + diskName + ": " + LastErrorText();
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
    // From here on the old volumes are gone whatever the next calls answer.
    LayoutApplied(disk->run, layout.firstSector * disk->sectorSize,
                  layout.efiSectorCount != 0 ? layout.efiFirstSector * disk->sectorSize : 0);
    if (!Control(disk->handle, IOCTL_DISK_SET_DRIVE_LAYOUT_EX, drive, DWORD(buffer.size()), nullptr, 0)) {
        *error = "the system refused the partition layout of " + diskName + ": " + LastErrorText();
        return false;
    }
    if (!Control(disk->handle, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0)) {
        *error = "the system did not take up the new layout of " + diskName + ": " + LastErrorText();
        return false;
    }
    return true;
}

bool FormatWithSystem(void* context, FileSystem fileSystem, const PartitionLayout&, std::string* error) {
    return FormatNewVolume(static_cast<PhysicalDisk*>(context)->run, FileSystemName(fileSystem), error);
}

std::string NotesText(const VolumeRun& run) {
    std::string text;
    for (const std::string& note : run.notes) text += "; " + note;
    return text;
}

// The work on the opened disk; the caller closes it.
DiskRunResult RunOnOpenDisk(const BootCommand& command, const DiskFacts& facts, PhysicalDisk* disk,
                            const FrontCalls& calls) {
    DiskRunResult result;
    VolumeRun run;
    run.calls = &calls.volumes;
    run.guard = &calls.guard;
    run.disk = disk->number;
    run.letter = facts.letter;
    run.removable = facts.driveKind == DriveKind::Removable;
    disk->calls = &calls.volumes;
    disk->run = &run;
    const bool bootCodeOnly = command.form == CommandForm::MasterBootRecord;
    const bool needsFormatter = command.form == CommandForm::Partitions && command.fileSystem != FileSystem::Fat32;
    std::string error;
    if (!ClearDiskVolumes(&run, bootCodeOnly, needsFormatter, PartitionsOf(disk), facts.lettersOnDisk, &error)) {
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
    hooks.context = disk;
    hooks.applyLayout = ApplyLayout;
    hooks.formatWithSystem = FormatWithSystem;
    hooks.newDiskSignature = NewDiskSignature;

    std::string coreMessage;
    bool ok = RunBootCommand(command, &device, hooks, &coreMessage);
    ReleaseVolumes(&run);
    // The core may have changed the table in sector 0 (the active flag, the
    // boot code); the system rereads it so that it does not act on a stale copy.
    if (disk->wrote) Control(disk->handle, IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0);
    const std::string diskName = "disk " + std::to_string(disk->number);
    const std::string drive = std::string(1, facts.letter) + ":";
    const std::string expected = command.form == CommandForm::Partitions ? FileSystemName(command.fileSystem) : "";
    std::string fileSystem;
    bool checked = FinishVolumeWork(&run, bootCodeOnly, expected, ok, &fileSystem, &error);
    if (!ok) {
        result.exitCode = kExitFailed;
        result.message = coreMessage.empty() ? "the work on " + diskName + " failed" : coreMessage;
        if (!disk->failure.empty() && coreMessage.find(disk->failure) == std::string::npos) {
            result.message += " (" + disk->failure + ")";
        }
        if (disk->wrote) result.message += "; " + diskName + " was changed and is left incomplete";
        result.message += NotesText(run);
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
    for (const std::string& note : run.notes) result.report += note + "\r\n";
    if (!fileSystem.empty()) result.report += drive + " is mounted again as " + fileSystem + "\r\n";
    result.message = "done on " + drive + " (" + diskName + ")" + NotesText(run);
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
