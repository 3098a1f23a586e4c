#include "copy/WindowsImageSplit.h"

#include "app/AppState.h"
#include "app/Reporting.h"
#include "app/Shutdown.h"
#include "common/ByteSource.h"
#include "common/Str.h"
#include "platform/Os.h"
#include "tools/ConsoleRunner.h"
#include "tools/OutputParser.h"
#include "wim/WimSplit.h"

namespace {

// FAT32 keeps a file's size in 32 bits.
constexpr int64_t kFat32FileLimit = int64_t(1) << 32;
// The part size Microsoft's own tools are told to use for FAT32 media,
// counted over the whole part file.
constexpr uint64_t kMiB = uint64_t(1) << 20;
constexpr uint64_t kPartBytes = 3800 * kMiB;

void ShowFat32Refusal(const std::wstring& name) {
    // The advice first: the status line shows about seventy characters.
    ShowStatus(L"==  Use NTFS or exFAT: FAT32 can't hold " + name + L" (4 GB+)");
}

// The reason names the Windows image's trouble; with the advice it still
// fits the status line.
void ShowSplitRefusal(WimRefusal refusal) {
    ShowStatus(L"==  Use NTFS or exFAT: " + FromUtf8(WimRefusalText(refusal)));
}

// "sources\install.wim" gives "sources\install.swm", in the image's spelling.
std::wstring FirstPartName(const std::wstring& name) {
    const size_t dot = name.rfind(L'.');
    return name.substr(0, dot) + L".swm";
}

// A file opened for reading, as the splitter's source; closed with it.
struct OpenSource {
    OsFile* file = nullptr;
    ByteSource bytes;
    ~OpenSource() { OsCloseFile(file); }
};

bool OpenFileSource(const std::wstring& path, OpenSource* source) {
    uint64_t size = 0;
    source->file = OsOpenForReading(path, &size);
    if (source->file == nullptr) return false;
    OsFile* file = source->file;
    source->bytes.size = size;
    source->bytes.readAt = [file, size](uint64_t offset, void* buffer, size_t count) {
        return offset <= size && size - offset >= count && OsReadAt(file, offset, buffer, count);
    };
    return true;
}

// The Windows image inside the ISO image, read through its extents.
bool OpenImageSource(const std::wstring& imagePath, const WindowsImageSplit& split, OpenSource* image,
                     ByteSource* wim) {
    if (!OpenFileSource(imagePath, image)) return false;
    *wim = ImageFileSource(image->bytes, split.extents, split.bytes);
    return true;
}

// The fallback when the image's layout is not known: the archiver copies
// the Windows image into the temporary folder first.
bool ExtractIntoWorkFolder(const std::wstring& imagePath, const std::wstring& name) {
    const std::wstring work = SplitWorkFolder();
    // A copy left behind by a run that ended abruptly is never split again.
    DeleteFolderTree(work);
    OsCreateFolder(work);
    appState.extractStartTime = static_cast<int32_t>(OsLocalTimeSeconds());
    const bool good =
        RunConsoleTool(ArchiverPath(), L"x -y -bsp1 \"" + imagePath + L"\" -o" + work + L"\\ \"" + name + L"\"",
                       PayloadFolder()) == 0;
    // The archiver also ends well when the name matched nothing.
    return good && OsFileSize(work + L"\\" + name) > 0;
}

// Writes the planned parts; on anything but success every part written so
// far is deleted again.
SplitOutcome WriteParts(const ByteSource& wim, const WimSplitPlan& plan, const std::wstring& drive,
                        const std::wstring& name) {
    const std::wstring folder = FolderPart(name);
    if (!folder.empty()) OsCreateFolder(drive + L"\\" + folder.substr(0, folder.size() - 1));
    const std::wstring first = drive + L"\\" + FirstPartName(name);
    OsFile* part = nullptr;
    int opened = 0;
    WimPartSink sink;
    sink.openPart = [&](int n) {
        opened = n;
        part = OsCreateForWriting(WimPartName(first, n));
        return part != nullptr;
    };
    sink.write = [&](const void* data, size_t count) { return OsWriteAll(part, data, count); };
    sink.closePart = [&](int, bool) {
        const bool closed = OsCloseFile(part);
        part = nullptr;
        return closed;
    };
    ShowStatus(L"Splitting " + name + L" for FAT32 ...");
    appState.extractStartTime = static_cast<int32_t>(OsLocalTimeSeconds());
    const int64_t totalKiB = int64_t(plan.totalBytes / 1024);
    const WimWriteOutcome outcome = WriteWimParts(
        wim, plan, sink,
        [totalKiB](uint64_t done, uint64_t total) {
            ShowCopyProgress(total == 0 ? 100 : int(done * 100 / total), totalKiB);
        },
        [] { return CopyInterrupted(); });
    if (outcome == WimWriteOutcome::Written) return SplitOutcome::Written;
    OsCloseFile(part);
    for (int n = 1; n <= opened; ++n) OsDeleteFile(WimPartName(first, n));
    if (outcome == WimWriteOutcome::Stopped) return SplitOutcome::Interrupted;
    ShowStatus(outcome == WimWriteOutcome::ReadFailed ? L"==  Could not read " + name + L" from the image"
                                                      : L"==  Could not write " + WimPartName(first, opened));
    return SplitOutcome::Failed;
}

}  // namespace

