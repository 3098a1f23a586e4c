// The executable's entry point.
#include <windows.h>
#include <ole2.h>

#include "app/Startup.h"
#include "platform/SystemLibraries_win32.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    UseSystemFolderForLibraries();
    // An empty card reader or floppy must not raise "no disk" boxes while the
    // drive list asks every letter for its volume.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // A single-threaded apartment for the whole run: file drops need it.
    OleInitialize(nullptr);
    RunProgram();
}
