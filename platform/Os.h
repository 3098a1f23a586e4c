// The seam between Drovelkit's logic and the operating system. Every call the
// logic makes into Windows goes through one of these procedures: the Win32
// files of this folder implement them for drovelkit.exe, and a recording fake
// implements them for the native tests. Platform types never appear here.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/Controls.h"
#include "qemu_front/EmulatorSearch.h"

// ---- Start-up and environment ---------------------------------------------
std::wstring OsGetEnvironment(const wchar_t* name);  // empty when unset
std::wstring OsSystemTempFolder();                    // without trailing "\"
// The Windows folder and the system folder as the system knows them, never
// from the environment: a user's own WINDIR reaches an elevated program too.
std::wstring OsSystemWindowsFolder();
std::wstring OsSystemFolder();
bool OsRunsUnderWow64();  // a 32-bit program on 64-bit Windows
std::wstring OsModuleFileName();
enum class InstanceResult { First, AlreadyRunning, NoSemaphore };
InstanceResult OsCreateInstanceSemaphore(const std::wstring& name);
bool OsHasAdminRights();
[[noreturn]] void OsExitProcess(int code);

// ---- Main window and controls (callable from any thread) ------------------
bool OsCreateMainWindow();        // window 0 with every control, hidden StartButton
void OsReleaseWindowResources();  // fonts, images, OLE
bool OsMainWindowExists();
std::wstring OsGetText(Control control);
void OsSetText(Control control, const std::wstring& text);
void OsSetWindowTitle(const std::wstring& title);
std::wstring OsGetWindowTitle();
void OsShowControl(Control control, bool visible);
void OsEnableControl(Control control, bool enabled);
int OsGetCheck(Control control);  // 1 ticked or selected, -1 third state, 0 clear
void OsSetCheck(Control control, int state);
void OsSetTooltip(Control control, const std::wstring& text);
int OsGetProgress();
void OsSetProgress(int value);
void OsSetProgressRange(int maximum);
void OsComboClear();
void OsComboAppend(const std::wstring& line);
int OsComboCount();
std::wstring OsComboLine(int index);
void OsComboSelect(int index);
int OsMeasureSystemFontText(const std::wstring& text);  // width in pixels
void OsUseSmallDriveListFont();
void OsAcceptDroppedFiles();
void OsSetTaskbarProgressState(int state);
void OsSetTaskbarProgressValue(uint64_t completed, uint64_t total);
constexpr int kTaskbarNormal = 2;  // TBPF_NORMAL

// Runs procedure on the window's thread and returns when it has run.
bool OsOnWindowThread();
void OsRunOnWindowThread(void (*procedure)());

// ---- Events ----------------------------------------------------------------
enum class EventKind { None, ControlEvent, Menu, Close, Drop, Message };
enum class EventWindow { Main, MessageBox, Other };
struct Event {
    EventKind kind = EventKind::None;
    EventWindow window = EventWindow::Other;
    Control control = Control::None;
    int notification = 0;
    unsigned message = 0;      // the Windows message number of a Message event
    std::wstring droppedNames; // Drop: the names joined by line feeds
};
constexpr unsigned kLeftButtonUp = 0x202;
constexpr unsigned kRightButtonUp = 0x205;

bool OsNextEvent(Event* event);  // never waits
void OsWaitForEvents(int milliseconds);  // returns early when an event arrives
bool OsEscapeKeyDown();
bool OsMainWindowInFront();  // foreground window is ours and is the main window
struct ScreenRect { long left, top, width, height; };
bool OsControlScreenRect(Control control, ScreenRect* rect);  // false: no such control
void OsCursorPosition(long* x, long* y);
void OsMainWindowOrigin(int* x, int* y);  // outer frame, logical units

// The small interrupt box (window 23).
void OsOpenMessageBox(int x, int y, const std::wstring& title, const std::wstring& text);
void OsActivateMessageBox();
void OsCloseMessageBox();

// A modal error box with only OK, owned by the main window when it is in front.
void OsShowErrorBox(const std::wstring& title, const std::wstring& text);

// The open-file dialog; empty when cancelled.
std::wstring OsChooseOpenFile(const std::wstring& title, const std::wstring& filterName,
                              const std::wstring& filterPattern, const std::wstring& initialFolder);

// ---- Time and threads ------------------------------------------------------
void OsSleep(int milliseconds);
int64_t OsLocalTimeSeconds();  // local date-time as seconds since 1970
typedef void* ThreadHandle;
ThreadHandle OsStartThread(void (*procedure)(int), int parameter);
bool OsThreadAlive(ThreadHandle thread);
void OsForgetThread(ThreadHandle thread);

