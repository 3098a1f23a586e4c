// The program's entry: paths, the single-instance rule, the window, the drive
// list, then the event loop and the exit sequence.
#pragma once
#include <string>

// Runs the whole program; never returns.
[[noreturn]] void RunProgram();

// The steps before the event loop; false when this is a second instance.
bool StartUp();

// windowsDir and nativeSystemDir (the folder of the native cmd.exe), from
// the system.
void ChooseSystemFolders();

// The executable's own file name, as the single-instance semaphore's name.
std::wstring InstanceName(const std::wstring& moduleFileName);

// Title shown in large-text mode: every " by Quendar" removed.
std::wstring ShortTitle(const std::wstring& title);
