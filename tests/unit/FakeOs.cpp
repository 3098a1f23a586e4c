#include "tests/unit/FakeOs.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <cwctype>

#include "app/AppState.h"
#include "common/Sha256.h"
#include "common/Str.h"
#include "tools/ConsoleRunner.h"

FakeOs fake;

namespace {

std::wstring Key(const std::wstring& path) { return ToUpper(path); }

// The path with every link on its way replaced by what the link names; with
// keepLast the last part is not resolved (the link itself is meant).
std::wstring Resolve(const std::wstring& path, bool keepLast = false) {
    std::wstring key = Key(path);
    for (int hops = 0; hops < 40; ++hops) {
        bool changed = false;
        for (const auto& link : fake.links) {
            const std::wstring& from = link.first;
            if (StartsWith(key, from + L"\\") || (key == from && !keepLast)) {
                key = link.second + key.substr(from.size());
                changed = true;
                break;
            }
        }
        if (!changed) break;
    }
    return key;
}

std::wstring ControlName(Control control) {
    static const wchar_t* names[] = {
        L"DriveCombo", L"StartButton", L"ShowAllDrivesCheck", L"IsoPathField", L"IsoImageButton",
        L"CopyProgressBar", L"LogoImage", L"LabelField", L"LabelCaption", L"TestMenuButton", L"FormatFrame",
        L"FormatNoneOption", L"FormatNtfsOption", L"FormatFatOption", L"FormatExFatOption", L"TestMenuFrame",
        L"BootBiosOption", L"BootEfi64Option", L"BootEfi32Option", L"ProgressText", L"CheckDiskBox",
        L"DraggedFilesNotice", L"StatusLine"};
    int index = int(control);
    if (index >= 0 && index < int(Control::MainWindowCount)) return names[index];
    return L"control" + std::to_wstring(index);
}

struct FakeConsole {
    FakeTool tool;
    size_t next = 0;       // next chunk to deliver
    std::string pending;   // the chunk being read
    bool pendingLoaded = false;
};

void LoadNext(FakeConsole* console) {
    if (!console->pendingLoaded && console->next < console->tool.chunks.size()) {
        console->pending = console->tool.chunks[console->next++];
        console->pendingLoaded = true;
    }
}

}  // namespace

void FakeOs::AddFile(const std::wstring& path, const std::string& content) { files[Key(path)] = content; }
void FakeOs::AddFolder(const std::wstring& path) { folders.insert(Key(path)); }
void FakeOs::AddLink(const std::wstring& path, const std::wstring& target) { links[Key(path)] = Key(target); }
bool FakeOs::HasFile(const std::wstring& path) const { return files.count(Key(path)) != 0; }
std::string FakeOs::FileContent(const std::wstring& path) const {
    auto found = files.find(Key(path));
    return found == files.end() ? std::string() : found->second;
}
std::vector<std::wstring> FakeOs::StatusHistory() const {
    std::vector<std::wstring> history;
    for (const std::wstring& line : log)
        if (StartsWith(line, L"status: ")) history.push_back(line.substr(8));
    return history;
}

void ResetWorld() {
    fake = FakeOs();
    for (int i = 0; i < int(Control::MainWindowCount); ++i) fake.controls[Control(i)] = FakeControl();
    appState.windowTitle.Set(kWindowTitle);
    appState.isoPath.Set(L"");
    appState.imageComment.Set(L"");
    appState.draggedFiles.Set(L"");
    appState.windowsDir = L"C:\\Windows";
    appState.tempDir = L"C:\\Temp";
    appState.nativeSystemDir = L"C:\\Windows\\Sysnative";
    appState.imageSizeKiB = 0;
    appState.extractStartTime = 0;
    appState.driveListBusy = 0;
    appState.showAllDrives = 0;
    appState.workerThread = nullptr;
    appState.interruptRequested = 0;
    appState.checkDiskClicks = 0;
    appState.inspectionsRunning = 0;
    appState.largestFileBytes = 0;
    appState.largestFileName.Set(L"");
    appState.windowsImageBytes = 0;
    appState.windowsImageName.Set(L"");
    MarkCopyThread(false);
    CurrentRunReport() = RunReport();
}

