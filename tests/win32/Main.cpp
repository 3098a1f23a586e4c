// win32_tests.exe: the real Win32 seam under Wine. The process starts up as
// drovelkit.exe does (the same error mode, OLE on this thread, then the
// program's own start-up with its main window), so the runner, the parsers
// and the payload code see the state and the window they see in the program.
#include <gtest/gtest.h>
#include <ole2.h>
#include <windows.h>

#include <cstdio>

#include "app/Startup.h"
#include "platform/Os.h"

int wmain(int argc, wchar_t** argv) {
    testing::InitGoogleTest(&argc, argv);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    OleInitialize(nullptr);
    if (!StartUp()) {
        std::printf("start-up refused: another win32_tests.exe runs in this prefix\n");
        return 1;
    }
    if (!OsMainWindowExists())
        std::printf("note: no main window (no display); the tests that read the window skip\n");
    const int result = RUN_ALL_TESTS();
    OsReleaseWindowResources();
    return result;
}
