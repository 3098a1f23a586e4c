// The places where an installed QEMU may be, read from the system for the
// emulator front and for Drovelkit: HKLM and the system's known folders only.
#pragma once
#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

#include "EmulatorSearch.h"
#include "platform/SystemLibraries_win32.h"

namespace emulator_places {

// A text value under HKEY_LOCAL_MACHINE, which only administrators write.
// An expandable value is taken as stored: expanded, it would name what the
// user's own environment says (the search then skips it as no full path).
inline std::wstring MachineRegistryText(const wchar_t* keyName, const wchar_t* valueName, REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName, 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) {
        return std::wstring();
    }
    std::wstring result;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, valueName, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0) {
        // The stored value need not end in a null character.
        std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
        if (RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                             &size) == ERROR_SUCCESS) {
            result = buffer.data();
        }
    }
    RegCloseKey(key);
    return result;
}

// QEMU's installer writes Install_Dir in the view of its own bitness; a
// 32-bit front must ask for the 64-bit view explicitly.
inline std::wstring RegistryInstallDir(REGSAM view) {
    return MachineRegistryText(L"SOFTWARE\\QEMU", L"Install_Dir", view);
}

// A known folder as the system records it (never %ProgramFiles%, which the
// user can set); empty where the system has no such folder.
inline std::wstring KnownFolder(const GUID& id) {
    typedef HRESULT(WINAPI * GetKnownFolderProc)(const GUID&, DWORD, HANDLE, PWSTR*);
    // Looked up: Windows XP has no known folders.
    static auto getKnownFolder = reinterpret_cast<GetKnownFolderProc>(reinterpret_cast<void*>(
        GetProcAddress(LoadSystemLibrary(L"shell32.dll"), "SHGetKnownFolderPath")));
    PWSTR path = nullptr;
    if (getKnownFolder == nullptr || FAILED(getKnownFolder(id, 0, nullptr, &path)) || path == nullptr) {
        return std::wstring();
    }
    std::wstring result = path;
    CoTaskMemFree(path);
    return result;
}

// FOLDERID_ProgramFiles and FOLDERID_ProgramFilesX86.
const GUID kProgramFilesFolder = {0x905e63b6, 0xc1bf, 0x494e, {0xb2, 0x9c, 0x65, 0xb7, 0x32, 0xd3, 0xd2, 0x1a}};
const GUID kProgramFilesX86Folder = {0x7c5a40ef, 0xa0fb, 0x4bfc, {0x87, 0x4a, 0xc0, 0xf2, 0xe0, 0xb9, 0xfa, 0x8e}};

// The native Program Files folder first, where QEMU for Windows (64-bit)
// installs: a 32-bit program reaches it only through the registry's 64-bit
// view, since its own known folder is the (x86) one.
inline std::vector<std::wstring> ProgramFolders() {
    return {MachineRegistryText(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", L"ProgramFilesDir",
                                KEY_WOW64_64KEY),
            KnownFolder(kProgramFilesFolder), KnownFolder(kProgramFilesX86Folder)};
}

}  // namespace emulator_places

inline EmulatorSearchPlaces SystemEmulatorSearchPlaces() {
    using namespace emulator_places;
    EmulatorSearchPlaces places;
    places.installDirs.push_back(RegistryInstallDir(KEY_WOW64_64KEY));
    places.installDirs.push_back(RegistryInstallDir(KEY_WOW64_32KEY));
    places.programFolders = ProgramFolders();
    return places;
}

inline bool IsExistingFile(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}