// ---- Start-up and environment
std::wstring OsGetEnvironment(const wchar_t* name) {
    auto found = fake.environment.find(name);
    return found == fake.environment.end() ? L"" : found->second;
}
std::wstring OsSystemTempFolder() { return L"C:\\Users\\user\\AppData\\Local\\Temp"; }
std::wstring OsSystemWindowsFolder() { return fake.systemWindowsFolder; }
std::wstring OsSystemFolder() { return fake.systemWindowsFolder + L"\\System32"; }
bool OsRunsUnderWow64() { return fake.wow64; }
std::wstring OsModuleFileName() { return fake.moduleFileName; }
InstanceResult OsCreateInstanceSemaphore(const std::wstring& name) {
    if (fake.semaphoreFails) return InstanceResult::NoSemaphore;
    return fake.semaphores.insert(name).second ? InstanceResult::First : InstanceResult::AlreadyRunning;
}
bool OsHasAdminRights() { return fake.admin; }
void OsExitProcess(int code) { throw ExitCalled{code}; }

// ---- Window and controls
bool OsCreateMainWindow() {
    fake.log.push_back(L"create window");
    for (int i = 0; i < int(Control::MainWindowCount); ++i) {
        FakeControl& control = fake.controls[Control(i)];
        control.text = LayoutOf(Control(i)).caption;
        control.visible = Control(i) != Control::StartButton;
    }
    return true;
}
void OsReleaseWindowResources() { fake.log.push_back(L"release window"); }
bool OsMainWindowExists() { return fake.windowExists; }
std::wstring OsGetText(Control control) {
    if (control == Control::DriveCombo)
        return fake.comboSelected >= 0 && fake.comboSelected < int(fake.comboLines.size())
                   ? fake.comboLines[fake.comboSelected]
                   : L"";
    if (control == Control::MessageBoxText) return fake.messageBoxText;
    return fake.controls[control].text;
}
void OsSetText(Control control, const std::wstring& text) {
    if (control == Control::StatusLine) fake.log.push_back(L"status: " + text);
    else fake.log.push_back(L"text " + ControlName(control) + L": " + text);
    fake.controls[control].text = text;
}
void OsSetWindowTitle(const std::wstring& title) { fake.title = title; }
std::wstring OsGetWindowTitle() { return fake.title; }
void OsShowControl(Control control, bool visible) {
    fake.log.push_back((visible ? L"show " : L"hide ") + ControlName(control));
    fake.controls[control].visible = visible;
}
void OsEnableControl(Control control, bool enabled) {
    fake.log.push_back((enabled ? L"enable " : L"disable ") + ControlName(control));
    fake.controls[control].enabled = enabled;
}
int OsGetCheck(Control control) { return fake.controls[control].check; }
void OsSetCheck(Control control, int state) {
    Control first, last;
    if (state == 1 && OptionGroup(control, &first, &last))  // one option of a group at a time
        for (int i = int(first); i <= int(last); ++i) fake.controls[Control(i)].check = 0;
    fake.controls[control].check = state;
}
void OsSetTooltip(Control control, const std::wstring& text) {
    fake.log.push_back(L"tooltip " + ControlName(control) + L": " + text);
}
int OsGetProgress() { return fake.progress; }
void OsSetProgress(int value) {
    fake.log.push_back(L"progress " + std::to_wstring(value));
    fake.progress = value;
}
void OsSetProgressRange(int maximum) {
    fake.log.push_back(L"range " + std::to_wstring(maximum));
    fake.progressMaximum = maximum;
}
void OsComboClear() {
    fake.comboLines.clear();
    fake.comboSelected = -1;
}
void OsComboAppend(const std::wstring& line) { fake.comboLines.push_back(line); }
int OsComboCount() { return int(fake.comboLines.size()); }
std::wstring OsComboLine(int index) {
    return index >= 0 && index < int(fake.comboLines.size()) ? fake.comboLines[index] : L"";
}
void OsComboSelect(int index) {
    if (index < 0 || index >= int(fake.comboLines.size())) return;
    fake.comboSelected = index;
    fake.comboSelections.push_back(fake.comboLines[index]);
}
int OsMeasureSystemFontText(const std::wstring&) { return fake.systemFontWidth; }
void OsUseSmallDriveListFont() { fake.smallDriveFont = true; }
void OsAcceptDroppedFiles() { fake.log.push_back(L"accept drops"); }
void OsSetTaskbarProgressState(int state) { fake.log.push_back(L"taskbar state " + std::to_wstring(state)); }
void OsSetTaskbarProgressValue(uint64_t completed, uint64_t total) {
    fake.log.push_back(L"taskbar " + std::to_wstring(completed) + L"/" + std::to_wstring(total));
}
bool OsOnWindowThread() { return true; }
void OsRunOnWindowThread(void (*procedure)()) { procedure(); }

