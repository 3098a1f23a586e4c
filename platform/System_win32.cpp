// Environment, processes, pipes, files and drives.
#include <windows.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <algorithm>
#include <vector>

#include "platform/Os.h"
#include "qemu_front/EmulatorPlaces_win32.h"
#include "platform/RestoreRecord_win32.h"
#include "platform/SystemLibraries_win32.h"
#include "platform/Win32.h"

namespace {

std::wstring WithoutTrailingSeparator(std::wstring path) {
    while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
    return path;
}

// CreateProcessW may write into the command line it is given.
std::vector<wchar_t> Writable(const std::wstring& text) {
    std::vector<wchar_t> buffer(text.begin(), text.end());
    buffer.push_back(L'\0');
    return buffer;
}

void CloseSafely(HANDLE* handle) {
    if (*handle != nullptr && *handle != INVALID_HANDLE_VALUE) CloseHandle(*handle);
    *handle = nullptr;
}

struct ThreadStart {
    void (*procedure)(int);
    int parameter;
};

DWORD WINAPI ThreadTrampoline(void* start) {
    ThreadStart copy = *static_cast<ThreadStart*>(start);
    delete static_cast<ThreadStart*>(start);
    copy.procedure(copy.parameter);
    return 0;
}

}  // namespace

// ---- Start-up and environment

std::wstring OsGetEnvironment(const wchar_t* name) {
    std::vector<wchar_t> value(1000);
    DWORD length = GetEnvironmentVariableW(name, value.data(), DWORD(value.size()));
    if (length >= value.size()) {
        value.resize(length + 1);
        length = GetEnvironmentVariableW(name, value.data(), DWORD(value.size()));
    }
    return length == 0 || length >= value.size() ? L"" : std::wstring(value.data(), length);
}

std::wstring OsSystemTempFolder() {
    wchar_t path[MAX_PATH + 1] = L"";
    GetTempPathW(MAX_PATH + 1, path);
    return WithoutTrailingSeparator(path);
}

std::wstring OsSystemWindowsFolder() {
    // The shared folder: GetWindowsDirectory may name a private one of the
    // user's on a terminal server.
    wchar_t path[MAX_PATH + 1] = L"";
    UINT length = GetSystemWindowsDirectoryW(path, MAX_PATH + 1);
    return length == 0 || length > MAX_PATH ? L"" : WithoutTrailingSeparator(path);
}

std::wstring OsSystemFolder() {
    wchar_t path[MAX_PATH + 1] = L"";
    UINT length = GetSystemDirectoryW(path, MAX_PATH + 1);
    return length == 0 || length > MAX_PATH ? L"" : WithoutTrailingSeparator(path);
}

bool OsRunsUnderWow64() {
    // Looked up: Windows XP before its second service pack lacks it (and is 32-bit).
    typedef BOOL(WINAPI * IsWow64Proc)(HANDLE, PBOOL);
    auto isWow64 = reinterpret_cast<IsWow64Proc>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process")));
    BOOL wow64 = FALSE;
    return isWow64 != nullptr && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

std::wstring OsModuleFileName() {
    std::vector<wchar_t> path(MAX_PATH);
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
        if (length < path.size()) return std::wstring(path.data(), length);
        path.resize(path.size() * 2);
    }
}

InstanceResult OsCreateInstanceSemaphore(const std::wstring& name) {
    HANDLE semaphore = CreateSemaphoreW(nullptr, 0, 1, name.c_str());
    if (semaphore == nullptr) return InstanceResult::NoSemaphore;
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(semaphore);
        return InstanceResult::AlreadyRunning;
    }
    return InstanceResult::First;  // held until the process ends
}

bool OsHasAdminRights() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, 0xF000F);
    if (manager == nullptr) return false;
    CloseServiceHandle(manager);
    return true;
}

void OsExitProcess(int code) { ExitProcess(UINT(code)); }

// ---- Time and threads

void OsSleep(int milliseconds) { Sleep(DWORD(milliseconds)); }

int64_t OsLocalTimeSeconds() {
    SYSTEMTIME local;
    GetLocalTime(&local);
    FILETIME asFileTime;
    SystemTimeToFileTime(&local, &asFileTime);
    ULARGE_INTEGER ticks;
    ticks.LowPart = asFileTime.dwLowDateTime;
    ticks.HighPart = asFileTime.dwHighDateTime;
    return int64_t(ticks.QuadPart / 10000000ULL) - 11644473600LL;
}

