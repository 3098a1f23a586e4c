// Drop lists: any names joined by line feeds, dropped onto the window while
// idle or while a copy runs, then copied by an operation without an image.
#include "app/AppState.h"
#include "common/Str.h"
#include "copy/CopyOperation.h"
#include "copy/ImageSelection.h"
#include "tests/unit/FakeOs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    ResetWorld();
    fake.drives[4] = FakeDrive();  // E:
    fake.comboLines = {L"E:\\ [STICK]   8.388.608 Kb"};
    fake.comboSelected = 0;
    fake.threadsAlive = (data[0] & 1) != 0;
    if (fake.threadsAlive) appState.workerThread = reinterpret_cast<ThreadHandle>(1);
    const std::wstring names = FromUtf8(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    for (const std::wstring& name : SplitFields(names, L'\n')) {
        IsIsoImage(name);
        if (!name.empty() && (data[0] & 2)) fake.AddFolder(name);
    }
    HandleDroppedFiles(names);
    // An image among the names started a listing that never runs here.
    appState.inspectionsRunning = 0;
    fake.threadsAlive = false;
    RunCopyOperation(0);
    if (!appState.draggedFiles.Get().empty()) __builtin_trap();  // the drive exists: every entry was taken
    return 0;
}