// ---- Events
bool OsNextEvent(Event* event) {
    if (fake.events.empty()) return false;
    *event = fake.events.front();
    fake.events.pop_front();
    return true;
}
void OsWaitForEvents(int milliseconds) {
    fake.sleptMilliseconds += milliseconds;
    if (fake.onSleep) fake.onSleep(milliseconds);
}
bool OsEscapeKeyDown() { return fake.escapeDown; }
bool OsMainWindowInFront() { return fake.inFront; }
bool OsControlScreenRect(Control control, ScreenRect* rect) {
    auto found = fake.screenRects.find(control);
    if (found == fake.screenRects.end()) return false;
    *rect = found->second;
    return true;
}
void OsCursorPosition(long* x, long* y) {
    *x = fake.cursorX;
    *y = fake.cursorY;
}
void OsMainWindowOrigin(int* x, int* y) {
    *x = fake.windowLeft;
    *y = fake.windowTop;
}
void OsOpenMessageBox(int x, int y, const std::wstring& title, const std::wstring& text) {
    fake.messageBoxX = x;
    fake.messageBoxY = y;
    fake.messageBoxTitle = title;
    fake.messageBoxText = text;
    ++fake.messageBoxesShown;
    fake.log.push_back(L"box " + title + L": " + text);
    // The user presses Ok at once.
    Event ok;
    ok.kind = EventKind::ControlEvent;
    ok.window = EventWindow::MessageBox;
    ok.control = Control::MessageBoxOk;
    fake.events.push_back(ok);
}
void OsActivateMessageBox() {}
void OsCloseMessageBox() { fake.log.push_back(L"box closed"); }
void OsShowErrorBox(const std::wstring& title, const std::wstring& text) {
    fake.errorBoxes.push_back(title + L": " + text);
}
std::wstring OsChooseOpenFile(const std::wstring& title, const std::wstring& filterName,
                              const std::wstring& filterPattern, const std::wstring& initialFolder) {
    fake.log.push_back(L"dialog " + title + L"|" + filterName + L"|" + filterPattern + L"|" + initialFolder);
    return fake.chosenFile;
}

// ---- Time and threads
void OsSleep(int milliseconds) {
    fake.sleeps.push_back(milliseconds);
    fake.sleptMilliseconds += milliseconds;
    fake.log.push_back(L"sleep " + std::to_wstring(milliseconds));
    if (fake.onSleep) fake.onSleep(milliseconds);
}
int64_t OsLocalTimeSeconds() { return fake.now; }
ThreadHandle OsStartThread(void (*procedure)(int), int parameter) {
    fake.startedThreads.emplace_back(procedure, parameter);
    fake.log.push_back(L"thread started");
    return reinterpret_cast<ThreadHandle>(fake.startedThreads.size());
}
bool OsThreadAlive(ThreadHandle) { return fake.threadsAlive; }
void OsForgetThread(ThreadHandle) {}