ThreadHandle OsStartThread(void (*procedure)(int), int parameter) {
    ThreadStart* start = new ThreadStart{procedure, parameter};
    HANDLE thread = CreateThread(nullptr, 0, ThreadTrampoline, start, 0, nullptr);
    if (thread == nullptr) delete start;
    return thread;
}

bool OsThreadAlive(ThreadHandle thread) {
    return thread != nullptr && WaitForSingleObject(HANDLE(thread), 0) == WAIT_TIMEOUT;
}

void OsForgetThread(ThreadHandle thread) {
    if (thread != nullptr) CloseHandle(HANDLE(thread));
}

// ---- Files and drives

int64_t OsFileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (path.empty() || !GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return -1;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
    return int64_t((uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

bool OsIsFolder(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool OsWriteWholeFile(const std::wstring& path, const void* data, size_t size) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, data, DWORD(size), &written, nullptr) && written == size;
    CloseHandle(file);
    return ok;
}

bool OsDeleteFile(const std::wstring& path) {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    return DeleteFileW(path.c_str()) != 0;
}


bool OsCreateFolder(const std::wstring& path) { return CreateDirectoryW(path.c_str(), nullptr) != 0; }

bool OsCopyFile(const std::wstring& from, const std::wstring& to) {
    SetFileAttributesW(to.c_str(), FILE_ATTRIBUTE_NORMAL);
    return CopyFileW(from.c_str(), to.c_str(), FALSE) != 0;
}

std::vector<FolderEntry> OsListFolder(const std::wstring& path) {
    std::vector<FolderEntry> entries;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return entries;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        entries.push_back({name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                           (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0});
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return entries;
}

bool OsIsLink(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}


struct HeldFile {
    HANDLE handle;
};

HeldFile* OsHoldFile(const std::wstring& path) {
    // Shared for reading only: nobody can open it to write, or to delete or
    // rename it (both need delete access), while starting it as a program
    // still works. A link is opened as itself and so reads as no program.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return nullptr;
    return new HeldFile{file};
}

bool OsReadHeldFile(HeldFile* file, std::string* bytes) {
    LARGE_INTEGER size;
    // The largest file of the payload is the self-extractor, about 16 MB.
    if (file == nullptr || !GetFileSizeEx(file->handle, &size) || size.QuadPart > (int64_t(1) << 30)) return false;
    LARGE_INTEGER start{};
    if (!SetFilePointerEx(file->handle, start, nullptr, FILE_BEGIN)) return false;
    bytes->assign(size_t(size.QuadPart), '\0');
    for (size_t done = 0; done < bytes->size();) {
        DWORD got = 0;
        const DWORD want = DWORD(std::min<size_t>(bytes->size() - done, size_t(1) << 20));
        if (!ReadFile(file->handle, &(*bytes)[done], want, &got, nullptr) || got == 0) return false;
        done += got;
    }
    return true;
}

std::wstring OsHeldFilePath(HeldFile* file) {
    typedef DWORD(WINAPI * FinalPathProc)(HANDLE, LPWSTR, DWORD, DWORD);
    // Looked up: Windows XP lacks it.
    static auto finalPath = reinterpret_cast<FinalPathProc>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetFinalPathNameByHandleW")));
    if (file == nullptr || finalPath == nullptr) return L"";
    std::vector<wchar_t> path(MAX_PATH + 8);
    DWORD length = finalPath(file->handle, path.data(), DWORD(path.size()), 0);
    if (length >= path.size()) {
        path.resize(length + 1);
        length = finalPath(file->handle, path.data(), DWORD(path.size()), 0);
    }
    if (length == 0 || length >= path.size()) return L"";
    std::wstring result(path.data(), length);
    // The interpreter takes no "\\?\" paths; the plain form names the same file.
    if (result.compare(0, 8, L"\\\\?\\UNC\\") == 0) return L"\\" + result.substr(7);
    if (result.compare(0, 4, L"\\\\?\\") == 0) return result.substr(4);
    return result;
}

void OsReleaseFile(HeldFile* file) {
    if (file == nullptr) return;
    CloseHandle(file->handle);
    delete file;
}

struct OsFile {
    HANDLE handle = INVALID_HANDLE_VALUE;
};

OsFile* OsOpenForReading(const std::wstring& path, uint64_t* size) {
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    LARGE_INTEGER length{};
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    if (!GetFileSizeEx(handle, &length)) {
        CloseHandle(handle);
        return nullptr;
    }
    *size = uint64_t(length.QuadPart);
    return new OsFile{handle};
}

bool OsReadAt(OsFile* file, uint64_t offset, void* buffer, size_t count) {
    char* at = static_cast<char*>(buffer);
    while (count > 0) {
        // The position travels in the OVERLAPPED: one call per piece, and no
        // shared file pointer to keep.
        OVERLAPPED position{};
        position.Offset = DWORD(offset);
        position.OffsetHigh = DWORD(offset >> 32);
        const DWORD piece = count < (DWORD(1) << 30) ? DWORD(count) : (DWORD(1) << 30);
        DWORD got = 0;
        if (!ReadFile(file->handle, at, piece, &got, &position) || got == 0) return false;
        at += got;
        offset += got;
        count -= got;
    }
    return true;
}

OsFile* OsCreateForWriting(const std::wstring& path) {
    // A read-only file from an earlier copy would refuse CREATE_ALWAYS.
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    return handle == INVALID_HANDLE_VALUE ? nullptr : new OsFile{handle};
}

bool OsWriteAll(OsFile* file, const void* data, size_t count) {
    const char* at = static_cast<const char*>(data);
    while (count > 0) {
        const DWORD piece = count < (DWORD(1) << 30) ? DWORD(count) : (DWORD(1) << 30);
        DWORD written = 0;
        if (!WriteFile(file->handle, at, piece, &written, nullptr) || written == 0) return false;
        at += written;
        count -= written;
    }
    return true;
}

bool OsCloseFile(OsFile* file) {
    if (file == nullptr) return true;
    const bool closed = CloseHandle(file->handle) != 0;
    delete file;
    return closed;
}

struct OpenEntry {
    HANDLE handle;
};

OpenEntry* OsOpenEntry(const std::wstring& path, bool* isFolder) {
    // Not shared for deletion: nobody can rename it, or a folder above it,
    // while it is open, so its path keeps naming it.
    HANDLE handle = CreateFileW(path.c_str(),
                                DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info)) {
        CloseHandle(handle);
        return nullptr;
    }
    *isFolder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
        // Through the handle: what it is, not what a name may name by now.
        FILE_BASIC_INFO basic{};
        basic.FileAttributes = info.dwFileAttributes & ~DWORD(FILE_ATTRIBUTE_READONLY);
        if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
    }
    return new OpenEntry{handle};
}

std::vector<std::wstring> OsListOpenFolder(OpenEntry* folder) {
    std::vector<std::wstring> names;
    alignas(8) unsigned char buffer[16384];
    FILE_INFO_BY_HANDLE_CLASS request = FileFullDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder->handle, request, buffer, sizeof buffer)) {
        request = FileFullDirectoryInfo;
        for (size_t offset = 0;;) {
            const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer + offset);
            std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") names.push_back(name);
            if (entry->NextEntryOffset == 0) break;
            offset += entry->NextEntryOffset;
        }
    }
    return names;
}

