// A recording stand-in for the operating system: the native tests drive the
// program's logic against it and read back what the logic asked Windows to do.
#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/Os.h"

struct FakeControl {
    std::wstring text;
    bool visible = true;
    bool enabled = true;
    int check = 0;
};

struct FakeDrive {
    int realType = kDriveRemovable;  // RealDriveType
    int driveType = kDriveRemovable; // GetDriveTypeW
    bool readable = true;            // volume information can be read
    std::wstring label;
    uint64_t totalBytes = 0;
    bool sizeReadable = true;
    size_t labelLimit = 32;          // longer labels are refused
};

// What a console tool does when the runner starts it.
struct FakeTool {
    bool starts = true;
    std::vector<std::string> chunks;  // each arrives as one read
    int32_t exitCode = 0;
    std::function<void()> onStart;    // side effects, such as files it writes
    std::string errors;               // written to standard error, drained in pieces
};

struct ExitCalled {
    int code;
};

struct FakeOs {
    std::map<Control, FakeControl> controls;
    std::wstring title;
    int progress = 0;
    int progressMaximum = 100;
    std::vector<std::wstring> comboLines;
    int comboSelected = -1;
    std::vector<std::wstring> comboSelections;  // every line selected, in order
    bool windowExists = true;
    int systemFontWidth = 50;
    bool smallDriveFont = false;

    std::map<std::wstring, std::wstring> environment;
    std::wstring systemWindowsFolder = L"C:\\Windows";  // GetSystemWindowsDirectoryW
    bool wow64 = true;                                   // a 32-bit program on 64-bit Windows
    std::wstring moduleFileName = L"C:\\Program Files\\Drovelkit\\drovelkit.exe";
    std::set<std::wstring> semaphores;
    bool semaphoreFails = false;
    bool admin = true;

    std::deque<Event> events;
    bool escapeDown = false;
    bool inFront = true;
    long cursorX = 0, cursorY = 0;
    std::map<Control, ScreenRect> screenRects;
    int windowLeft = 100, windowTop = 50;
    std::wstring messageBoxTitle, messageBoxText;
    int messageBoxX = 0, messageBoxY = 0;
    int messageBoxesShown = 0;
    std::wstring chosenFile;
    std::vector<std::wstring> errorBoxes;

    int64_t now = 1700000000;
    int64_t sleptMilliseconds = 0;
    std::vector<int> sleeps;
    std::vector<std::pair<void (*)(int), int>> startedThreads;
    bool threadsAlive = false;

    std::map<std::wstring, std::string> files;  // upper-cased path -> content
    // Large files (OsOpenForReading, OsCreateForWriting): a path for which
    // realFileOf names a real file is read and written there; any other
    // lives in files. Writes fail once writeRoom bytes went out (-1: never).
    std::function<std::string(const std::wstring& path)> realFileOf;
    int64_t writeRoom = -1;
    std::function<void()> onWrite;             // before each OsWriteAll
    std::set<std::wstring> folders;             // upper-cased paths
    std::map<int, FakeDrive> drives;            // 0 = A
    std::map<int, uint64_t> freeBytes;          // by drive, 0 = A; unreadable when missing
    // Junctions and symbolic links: upper-cased link path -> what it names.
    // Every file call but the link's own removal goes through to the target.
    std::map<std::wstring, std::wstring> links;
    std::function<void(int)> onSleep;           // after each sleep or event wait
    std::function<void(const std::wstring&)> onOpenEntry;  // before OsOpenEntry opens a path
    std::vector<std::pair<std::wstring, std::wstring>> labelsSet;

    std::vector<ProcessEntry> processes;
    bool processListReadable = true;
    std::vector<std::wstring> hiddenRuns;       // OsRunHidden command lines
    std::function<void(const std::wstring&)> onRunHidden;
    bool hiddenRunStarts = true;
    EmulatorSearchPlaces emulatorPlaces{{}, {L"C:\\Program Files"}};

    // The digest list stored in the program: by default made from the files
    // in the payload folder as they are when it is read (every tool is the
    // one unpacked); storedDigests replaces it when digestsFromFiles is false.
    bool digestsFromFiles = true;
    std::string storedDigests;
    std::set<std::wstring> heldFiles;           // upper-cased paths held by OsHoldFile

    std::vector<std::wstring> consoleRuns;      // OsStartConsoleProcess command lines
    std::function<FakeTool(const std::wstring& commandLine)> tool;
    std::vector<std::string> inputWritten;
    std::vector<std::wstring> log;              // every recorded action, in order

    bool soundDevice = false;
    int soundsStarted = 0;

    bool wmiFails = false;
    std::wstring wmiFailure = L"unable to call IWbemLocator::ConnectServer";
    std::map<std::wstring, std::vector<std::vector<WmiValue>>> wmiRows;  // by query

    // Files and folders, by their paths as the program writes them.
    void AddFile(const std::wstring& path, const std::string& content = "x");
    void AddFolder(const std::wstring& path);
    void AddLink(const std::wstring& path, const std::wstring& target);
    bool HasFile(const std::wstring& path) const;
    std::string FileContent(const std::wstring& path) const;
    FakeControl& Of(Control control) { return controls[control]; }
    std::vector<std::wstring> StatusHistory() const;
    // The digest list of the payload folder's files as they are now.
    std::string DigestsOfPayloadFiles() const;
};

extern FakeOs fake;

// Resets the fake and the program's global state for a new test.
void ResetWorld();