// ---- Files and drives
int64_t OsFileSize(const std::wstring& path) {
    auto found = fake.files.find(Resolve(path));
    return found == fake.files.end() ? -1 : int64_t(found->second.size());
}
bool OsIsFolder(const std::wstring& path) { return fake.folders.count(Resolve(path)) != 0; }
bool OsWriteWholeFile(const std::wstring& path, const void* data, size_t size) {
    fake.log.push_back(L"write " + path);
    if (fake.heldFiles.count(Key(path)) != 0) return false;  // as Windows keeps a held file
    fake.files[Key(path)] = std::string(static_cast<const char*>(data), size);
    return true;
}
bool OsDeleteFile(const std::wstring& path) {
    fake.log.push_back(L"delete " + path);
    if (fake.heldFiles.count(Resolve(path)) != 0) return false;
    return fake.files.erase(Resolve(path)) != 0;
}
bool OsCreateFolder(const std::wstring& path) {
    fake.log.push_back(L"create folder " + path);
    return fake.folders.insert(Key(path)).second;
}
bool OsCopyFile(const std::wstring& from, const std::wstring& to) {
    fake.log.push_back(L"copy " + from + L" -> " + to);
    auto found = fake.files.find(Resolve(from));
    if (found == fake.files.end()) return false;
    fake.files[Resolve(to)] = found->second;
    return true;
}
struct OsFile {
    std::wstring key;      // the fake's file, unless real is open
    FILE* real = nullptr;
    bool writing = false;
    std::string written;
    bool failed = false;
};
static OsFile* NewFile(const std::wstring& key, FILE* real, bool writing) {
    OsFile* file = new OsFile;
    file->key = key;
    file->real = real;
    file->writing = writing;
    return file;
}
OsFile* OsOpenForReading(const std::wstring& path, uint64_t* size) {
    const std::string real = fake.realFileOf ? fake.realFileOf(path) : std::string();
    if (!real.empty()) {
        FILE* stream = std::fopen(real.c_str(), "rb");
        if (stream == nullptr) return nullptr;
        std::fseek(stream, 0, SEEK_END);
        *size = uint64_t(ftello(stream));
        return NewFile(L"", stream, false);
    }
    auto found = fake.files.find(Resolve(path));
    if (found == fake.files.end()) return nullptr;
    *size = found->second.size();
    return NewFile(found->first, nullptr, false);
}
bool OsReadAt(OsFile* file, uint64_t offset, void* buffer, size_t count) {
    if (file->real) return pread(fileno(file->real), buffer, count, off_t(offset)) == ssize_t(count);
    auto found = fake.files.find(file->key);
    if (found == fake.files.end() || offset > found->second.size() || found->second.size() - offset < count)
        return false;
    std::memcpy(buffer, found->second.data() + offset, count);
    return true;
}
OsFile* OsCreateForWriting(const std::wstring& path) {
    fake.log.push_back(L"create " + path);
    const std::string real = fake.realFileOf ? fake.realFileOf(path) : std::string();
    if (!real.empty()) {
        FILE* stream = std::fopen(real.c_str(), "wb");
        return stream == nullptr ? nullptr : NewFile(L"", stream, true);
    }
    if (fake.heldFiles.count(Resolve(path)) != 0) return nullptr;
    fake.files[Resolve(path)].clear();
    return NewFile(Resolve(path), nullptr, true);
}
bool OsWriteAll(OsFile* file, const void* data, size_t count) {
    if (fake.onWrite) fake.onWrite();
    if (fake.writeRoom >= 0) {
        if (int64_t(count) > fake.writeRoom) return !(file->failed = true);
        fake.writeRoom -= int64_t(count);
    }
    if (file->real) return std::fwrite(data, 1, count, file->real) == count || !(file->failed = true);
    file->written.append(static_cast<const char*>(data), count);
    return true;
}
bool OsCloseFile(OsFile* file) {
    if (file == nullptr) return true;
    bool good = !file->failed;
    if (file->real) good = std::fclose(file->real) == 0 && good;
    else if (file->writing) fake.files[file->key] = std::move(file->written);
    delete file;
    return good;
}
std::vector<FolderEntry> OsListFolder(const std::wstring& path) {
    std::vector<FolderEntry> entries;
    // As on Windows, a path longer than MAX_PATH cannot be listed.
    if (path.size() >= 260) return entries;
    const std::wstring prefix = Resolve(path) + L"\\";
    auto direct = [&](const std::wstring& key) {
        return StartsWith(key, prefix) && key.find(L'\\', prefix.size()) == std::wstring::npos;
    };
    for (const auto& link : fake.links)
        if (direct(link.first))
            entries.push_back({link.first.substr(prefix.size()), fake.folders.count(Resolve(link.first)) != 0, true});
    for (const auto& folder : fake.folders)
        if (direct(folder) && !fake.links.count(folder)) entries.push_back({folder.substr(prefix.size()), true});
    for (const auto& file : fake.files)
        if (direct(file.first)) entries.push_back({file.first.substr(prefix.size()), false});
    return entries;
}
struct HeldFile {
    std::wstring key;
    std::wstring path;  // as Windows would tell it: links on the way resolved
};
HeldFile* OsHoldFile(const std::wstring& path) {
    // A link is opened as itself, which holds no program.
    const std::wstring key = Resolve(path, true);
    fake.log.push_back(L"hold " + path);
    if (fake.links.count(key) == 0 && fake.files.count(key) == 0) return nullptr;
    fake.heldFiles.insert(key);
    return new HeldFile{key, key == Key(path) ? path : key};
}
bool OsReadHeldFile(HeldFile* file, std::string* bytes) {
    auto found = fake.files.find(file->key);
    if (found == fake.files.end()) return false;
    *bytes = found->second;
    return true;
}
std::wstring OsHeldFilePath(HeldFile* file) { return file == nullptr ? L"" : file->path; }
struct OpenEntry {
    std::wstring key;
    std::wstring path;
};
OpenEntry* OsOpenEntry(const std::wstring& path, bool* isFolder) {
    if (fake.onOpenEntry) fake.onOpenEntry(path);
    const std::wstring key = Resolve(path, true);
    const bool link = fake.links.count(key) != 0;
    const bool folder = !link && fake.folders.count(key) != 0;
    if (!link && !folder && (fake.files.count(key) == 0 || fake.heldFiles.count(key) != 0)) return nullptr;
    *isFolder = folder;
    return new OpenEntry{key, path};
}
std::vector<std::wstring> OsListOpenFolder(OpenEntry* folder) {
    std::vector<std::wstring> names;
    for (const FolderEntry& entry : OsListFolder(folder->path)) names.push_back(entry.name);
    return names;
}
bool OsDeleteOpenEntry(OpenEntry* entry) {
    bool deleted = false;
    if (fake.links.count(entry->key) != 0) {
        fake.log.push_back(L"remove link " + entry->path);
        deleted = fake.links.erase(entry->key) != 0;
    } else if (fake.folders.count(entry->key) != 0) {
        fake.log.push_back(L"remove folder " + entry->path);
        const std::wstring inside = entry->key + L"\\";
        bool empty = true;
        for (const auto& file : fake.files) empty = empty && !StartsWith(file.first, inside);
        for (const auto& folder : fake.folders) empty = empty && !StartsWith(folder, inside);
        for (const auto& link : fake.links) empty = empty && !StartsWith(link.first, inside);
        deleted = empty && fake.folders.erase(entry->key) != 0;
    } else {
        fake.log.push_back(L"delete " + entry->path);
        deleted = fake.files.erase(entry->key) != 0;
    }
    delete entry;
    return deleted;
}
void OsReleaseFile(HeldFile* file) {
    if (file == nullptr) return;
    fake.log.push_back(L"release " + file->key);
    fake.heldFiles.erase(file->key);
    delete file;
}
std::string FakeOs::DigestsOfPayloadFiles() const {
    const std::wstring folder = Key(PayloadFolder() + L"\\");
    std::string list;
    for (const auto& file : files)
        if (StartsWith(file.first, folder))
            list += Sha256Hex(file.second) + " " + ToUtf8(file.first.substr(folder.size())) + "\r\n";
    return list;
}