bool OsDeleteOpenEntry(OpenEntry* entry) {
    if (entry == nullptr) return false;
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    const bool deleted =
        SetFileInformationByHandle(entry->handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
    CloseHandle(entry->handle);
    delete entry;
    return deleted;
}

int OsRealDriveType(int driveIndex) {
    typedef int(WINAPI * RealDriveTypeProc)(int, BOOL);
    static auto realDriveType = reinterpret_cast<RealDriveTypeProc>(
        reinterpret_cast<void*>(GetProcAddress(LoadSystemLibrary(L"shell32.dll"), "RealDriveType")));
    if (realDriveType != nullptr) return realDriveType(driveIndex, FALSE);
    wchar_t root[] = {wchar_t(L'A' + driveIndex), L':', L'\\', L'\0'};
    return int(GetDriveTypeW(root));
}

int OsDriveType(const std::wstring& root) { return int(GetDriveTypeW(root.c_str())); }

bool OsVolumeLabel(const std::wstring& root, std::wstring* label) {
    // A call that writes nothing (no medium, no file system) leaves the blanks.
    std::vector<wchar_t> name(261, L' ');
    name[260] = L'\0';
    wchar_t fileSystem[261] = L"";
    DWORD serial = 0, componentLength = 0, flags = 0;
    GetVolumeInformationW(root.c_str(), name.data(), 260, &serial, &componentLength, &flags, fileSystem, 260);
    if (std::wstring(name.data(), 260) == std::wstring(260, L' ')) return false;
    *label = name.data();
    return true;
}

bool OsVolumeTotalBytes(const std::wstring& root, uint64_t* bytes) {
    ULARGE_INTEGER total;
    if (!GetDiskFreeSpaceExW(root.c_str(), nullptr, &total, nullptr)) return false;
    *bytes = total.QuadPart;
    return true;
}

bool OsFreeBytes(const std::wstring& folder, uint64_t* bytes) {
    ULARGE_INTEGER available;
    if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return false;
    *bytes = available.QuadPart;
    return true;
}

bool OsSetVolumeLabel(const std::wstring& root, const std::wstring& label) {
    return SetVolumeLabelW(root.c_str(), label.c_str()) != 0;
}

bool OsFlushVolume(const std::wstring& drive) {
    HANDLE volume = CreateFileW((L"\\\\.\\" + drive.substr(0, 2)).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE) return false;
    const bool flushed = FlushFileBuffers(volume) != 0;
    CloseHandle(volume);
    return flushed;
}

void OsRestoreDiskChanges() { ApplyRestoreRecord(); }

// ---- Processes

EmulatorSearchPlaces OsEmulatorSearchPlaces() { return SystemEmulatorSearchPlaces(); }

bool OsRunHidden(const std::wstring& commandLine, const std::wstring& workingFolder, int waitMilliseconds,
                 bool newConsole) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION process{};
    std::vector<wchar_t> line = Writable(commandLine);
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, newConsole ? CREATE_NEW_CONSOLE : 0, nullptr,
                        workingFolder.empty() ? nullptr : workingFolder.c_str(), &startup, &process))
        return false;
    if (waitMilliseconds != 0)
        WaitForSingleObject(process.hProcess, waitMilliseconds == kWaitForever ? INFINITE : DWORD(waitMilliseconds));
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

