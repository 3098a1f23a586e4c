// Where DLLs named without a path come from, for drovelkit.exe and
// qemu_test.exe. Both often run with administrator rights from folders that
// any process of the user can write (Downloads, the payload folder under
// TEMP): a DLL put there under a system DLL's name must never load.
#pragma once
#include <windows.h>

#include <string>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

// First thing at start: every later load by name, the system's own loads
// included, looks in System32 only.
inline void UseSystemFolderForLibraries() {
    typedef BOOL(WINAPI * SetDefaultProc)(DWORD);
    // Looked up: Windows 7 without its loader update (and XP) lacks it, and
    // an import would keep the program from starting there at all.
    auto setDefault = reinterpret_cast<SetDefaultProc>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetDefaultDllDirectories")));
    if (setDefault != nullptr && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32)) return;
    // There, at least the current folder leaves the search.
    SetDllDirectoryW(L"");
}

inline HMODULE LoadSystemLibrary(const wchar_t* name) {
    HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Systems without the flag refuse it as an invalid parameter; the full
    // path leaves nothing to search there.
    if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return module;
    wchar_t folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    return LoadLibraryW((std::wstring(folder, length) + L"\\" + name).c_str());
}