bool OsIsLink(const std::wstring& path) { return fake.links.count(Resolve(path, true)) != 0; }
int OsRealDriveType(int index) {
    auto found = fake.drives.find(index);
    return found == fake.drives.end() ? kDriveNoRootDir : found->second.realType;
}
int OsDriveType(const std::wstring& root) {
    if (root.size() < 2 || root[1] != L':') return kDriveNoRootDir;
    auto found = fake.drives.find(int(towupper(root[0]) - L'A'));
    return found == fake.drives.end() ? kDriveNoRootDir : found->second.driveType;
}
bool OsVolumeLabel(const std::wstring& root, std::wstring* label) {
    auto found = fake.drives.find(int(towupper(root[0]) - L'A'));
    if (found == fake.drives.end() || !found->second.readable) return false;
    *label = found->second.label;
    return true;
}
bool OsVolumeTotalBytes(const std::wstring& root, uint64_t* bytes) {
    auto found = fake.drives.find(int(towupper(root[0]) - L'A'));
    if (found == fake.drives.end() || !found->second.sizeReadable) return false;
    *bytes = found->second.totalBytes;
    return true;
}
bool OsFreeBytes(const std::wstring& folder, uint64_t* bytes) {
    auto found = folder.empty() ? fake.freeBytes.end() : fake.freeBytes.find(int(towupper(folder[0]) - L'A'));
    if (found == fake.freeBytes.end()) return false;
    *bytes = found->second;
    return true;
}
bool OsFlushVolume(const std::wstring& drive) {
    fake.log.push_back(L"flush " + drive);
    return true;
}

void OsRestoreDiskChanges() { fake.log.push_back(L"restore disk changes"); }

bool OsSetVolumeLabel(const std::wstring& root, const std::wstring& label) {
    fake.labelsSet.emplace_back(root, label);
    fake.log.push_back(L"label " + root + L" " + label);
    auto found = fake.drives.find(int(towupper(root[0]) - L'A'));
    if (found == fake.drives.end() || label.size() > found->second.labelLimit) return false;
    found->second.label = label;
    return true;
}

// ---- Processes
EmulatorSearchPlaces OsEmulatorSearchPlaces() { return fake.emulatorPlaces; }