bool OsListProcesses(std::vector<ProcessEntry>* processes) {
    // Looked up at each call, so a system without them simply finds nothing.
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    typedef BOOL(WINAPI * WalkProc)(HANDLE, PROCESSENTRY32W*);
    auto first = reinterpret_cast<WalkProc>(reinterpret_cast<void*>(GetProcAddress(kernel, "Process32FirstW")));
    auto next = reinterpret_cast<WalkProc>(reinterpret_cast<void*>(GetProcAddress(kernel, "Process32NextW")));
    bool ok = false;
    if (first != nullptr && next != nullptr) {
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot != INVALID_HANDLE_VALUE) {
            PROCESSENTRY32W entry{};
            entry.dwSize = sizeof entry;
            for (BOOL more = first(snapshot, &entry); more; more = next(snapshot, &entry))
                processes->push_back({entry.th32ProcessID, entry.szExeFile});
            CloseHandle(snapshot);
            ok = true;
        }
    }
    FreeLibrary(kernel);
    return ok;
}

struct ConsoleProcess {
    HANDLE process = nullptr;
    HANDLE input = nullptr;   // our end of the tool's standard input
    HANDLE output = nullptr;  // our end of its standard output
    HANDLE errors = nullptr;  // our end of its standard error
};

ConsoleProcess* OsStartConsoleProcess(const std::wstring& commandLine, const std::wstring& workingFolder) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE childInput = nullptr, childOutput = nullptr, childErrors = nullptr;
    ConsoleProcess* tool = new ConsoleProcess;
    bool piped = CreatePipe(&childInput, &tool->input, &inherit, 0) &&
                 CreatePipe(&tool->output, &childOutput, &inherit, 0) &&
                 CreatePipe(&tool->errors, &childErrors, &inherit, 0);
    PROCESS_INFORMATION process{};
    bool started = false;
    if (piped) {
        for (HANDLE ours : {tool->input, tool->output, tool->errors}) SetHandleInformation(ours, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
        startup.wShowWindow = SW_HIDE;
        startup.hStdInput = childInput;
        startup.hStdOutput = childOutput;
        startup.hStdError = childErrors;
        std::vector<wchar_t> line = Writable(commandLine);
        started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                                 workingFolder.empty() ? nullptr : workingFolder.c_str(), &startup, &process);
    }
    CloseSafely(&childInput);
    CloseSafely(&childOutput);
    CloseSafely(&childErrors);
    if (!started) {
        CloseSafely(&tool->input);
        CloseSafely(&tool->output);
        CloseSafely(&tool->errors);
        delete tool;
        return nullptr;
    }
    CloseHandle(process.hThread);
    tool->process = process.hProcess;
    return tool;
}