std::wstring SplitWorkFolder() { return PayloadFolder() + L"\\split"; }

bool PlanFat32Copy(const std::wstring& imagePath, WindowsImageSplit* split) {
    *split = WindowsImageSplit();
    if (appState.largestFileBytes >= kFat32FileLimit) {
        ShowFat32Refusal(appState.largestFileName.Get());
        return false;
    }
    const int64_t imageBytes = appState.windowsImageBytes;
    if (imageBytes < kFat32FileLimit) return true;
    split->needed = true;
    const std::wstring name = appState.windowsImageName.Get();
    OpenSource image;
    if (OpenFileSource(imagePath, &image) &&
        FindImageFile(image.bytes, ToUtf8(name), &split->extents, &split->bytes)) {
        WimSplitPlan plan;
        const WimRefusal refusal =
            PlanWimSplit(ImageFileSource(image.bytes, split->extents, split->bytes), kPartBytes, &plan);
        if (refusal != WimRefusal::None) {
            ShowSplitRefusal(refusal);
            return false;
        }
        split->inPlace = true;
        return true;
    }
    // Not readable in place: a whole copy must fit into the temporary folder
    // first; an unreadable figure counts as no room.
    uint64_t free = 0;
    if (!OsFreeBytes(appState.tempDir, &free) || free < uint64_t(imageBytes)) {
        const int64_t neededMiB = int64_t((uint64_t(imageBytes) + kMiB - 1) / kMiB);
        ShowStatus(L"==  Too little room in the temporary folder: " + GroupThousands(neededMiB) + L" MB needed");
        return false;
    }
    return true;
}

std::wstring WindowsImageExclusion() { return L" \"-x!" + appState.windowsImageName.Get() + L"\""; }

SplitOutcome SplitWindowsImage(const std::wstring& imagePath, const WindowsImageSplit& split,
                               const std::wstring& drive) {
    const std::wstring name = appState.windowsImageName.Get();
    ShowStatus(L"Splitting " + name + L" for FAT32 ...");
    OpenSource image, copy;
    ByteSource wim;
    SplitOutcome outcome = SplitOutcome::Failed;
    bool opened = false;
    if (split.inPlace) {
        opened = OpenImageSource(imagePath, split, &image, &wim);
        if (!opened) ShowStatus(L"==  Could not read " + name + L" from the image");
    } else if (ExtractIntoWorkFolder(imagePath, name)) {
        opened = OpenFileSource(SplitWorkFolder() + L"\\" + name, &copy);
        wim = copy.bytes;
    }
    if (!opened && !CopyInterrupted() && !split.inPlace)
        ShowStatus(L"==  Could not copy " + name + L" into the temporary folder");
    if (opened) {
        WimSplitPlan plan;
        const WimRefusal refusal = PlanWimSplit(wim, kPartBytes, &plan);
        if (refusal != WimRefusal::None) ShowSplitRefusal(refusal);
        else outcome = WriteParts(wim, plan, drive, name);
    }
    if (CopyInterrupted()) {
        // As a stopped tool run ends: the interrupt itself says the rest.
        outcome = SplitOutcome::Interrupted;
        ShowStatus(L"Operation is interrupted!");
    }
    OsCloseFile(copy.file);
    copy.file = nullptr;
    DeleteFolderTree(SplitWorkFolder());
    return outcome;
}
