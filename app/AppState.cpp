#include "app/AppState.h"

#include "common/Str.h"

AppState appState;

std::wstring SharedText::Get() const {
    std::lock_guard<std::mutex> lock(guard_);
    return text_;
}

void SharedText::Set(const std::wstring& text) {
    std::lock_guard<std::mutex> lock(guard_);
    text_ = text;
}

void SharedText::Append(const std::wstring& text) {
    std::lock_guard<std::mutex> lock(guard_);
    text_ += text;
}

std::wstring SharedText::Take() {
    std::lock_guard<std::mutex> lock(guard_);
    std::wstring taken;
    taken.swap(text_);
    return taken;
}

bool WorkerAlive() {
    ThreadHandle worker = appState.workerThread.load();
    return worker != nullptr && OsThreadAlive(worker);
}

namespace {
thread_local bool copyThread = false;
}

void MarkCopyThread(bool isCopyThread) { copyThread = isCopyThread; }

bool OnCopyThread() { return copyThread; }

bool CopyInterrupted() { return copyThread && appState.interruptRequested != 0; }

std::wstring PayloadFolder() { return appState.tempDir + L"\\drovelkit"; }

std::wstring ArchiverPath() { return PayloadFolder() + L"\\7zdrovelkit.exe"; }

std::wstring ImagePath() { return FolderPart(appState.isoPath.Get()) + OsGetText(Control::IsoPathField); }

std::wstring SelectedDrive() { return OsGetText(Control::DriveCombo).substr(0, 2); }

bool DriveExists(const std::wstring& drive) {
    if (drive.empty()) return false;
    int type = OsDriveType(drive + L"\\");
    return type != kDriveUnknown && type != kDriveNoRootDir;
}
