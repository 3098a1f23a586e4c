// The one global record that every subsystem shares.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/Os.h"

// A text that several threads read and write: every access takes the guard,
// so no thread ever sees a half-changed text.
class SharedText {
public:
    std::wstring Get() const;
    void Set(const std::wstring& text);
    void Append(const std::wstring& text);
    std::wstring Take();  // returns the text and leaves it empty, in one step

private:
    mutable std::mutex guard_;
    std::wstring text_;
};

struct AppState {
    SharedText windowTitle;
    SharedText isoPath;
    SharedText imageComment;
    SharedText draggedFiles;
    std::wstring windowsDir;       // written once at start-up, before any thread
    std::wstring tempDir;          // likewise
    std::wstring nativeSystemDir;  // likewise
    std::atomic<int64_t> imageSizeKiB{0};
    std::atomic<int32_t> extractStartTime{0};
    std::atomic<int32_t> driveListBusy{0};
    // The boot tool runs: the drive list is not rebuilt meanwhile, since
    // reading a volume's information mounts it again (stale: a device came
    // or went meanwhile, and the list is rebuilt when the tool ends).
    std::atomic<int32_t> bootToolRunning{0};
    std::atomic<int32_t> driveListStale{0};
    std::atomic<int32_t> showAllDrives{0};
    std::atomic<ThreadHandle> workerThread{nullptr};
    std::atomic<int32_t> interruptRequested{0};
    // Image inspections under way; the copy operation waits for them to end.
    std::atomic<int32_t> inspectionsRunning{0};
    // The largest file of the listed image (bytes and its path in the image),
    // leaving out a Windows image that the copy splits for FAT32.
    std::atomic<int64_t> largestFileBytes{0};
    SharedText largestFileName;
    // That Windows image (sources\install.wim in any case); 0 bytes: none.
    std::atomic<int64_t> windowsImageBytes{0};
    SharedText windowsImageName;
    InstanceResult instanceSemaphore = InstanceResult::NoSemaphore;
    int32_t checkDiskClicks = 0;
};

extern AppState appState;

constexpr const wchar_t* kWindowTitle = L"Drovelkit v4.2.1 by Quendar";

bool WorkerAlive();
// Marks the calling thread as the copy operation's: only its tool runs answer
// to Escape, so that an image listing never takes or clears the request.
void MarkCopyThread(bool isCopyThread);
bool OnCopyThread();
// Escape was pressed during the copy and the calling thread is the copy's.
bool CopyInterrupted();
std::wstring PayloadFolder();  // tempDir + "\drovelkit"
std::wstring ArchiverPath();   // the payload marker
// The folder part of isoPath followed by the current text of IsoPathField.
std::wstring ImagePath();
// The first two characters of DriveCombo's text: the drive letter and colon.
std::wstring SelectedDrive();
// The system knows the drive's root (a type other than unknown or no root).
bool DriveExists(const std::wstring& drive);
