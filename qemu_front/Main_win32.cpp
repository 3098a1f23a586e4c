// qemu_test.exe: takes the emulator command line that Drovelkit builds and
// starts a real QEMU with it. Exit codes: 0 started (or ended within the
// grace period with 0), 2 no emulator found, 3 the emulator could not be
// started, otherwise the emulator's own early exit code.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

#include "EmulatorPlaces_win32.h"
#include "FrontArgs.h"
#include "platform/SystemLibraries_win32.h"

namespace {

const wchar_t kBoxTitle[] = L"Drovelkit";

// A QEMU that rejects its arguments ends at once; waiting this long lets the
// front show why instead of leaving the user with nothing on the screen.
const DWORD kGraceMilliseconds = 2500;

std::wstring SystemErrorText(DWORD error) {
    wchar_t* text = nullptr;
    DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                 FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring result = n ? std::wstring(text, n) : L"unknown error";
    if (text) LocalFree(text);
    while (!result.empty() && (result.back() == L'\r' || result.back() == L'\n')) result.pop_back();
    return result;
}

// QEMU's own messages go to a temporary file that vanishes with its last
// handle, so nothing is left behind whatever the emulator does. The file
// lies in the user's TEMP: another process of the user may swap it for a
// link between its creation and our open. Opened as itself, a link is only
// a link, and deleting it on close removes no file of anyone else's; a
// file that is not our own single-named plain file is not written to.
HANDLE CreateOutputCapture() {
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, folder);
    if (n == 0 || n > MAX_PATH || GetTempFileNameW(folder, L"dkq", 0, name) == 0) {
        return INVALID_HANDLE_VALUE;
    }
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE file = CreateFileW(name, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inheritable,
                              OPEN_EXISTING,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE |
                                  FILE_FLAG_OPEN_REPARSE_POINT,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DeleteFileW(name);  // removes a link itself, never what it names
        return file;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info) || info.nNumberOfLinks != 1 ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        info.nFileSizeLow != 0 || info.nFileSizeHigh != 0) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

std::wstring ReadCapturedOutput(HANDLE file) {
    const DWORD kLimit = 4096;
    std::string bytes(kLimit, '\0');
    DWORD got = 0;
    if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !ReadFile(file, &bytes[0], kLimit, &got, nullptr)) {
        return std::wstring();
    }
    bytes.resize(got);
    // QEMU for Windows writes its messages in the ANSI code page.
    int wide = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()),
                                   nullptr, 0);
    std::wstring text(wide, L'\0');
    if (wide > 0) {
        MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0],
                            wide);
    }
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
    return text;
}

void ShowMessage(const std::wstring& text, UINT icon) {
    MessageBoxW(nullptr, text.c_str(), kBoxTitle, MB_OK | icon | MB_SETFOREGROUND);
}

int StartEmulator(const std::wstring& emulator, const std::vector<std::wstring>& args) {
    std::wstring line = QuoteCommandLine(emulator, args);
    std::vector<wchar_t> mutableLine(line.begin(), line.end());
    mutableLine.push_back(L'\0');

    HANDLE capture = CreateOutputCapture();
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    if (capture != INVALID_HANDLE_VALUE) {
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = capture;
        startup.hStdError = capture;
    }
    PROCESS_INFORMATION process = {};
    // qemu-system-x86_64.exe is a console program; without CREATE_NO_WINDOW
    // an empty console window would open beside the emulator's display.
    BOOL started = CreateProcessW(emulator.c_str(), mutableLine.data(), nullptr, nullptr,
                                  capture != INVALID_HANDLE_VALUE, CREATE_NO_WINDOW, nullptr,
                                  nullptr, &startup, &process);
    if (!started) {
        DWORD error = GetLastError();
        if (capture != INVALID_HANDLE_VALUE) CloseHandle(capture);
        ShowMessage(StartFailureMessage(emulator, error, SystemErrorText(error)), MB_ICONERROR);
        return 3;
    }
    CloseHandle(process.hThread);

    int result = 0;
    if (WaitForSingleObject(process.hProcess, kGraceMilliseconds) == WAIT_OBJECT_0) {
        DWORD exitCode = 0;
        GetExitCodeProcess(process.hProcess, &exitCode);
        if (exitCode != 0) {
            std::wstring output =
                capture != INVALID_HANDLE_VALUE ? ReadCapturedOutput(capture) : std::wstring();
            ShowMessage(EarlyExitMessage(emulator, exitCode, output), MB_ICONERROR);
        }
        result = static_cast<int>(exitCode);
    }
    CloseHandle(process.hProcess);
    if (capture != INVALID_HANDLE_VALUE) CloseHandle(capture);
    return result;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    // It runs from the payload folder, which any process of the user can write.
    UseSystemFolderForLibraries();
    // lpCmdLine is not used: it has lost the program name, and the argument
    // rules for argv[0] differ from the others.
    std::vector<std::wstring> args = SplitCommandLine(GetCommandLineW());
    if (!args.empty()) args.erase(args.begin());
    std::vector<std::wstring> translated = TranslateEmulatorArgs(args);

    std::wstring emulator = FindEmulator(SystemEmulatorSearchPlaces(), IsExistingFile);
    if (emulator.empty()) {
        ShowMessage(MissingEmulatorMessage(), MB_ICONWARNING);
        return 2;
    }
    return StartEmulator(emulator, translated);
}