bool OsRunHidden(const std::wstring& commandLine, const std::wstring& workingFolder, int waitMilliseconds,
                 bool newConsole) {
    fake.hiddenRuns.push_back(commandLine);
    fake.log.push_back(L"run hidden " + commandLine + L" in " + workingFolder + L" wait " +
                       std::to_wstring(waitMilliseconds) + (newConsole ? L" new console" : L""));
    if (fake.onRunHidden) fake.onRunHidden(commandLine);
    return fake.hiddenRunStarts;
}
bool OsListProcesses(std::vector<ProcessEntry>* processes) {
    if (!fake.processListReadable) return false;
    *processes = fake.processes;
    return true;
}
struct ConsoleProcess {
    FakeConsole console;
};
ConsoleProcess* OsStartConsoleProcess(const std::wstring& commandLine, const std::wstring& workingFolder) {
    fake.consoleRuns.push_back(commandLine);
    fake.log.push_back(L"console " + commandLine + L" in " + workingFolder);
    FakeTool tool = fake.tool ? fake.tool(commandLine) : FakeTool();
    if (!tool.starts) return nullptr;
    if (tool.onStart) tool.onStart();
    ConsoleProcess* process = new ConsoleProcess;
    process->console.tool = tool;
    return process;
}
uint32_t OsPeekOutput(ConsoleProcess* process) {
    LoadNext(&process->console);
    return process->console.pendingLoaded ? uint32_t(process->console.pending.size()) : 0;
}
std::string OsReadOutput(ConsoleProcess* process, uint32_t count) {
    FakeConsole& console = process->console;
    LoadNext(&console);
    std::string bytes = console.pending.substr(0, count);
    console.pending.erase(0, count);
    if (console.pending.empty()) console.pendingLoaded = false;
    return bytes;
}
std::string OsDrainErrors(ConsoleProcess* process) {
    std::string& errors = process->console.tool.errors;
    const std::string piece = errors.substr(0, 4096);
    errors.erase(0, piece.size());
    return piece;
}
void OsWriteInput(ConsoleProcess*, const std::string& bytes) { fake.inputWritten.push_back(bytes); }
bool OsProcessAlive(ConsoleProcess* process) {
    return process->console.pendingLoaded || process->console.next < process->console.tool.chunks.size();
}
void OsWaitForProcess(ConsoleProcess*, int milliseconds) { fake.sleptMilliseconds += milliseconds; }
int32_t OsFinishConsoleProcess(ConsoleProcess* process) {
    int32_t code = process->console.tool.exitCode;
    delete process;
    return code;
}
std::wstring OsAnsiToText(const std::string& bytes) {
    std::wstring text;
    for (unsigned char c : bytes) text += wchar_t(c);  // Latin-1 stands in for the ANSI code page
    return text;
}
std::wstring OsReadAnsiAsOem(const std::wstring& text) {
    std::wstring result;
    for (wchar_t c : text) {
        // The glyphs that the OEM reading gives three control bytes.
        if (c == L'\r') result += wchar_t(0x266A);
        else if (c == L'\n') result += wchar_t(0x25D9);
        else if (c == L'\t') result += wchar_t(0x25CB);
        else result += c;
    }
    return result;
}
bool OsIsWindowsXpFamily() { return false; }

// ---- Sound
bool OsStartSound(const void*, size_t) {
    if (!fake.soundDevice) return false;
    ++fake.soundsStarted;
    fake.log.push_back(L"sound");
    return true;
}
void OsStopSound() { fake.log.push_back(L"sound stopped"); }

// ---- WMI
bool OsWmiSelect(const std::wstring& query, const std::vector<std::wstring>&,
                 std::vector<std::vector<WmiValue>>* rows, std::wstring* failure) {
    if (fake.wmiFails) {
        *failure = fake.wmiFailure;
        return false;
    }
    *rows = fake.wmiRows[query];
    return true;
}

// ---- Stored data
StoredBlock OsPayloadBlock() {
    static const unsigned char block[] = "stored payload";
    return {block, sizeof block - 1};
}
StoredBlock OsCompletionSound() {
    static const unsigned char wave[] = "RIFF";
    return {wave, 4};
}
StoredBlock OsLogoPng() { return {nullptr, 0}; }
StoredBlock OsPayloadDigests() {
    static std::string list;
    list = fake.digestsFromFiles ? fake.DigestsOfPayloadFiles() : fake.storedDigests;
    return {reinterpret_cast<const unsigned char*>(list.data()), list.size()};
}
