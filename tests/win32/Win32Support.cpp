#include "tests/win32/Win32Support.h"

#include <commctrl.h>

#include <cstdlib>

#include "app/AppState.h"
#include "app/Shutdown.h"
#include "common/Str.h"
#include "payload/Payload.h"
#include "platform/Os.h"

std::wstring WindowsPathOf(const std::string& unixPath) {
    std::wstring path = L"Z:" + FromUtf8(unixPath);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return path;
}

std::wstring PathFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    return value == nullptr || *value == '\0' ? L"" : WindowsPathOf(value);
}

std::wstring TestTempFolder() { return OsSystemTempFolder(); }

std::string ReadWholeFile(const std::wstring& path, bool* ok) {
    std::string bytes;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (ok != nullptr) *ok = file != INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE) return bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

bool WriteWholeFile(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, bytes.data(), DWORD(bytes.size()), &written, nullptr) && written == bytes.size();
    CloseHandle(file);
    return ok;
}

std::string CompareFiles(const std::wstring& got, const std::wstring& expected) {
    bool gotOk = false, expectedOk = false;
    const std::string a = ReadWholeFile(got, &gotOk);
    const std::string b = ReadWholeFile(expected, &expectedOk);
    if (!expectedOk) return "cannot read the reference " + ToUtf8(expected);
    if (!gotOk) return "cannot read " + ToUtf8(got);
    if (a.size() != b.size())
        return ToUtf8(got) + " has " + std::to_string(a.size()) + " bytes, the reference " + std::to_string(b.size());
    if (a != b) return ToUtf8(got) + " differs from its reference";
    return "";
}

void RemoveTree(const std::wstring& path) {
    // Never a drive root or a short path: only folders the tests made.
    if (path.size() <= 3) return;
    DeleteFolderTree(path);
}

bool FileExists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::map<std::string, std::string> ReadManifest(const std::wstring& path) {
    std::map<std::string, std::string> entries;
    const std::string text = ReadWholeFile(path);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        size_t equals = line.find('=');
        if (equals != std::string::npos) entries[line.substr(0, equals)] = line.substr(equals + 1);
        start = end + 1;
    }
    return entries;
}

std::wstring PayloadTempFolder() { return TestTempFolder() + L"\\dk tmp with blanks"; }

void UsePayloadWithBlanks() {
    appState.tempDir = PayloadTempFolder();
    CreateDirectoryW(appState.tempDir.c_str(), nullptr);
    EnsurePayloadUnpacked();
}

namespace {

struct EnumState {
    DWORD process;
    HWND found;
};

BOOL CALLBACK FindMain(HWND window, LPARAM parameter) {
    EnumState* state = reinterpret_cast<EnumState*>(parameter);
    wchar_t className[64] = L"";
    GetClassNameW(window, className, 64);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == state->process && std::wstring(className) == L"DrovelkitMain") {
        state->found = window;
        return FALSE;
    }
    return TRUE;
}

// One recorder at a time: the window procedures it replaces live here.
ControlRecorder* activeRecorder;
WNDPROC originalStatus, originalProgressText, originalBar;

LRESULT CALLBACK RecordStatus(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SETTEXT && activeRecorder != nullptr)
        activeRecorder->statusTexts.push_back(lParam ? reinterpret_cast<const wchar_t*>(lParam) : L"");
    return CallWindowProcW(originalStatus, window, message, wParam, lParam);
}

LRESULT CALLBACK RecordProgressText(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_SETTEXT && activeRecorder != nullptr)
        activeRecorder->progressTexts.push_back(lParam ? reinterpret_cast<const wchar_t*>(lParam) : L"");
    return CallWindowProcW(originalProgressText, window, message, wParam, lParam);
}

LRESULT CALLBACK RecordBar(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == PBM_SETPOS && activeRecorder != nullptr) activeRecorder->barPositions.push_back(int(wParam));
    return CallWindowProcW(originalBar, window, message, wParam, lParam);
}

WNDPROC Subclass(Control control, WNDPROC procedure) {
    HWND window = ControlWindow(control);
    if (window == nullptr) return nullptr;
    return reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure)));
}

void Restore(Control control, WNDPROC original) {
    HWND window = ControlWindow(control);
    if (window != nullptr && original != nullptr)
        SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
}

}  // namespace

HWND MainWindow() {
    EnumState state{GetCurrentProcessId(), nullptr};
    EnumWindows(FindMain, reinterpret_cast<LPARAM>(&state));
    return state.found;
}

HWND ControlWindow(Control control) {
    HWND main = MainWindow();
    return main == nullptr ? nullptr : GetDlgItem(main, kControlIdBase + int(control));
}

ControlRecorder::ControlRecorder() {
    activeRecorder = this;
    originalStatus = Subclass(Control::StatusLine, RecordStatus);
    originalProgressText = Subclass(Control::ProgressText, RecordProgressText);
    originalBar = Subclass(Control::CopyProgressBar, RecordBar);
}

ControlRecorder::~ControlRecorder() {
    Restore(Control::StatusLine, originalStatus);
    Restore(Control::ProgressText, originalProgressText);
    Restore(Control::CopyProgressBar, originalBar);
    activeRecorder = nullptr;
}

std::string Printable(const std::wstring& text) {
    std::wstring spelled;
    for (wchar_t c : text) {
        if (c == L'\r') spelled += L"\\r";
        else if (c == L'\n') spelled += L"\\n";
        else if (c == L'\t') spelled += L"\\t";
        else if (c == L'\b') spelled += L"\\b";
        else spelled += c;
    }
    return ToUtf8(spelled);
}

std::string Printable(const std::vector<std::wstring>& texts) {
    std::string joined;
    for (const std::wstring& text : texts) joined += "\n  \"" + Printable(text) + "\"";
    return joined;
}
