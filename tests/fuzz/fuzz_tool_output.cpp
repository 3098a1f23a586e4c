// The archiver's and the disk checker's output as the runner meets it: any
// bytes, cut into reads anywhere, parsed as a listing, an extraction with
// progress, a loader probe or a disk check.
#include "app/AppState.h"
#include "tests/fuzz/FuzzInput.h"
#include "tests/unit/FakeOs.h"
#include "tools/ConsoleRunner.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    ResetWorld();
    const std::wstring archiver = L"C:\\Temp\\drovelkit\\7zdrovelkit.exe";
    const std::wstring chkdsk = L"C:\\Windows\\System32\\chkdsk.exe";
    fake.AddFile(archiver, "MZ");
    fake.AddFile(chkdsk, "MZ");
    appState.imageSizeKiB = 4000000;
    appState.extractStartTime = int32_t(fake.now - 60);
    const std::vector<std::string> reads = CutIntoReads(data + 2, size - 2, data[1]);
    fake.tool = [&reads](const std::wstring&) {
        FakeTool tool;
        tool.chunks = reads;
        return tool;
    };
    switch (data[0] % 4) {
        case 0: RunConsoleTool(archiver, L"l \"D:\\w.iso\"", L""); break;
        case 1: RunConsoleTool(archiver, L"x -y -bsp1 \"D:\\w.iso\" -oE:\\", L""); break;
        case 2: RunConsoleTool(archiver, L"x -y \"D:\\w.iso\" -oE:\\ grldr menu.lst", L""); break;
        default: RunConsoleTool(chkdsk, L"E: /F /R", L""); break;
    }
    return 0;
}
