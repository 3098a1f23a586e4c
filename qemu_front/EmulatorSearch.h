// Where an installed QEMU is looked for, shared by the emulator front and
// by Drovelkit, which tells the user where to install it when none is there.
// Free of Windows headers: the places come from the Win32 side
// (EmulatorPlaces_win32.h).
#pragma once

#include <functional>
#include <string>
#include <vector>

// The emulator program the front starts.
extern const wchar_t* const kEmulatorFileName;

// Where the emulator may be, as the Win32 side read it from the system: only
// places that a user without administrator rights cannot write, since the
// front often runs elevated. Never PATH (its folders are often the user's,
// and a relative entry names the working folder) and never the front's own
// folder (the unpacked payload under TEMP).
struct EmulatorSearchPlaces {
    std::vector<std::wstring> installDirs;   // HKLM Install_Dir values, 64-bit view first
    std::vector<std::wstring> programFolders;// the system's Program Files folders, native first
};

// Full paths of kEmulatorFileName in search order: install folders, then
// "qemu" under each program folder. Empty places and any that is not a full
// path from a drive letter ("C:\...") are skipped, and a path already listed
// (compared without regard to ASCII case or a trailing separator) is not
// listed again.
std::vector<std::wstring> EmulatorCandidates(const EmulatorSearchPlaces& places);

// The first candidate for which fileExists holds; empty when none does.
std::wstring FindEmulator(const EmulatorSearchPlaces& places,
                          const std::function<bool(const std::wstring&)>& fileExists);

// Where QEMU for Windows (64-bit) installs by default: "qemu" in the first
// program folder that is a full path, "C:\\Program Files\\qemu" when none is.
std::wstring EmulatorInstallFolder(const EmulatorSearchPlaces& places);
