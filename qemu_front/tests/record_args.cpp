// record_args.exe: a stand-in for a program that Drovelkit or its tools
// start. It appends its full command line (GetCommandLineW, UTF-8, one line
// ended by LF) to the file named by DROVELKIT_RECORD_FILE, writes the text of
// DROVELKIT_RECORD_STDERR (if set) to its standard error, and exits with the
// code in DROVELKIT_RECORD_EXIT (default 0). A console program on purpose:
// real QEMU and the real tools are console programs too.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>

#include <string>
#include <vector>

namespace {

std::wstring EnvironmentValue(const wchar_t* name) {
    DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    if (needed == 0) return std::wstring();
    std::vector<wchar_t> buffer(needed);
    DWORD n = GetEnvironmentVariableW(name, buffer.data(), needed);
    return n && n < needed ? std::wstring(buffer.data(), n) : std::wstring();
}

}  // namespace

int wmain() {
    std::wstring recordFile = EnvironmentValue(L"DROVELKIT_RECORD_FILE");
    if (recordFile.empty()) return 90;

    const wchar_t* line = GetCommandLineW();
    int lineLength = static_cast<int>(lstrlenW(line));
    int bytes = WideCharToMultiByte(CP_UTF8, 0, line, lineLength, nullptr, 0, nullptr, nullptr);
    std::string text(bytes > 0 ? bytes : 0, '\0');
    if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, line, lineLength, &text[0], bytes, nullptr, nullptr);
    text += '\n';

    // Several stand-ins may record into one file; FILE_APPEND_DATA keeps each
    // line whole.
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 50 && file == INVALID_HANDLE_VALUE; ++attempt) {
        file = CreateFileW(recordFile.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) Sleep(20);
    }
    if (file == INVALID_HANDLE_VALUE) return 91;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || written != text.size()) return 92;

    std::wstring complaint = EnvironmentValue(L"DROVELKIT_RECORD_STDERR");
    if (!complaint.empty()) {
        HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
        std::string ansi(complaint.begin(), complaint.end());  // tests pass ASCII only
        if (error && error != INVALID_HANDLE_VALUE) {
            WriteFile(error, ansi.data(), static_cast<DWORD>(ansi.size()), &written, nullptr);
        }
    }

    std::wstring exitText = EnvironmentValue(L"DROVELKIT_RECORD_EXIT");
    return exitText.empty() ? 0 : _wtoi(exitText.c_str());
}