// ---- Files and drives ------------------------------------------------------
int64_t OsFileSize(const std::wstring& path);  // -1 when not a file
bool OsIsFolder(const std::wstring& path);
bool OsWriteWholeFile(const std::wstring& path, const void* data, size_t size);  // replaces
bool OsDeleteFile(const std::wstring& path);   // clears attributes first
bool OsCreateFolder(const std::wstring& path);
bool OsCopyFile(const std::wstring& from, const std::wstring& to);  // overwrites, clears target attributes
// isLink: a reparse point (junction, symbolic link, mount point); isFolder
// then tells what it pretends to be. Nothing of the program follows one.
struct FolderEntry { std::wstring name; bool isFolder; bool isLink = false; };
std::vector<FolderEntry> OsListFolder(const std::wstring& path);
bool OsIsLink(const std::wstring& path);
// A file opened so that nobody can write, replace or delete it until it is
// released; a link is opened as itself, not what it names. Null when the
// file cannot be opened so (missing, or open for writing elsewhere).
struct HeldFile;
HeldFile* OsHoldFile(const std::wstring& path);
bool OsReadHeldFile(HeldFile* file, std::string* bytes);  // the whole content
// The held file's path with every junction and link on its way resolved
// ("C:\..." or "\\server\..."); empty when the system cannot tell.
std::wstring OsHeldFilePath(HeldFile* file);
void OsReleaseFile(HeldFile* file);                       // null is fine
// A large file read at any offset, or written in one pass (the Windows image
// inside the ISO image, and its parts on the drive): never held in memory.
struct OsFile;
OsFile* OsOpenForReading(const std::wstring& path, uint64_t* size);  // null: cannot be opened
bool OsReadAt(OsFile* file, uint64_t offset, void* buffer, size_t count);  // exactly count bytes
OsFile* OsCreateForWriting(const std::wstring& path);  // replaces a file there; null on failure
bool OsWriteAll(OsFile* file, const void* data, size_t count);
bool OsCloseFile(OsFile* file);  // false when the file's last writes failed; null is fine
// One file, folder or link opened as itself (a link is never followed) and
// held so that nobody can rename or delete it meanwhile; null when it
// cannot be opened so. isFolder: a real folder, not a link to one.
struct OpenEntry;
OpenEntry* OsOpenEntry(const std::wstring& path, bool* isFolder);
// The names in an open folder, read through its handle (a listing by name
// would be refused while the folder is held).
std::vector<std::wstring> OsListOpenFolder(OpenEntry* folder);
// Deletes what was opened, through its handle (attributes cleared first),
// and releases it; a folder goes only when it is empty.
bool OsDeleteOpenEntry(OpenEntry* entry);
int OsRealDriveType(int driveIndex);                  // shell RealDriveType, no network
int OsDriveType(const std::wstring& root);            // GetDriveTypeW
bool OsVolumeLabel(const std::wstring& root, std::wstring* label);  // false: nothing written
bool OsVolumeTotalBytes(const std::wstring& root, uint64_t* bytes);
// Free bytes the calling user may fill on the volume that holds folder.
bool OsFreeBytes(const std::wstring& folder, uint64_t* bytes);
bool OsSetVolumeLabel(const std::wstring& root, const std::wstring& label);
// Writes everything the system holds of the drive's volume ("E:") to the
// medium, so that a stick pulled at the last message holds every file.
bool OsFlushVolume(const std::wstring& drive);
// Puts back what a boot tool that ended without doing so itself left changed
// (drive letters, AutoPlay), from the record it keeps for that.
void OsRestoreDiskChanges();
constexpr int kDriveUnknown = 0, kDriveNoRootDir = 1, kDriveRemovable = 2;

// ---- Processes ---------------------------------------------------------------
// Starts a hidden process and waits up to waitMilliseconds for its end (0: no
// wait, kWaitForever: no limit). False when it did not start.
constexpr int kWaitForever = -1;
bool OsRunHidden(const std::wstring& commandLine, const std::wstring& workingFolder, int waitMilliseconds,
                 bool newConsole);
// Where an installed emulator may be: machine-wide places only (HKLM, the
// system's Program Files folders), never the environment.
EmulatorSearchPlaces OsEmulatorSearchPlaces();
struct ProcessEntry { uint32_t id; std::wstring exeFile; };
bool OsListProcesses(std::vector<ProcessEntry>* processes);  // false: list unreadable

// A console tool under the command interpreter with its three streams on pipes.
struct ConsoleProcess;
ConsoleProcess* OsStartConsoleProcess(const std::wstring& commandLine, const std::wstring& workingFolder);
uint32_t OsPeekOutput(ConsoleProcess* process);                 // bytes waiting on standard output
std::string OsReadOutput(ConsoleProcess* process, uint32_t count);  // stops early on a broken pipe
std::string OsDrainErrors(ConsoleProcess* process);             // what waits on standard error
void OsWriteInput(ConsoleProcess* process, const std::string& bytes);
bool OsProcessAlive(ConsoleProcess* process);
void OsWaitForProcess(ConsoleProcess* process, int milliseconds);  // returns early at its end
int32_t OsFinishConsoleProcess(ConsoleProcess* process);        // exit code; frees everything

// Console text: the ANSI code page, and the OEM reading of ANSI bytes.
std::wstring OsAnsiToText(const std::string& bytes);
std::wstring OsReadAnsiAsOem(const std::wstring& text);
bool OsIsWindowsXpFamily();  // NT 5.1 or 5.2

// ---- Sound -------------------------------------------------------------------
// Starts the wave data playing; false when no sound device can be opened.
bool OsStartSound(const void* wave, size_t size);
void OsStopSound();

// ---- WMI ---------------------------------------------------------------------
enum class WmiType { String, Int32, Bool, Null, StringArray, Int32Array, Other };
struct WmiValue {
    WmiType type = WmiType::Other;
    std::wstring text;               // String
    int32_t number = 0;              // Int32
    bool flag = false;               // Bool
    std::vector<std::wstring> texts; // StringArray
    std::vector<int32_t> numbers;    // Int32Array
};
// Runs the query and reads the named properties of every object, in order.
// On failure returns false and names the failed step in failure.
bool OsWmiSelect(const std::wstring& query, const std::vector<std::wstring>& properties,
                 std::vector<std::vector<WmiValue>>* rows, std::wstring* failure);

// ---- Stored data -------------------------------------------------------------
struct StoredBlock { const unsigned char* data; size_t size; };
StoredBlock OsPayloadBlock();
StoredBlock OsCompletionSound();
StoredBlock OsLogoPng();
// The SHA-256 of every file of the payload block, made when the block was
// packed: lines of 64 hexadecimal digits, a blank and the path inside the
// payload folder ("qemu\qemu_test.exe").
StoredBlock OsPayloadDigests();