uint32_t OsPeekOutput(ConsoleProcess* tool) {
    DWORD waiting = 0;
    if (!PeekNamedPipe(tool->output, nullptr, 0, nullptr, &waiting, nullptr)) return 0;
    return waiting;
}

std::string OsReadOutput(ConsoleProcess* tool, uint32_t count) {
    std::string bytes(count, '\0');
    DWORD have = 0;
    while (have < count) {
        DWORD got = 0;
        if (!ReadFile(tool->output, &bytes[have], count - have, &got, nullptr) || got == 0) break;
        have += got;
    }
    bytes.resize(have);
    return bytes;
}

std::string OsDrainErrors(ConsoleProcess* tool) {
    DWORD waiting = 0;
    if (!PeekNamedPipe(tool->errors, nullptr, 0, nullptr, &waiting, nullptr) || waiting == 0) return "";
    std::string bytes(waiting < 65536 ? waiting : 65536, '\0');
    DWORD got = 0;
    if (!ReadFile(tool->errors, &bytes[0], DWORD(bytes.size()), &got, nullptr)) got = 0;
    bytes.resize(got);
    return bytes;
}

void OsWriteInput(ConsoleProcess* tool, const std::string& bytes) {
    DWORD written = 0;
    WriteFile(tool->input, bytes.data(), DWORD(bytes.size()), &written, nullptr);
}

bool OsProcessAlive(ConsoleProcess* tool) { return WaitForSingleObject(tool->process, 0) == WAIT_TIMEOUT; }

void OsWaitForProcess(ConsoleProcess* tool, int milliseconds) {
    WaitForSingleObject(tool->process, DWORD(milliseconds));
}

int32_t OsFinishConsoleProcess(ConsoleProcess* tool) {
    DWORD code = 0;
    GetExitCodeProcess(tool->process, &code);
    CloseSafely(&tool->process);
    CloseSafely(&tool->input);
    CloseSafely(&tool->output);
    CloseSafely(&tool->errors);
    delete tool;
    return int32_t(code);
}

std::wstring OsAnsiToText(const std::string& bytes) {
    if (bytes.empty()) return L"";
    int length = MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), nullptr, 0);
    std::wstring text(length, L'\0');
    MultiByteToWideChar(CP_ACP, 0, bytes.data(), int(bytes.size()), &text[0], length);
    return text;
}

std::wstring OsReadAnsiAsOem(const std::wstring& text) {
    if (text.empty()) return L"";
    int length = WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(length, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), int(text.size()), &bytes[0], length, nullptr, nullptr);
    std::wstring result(bytes.size(), L'\0');
    OemToCharBuffW(bytes.data(), &result[0], DWORD(bytes.size()));
    return result;
}

bool WindowsVersion(DWORD* major, DWORD* minor) {
    typedef LONG(WINAPI * RtlGetVersionProc)(OSVERSIONINFOW*);
    auto getVersion = reinterpret_cast<RtlGetVersionProc>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    if (getVersion == nullptr || getVersion(&version) != 0) return false;
    *major = version.dwMajorVersion;
    *minor = version.dwMinorVersion;
    return true;
}

bool OsIsWindowsXpFamily() {
    DWORD major = 0, minor = 0;
    return WindowsVersion(&major, &minor) && major == 5 && (minor == 1 || minor == 2);
}

// ---- Stored data, linked in by StoredData_win32.S

extern "C" const unsigned char drovelkitPayloadStart[], drovelkitPayloadEnd[];
extern "C" const unsigned char drovelkitSoundStart[], drovelkitSoundEnd[];
extern "C" const unsigned char drovelkitLogoStart[], drovelkitLogoEnd[];
extern "C" const unsigned char drovelkitDigestsStart[], drovelkitDigestsEnd[];

StoredBlock OsPayloadBlock() {
    return {drovelkitPayloadStart, size_t(drovelkitPayloadEnd - drovelkitPayloadStart)};
}
StoredBlock OsCompletionSound() { return {drovelkitSoundStart, size_t(drovelkitSoundEnd - drovelkitSoundStart)}; }
StoredBlock OsPayloadDigests() {
    return {drovelkitDigestsStart, size_t(drovelkitDigestsEnd - drovelkitDigestsStart)};
}
StoredBlock OsLogoPng() { return {drovelkitLogoStart, size_t(drovelkitLogoEnd - drovelkitLogoStart)}; }
