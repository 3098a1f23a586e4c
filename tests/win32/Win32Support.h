// What the Win32 tests share: the paths that CTest hands over, file helpers,
// and a recorder of what the logic writes into the real main window.
#pragma once
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "app/Controls.h"

// A Unix path as the test process sees it under Wine (the Unix root is Z:).
std::wstring WindowsPathOf(const std::string& unixPath);
// The Unix path in the environment variable, as a Windows path; empty when unset.
std::wstring PathFromEnvironment(const char* name);
// The Windows folder of the test prefix's temporary files, without trailing "\".
std::wstring TestTempFolder();

std::string ReadWholeFile(const std::wstring& path, bool* ok = nullptr);
bool WriteWholeFile(const std::wstring& path, const std::string& bytes);
// Empty when the two files hold the same bytes, else what differs.
std::string CompareFiles(const std::wstring& got, const std::wstring& expected);
// Removes a folder with everything in it (attributes cleared first).
void RemoveTree(const std::wstring& path);
bool FileExists(const std::wstring& path);  // a file, not a folder

// "name=value" lines, as make_image.sh writes next to each test image.
std::map<std::string, std::string> ReadManifest(const std::wstring& path);

// The temporary folder of the payload tests: its path holds blanks, as many
// users' profile folders do.
std::wstring PayloadTempFolder();
// Points tempDir at PayloadTempFolder() and makes sure the payload is there,
// by the same calling rule as every tool user of the program.
void UsePayloadWithBlanks();

// The main window that start-up created on this thread, or null without a display.
HWND MainWindow();
HWND ControlWindow(Control control);

// Subclasses StatusLine, ProgressText and CopyProgressBar of the real window
// for its lifetime and records every text and bar position set on them, in
// order. The runner works on the window's own thread in these tests, so
// every change passes through here as it happens.
class ControlRecorder {
public:
    ControlRecorder();
    ~ControlRecorder();
    ControlRecorder(const ControlRecorder&) = delete;
    ControlRecorder& operator=(const ControlRecorder&) = delete;

    std::vector<std::wstring> statusTexts;
    std::vector<std::wstring> progressTexts;
    std::vector<int> barPositions;
};

// For messages: texts in UTF-8, with control characters spelled out.
std::string Printable(const std::wstring& text);
std::string Printable(const std::vector<std::wstring>& texts);
