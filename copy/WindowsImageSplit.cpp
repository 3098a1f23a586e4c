#include "copy/WindowsImageSplit.h"

#include <cstdint>

#include "app/AppState.h"
#include "app/Reporting.h"
#include "app/Shutdown.h"
#include "common/Str.h"
#include "platform/Os.h"
#include "tools/ConsoleRunner.h"
#include "tools/OutputParser.h"

namespace {

// FAT32 keeps a file's size in 32 bits.
constexpr int64_t kFat32FileLimit = int64_t(1) << 32;
// The part size Microsoft's own tools are told to use for FAT32 media; the
// splitter keeps a part below it unless a single file inside the image is
// larger, and it leaves room for each part's header and tables.
constexpr int kPartMiB = 3800;
constexpr int64_t kMiB = int64_t(1) << 20;

void ShowFat32Refusal(const std::wstring& name) {
    // The advice first: the status line shows about seventy characters.
    ShowStatus(L"==  Use NTFS or exFAT: FAT32 can't hold " + name + L" (4 GB+)");
}

// "sources\install.wim" gives "sources\install.swm", in the image's spelling.
std::wstring FirstPartName(const std::wstring& name) {
    const size_t dot = name.rfind(L'.');
    return name.substr(0, dot) + L".swm";
}

int32_t StartTool(const std::wstring& program, const std::wstring& arguments) {
    appState.extractStartTime = static_cast<int32_t>(OsLocalTimeSeconds());
    return RunConsoleTool(program, arguments, PayloadFolder());
}

}  // namespace

std::wstring SplitterPath() { return PayloadFolder() + L"\\wimlib-imagex.exe"; }
std::wstring SplitWorkFolder() { return PayloadFolder() + L"\\split"; }

bool PlanFat32Copy(bool* split) {
    *split = false;
    if (appState.largestFileBytes >= kFat32FileLimit) {
        ShowFat32Refusal(appState.largestFileName.Get());
        return false;
    }
    const int64_t imageBytes = appState.windowsImageBytes;
    if (imageBytes < kFat32FileLimit) return true;
    // The split reads the image as a file, so a whole copy must fit into
    // the temporary folder first; an unreadable figure counts as no room.
    uint64_t free = 0;
    if (!OsFreeBytes(appState.tempDir, &free) || free < uint64_t(imageBytes)) {
        const int64_t neededMiB = (imageBytes + kMiB - 1) / kMiB;
        ShowStatus(L"==  Too little room in the temporary folder: " + GroupThousands(neededMiB) + L" MB needed");
        return false;
    }
    *split = true;
    return true;
}

bool SplitterPresent() {
    if (OsFileSize(SplitterPath()) > 0) return true;
    ShowFat32Refusal(appState.windowsImageName.Get());
    return false;
}

std::wstring WindowsImageExclusion() { return L" \"-x!" + appState.windowsImageName.Get() + L"\""; }

bool SplitWindowsImage(const std::wstring& imagePath, const std::wstring& drive) {
    const std::wstring name = appState.windowsImageName.Get();
    const std::wstring work = SplitWorkFolder();
    // A copy left behind by a run that ended abruptly is never split again.
    DeleteFolderTree(work);
    OsCreateFolder(work);
    ShowStatus(L"Splitting " + name + L" for FAT32 ...");
    bool good =
        StartTool(ArchiverPath(), L"x -y -bsp1 \"" + imagePath + L"\" -o" + work + L"\\ \"" + name + L"\"") == 0;
    const std::wstring copy = work + L"\\" + name;
    // The archiver also ends well when the name matched nothing.
    good = good && OsFileSize(copy) > 0;
    if (good && !CopyInterrupted()) {
        const std::wstring folder = FolderPart(name);
        if (!folder.empty()) OsCreateFolder(drive + L"\\" + folder.substr(0, folder.size() - 1));
        // Again: the archiver's verdict took the status line.
        ShowStatus(L"Splitting " + name + L" for FAT32 ...");
        good = StartTool(SplitterPath(), L"split \"" + copy + L"\" \"" + drive + L"\\" + FirstPartName(name) + L"\" " +
                                             std::to_wstring(kPartMiB)) == 0;
    }
    DeleteFolderTree(work);
    return good;
}
