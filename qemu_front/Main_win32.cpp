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

#include "FrontArgs.h"
#include "platform/SystemLibraries_win32.h"

namespace {

const wchar_t kBoxTitle[] = L"Drovelkit";

// A QEMU that rejects its arguments ends at once; waiting this long lets the
// front show why instead of leaving the user with nothing on the screen.
const DWORD kGraceMilliseconds = 2500;

// A text value under HKEY_LOCAL_MACHINE, which only administrators write.
// An expandable value is taken as stored: expanded, it would name what the
// user's own environment says (the search then skips it as no full path).
std::wstring MachineRegistryText(const wchar_t* keyName, const wchar_t* valueName, REGSAM view) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyName, 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) {
        return std::wstring();
    }
    std::wstring result;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExW(key, valueName, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0) {
        // The stored value need not end in a null character.
        std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
        if (RegQueryValueExW(key, valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()),
                             &size) == ERROR_SUCCESS) {
            result = buffer.data();
        }
    }
    RegCloseKey(key);
    return result;
}

// QEMU's installer writes Install_Dir in the view of its own bitness; a
// 32-bit front must ask for the 64-bit view explicitly.
std::wstring RegistryInstallDir(REGSAM view) {
    return MachineRegistryText(L"SOFTWARE\\QEMU", L"Install_Dir", view);
}

// A known folder as the system records it (never %ProgramFiles%, which the
// user can set); empty where the system has no such folder.
std::wstring KnownFolder(const GUID& id) {
    typedef HRESULT(WINAPI * GetKnownFolderProc)(const GUID&, DWORD, HANDLE, PWSTR*);
    // Looked up: Windows XP has no known folders.
    static auto getKnownFolder = reinterpret_cast<GetKnownFolderProc>(reinterpret_cast<void*>(
        GetProcAddress(LoadSystemLibrary(L"shell32.dll"), "SHGetKnownFolderPath")));
    PWSTR path = nullptr;
    if (getKnownFolder == nullptr || FAILED(getKnownFolder(id, 0, nullptr, &path)) || path == nullptr) {
        return std::wstring();
    }
    std::wstring result = path;
    CoTaskMemFree(path);
    return result;
}

// FOLDERID_ProgramFiles and FOLDERID_ProgramFilesX86.
const GUID kProgramFiles = {0x905e63b6, 0xc1bf, 0x494e, {0xb2, 0x9c, 0x65, 0xb7, 0x32, 0xd3, 0xd2, 0x1a}};
const GUID kProgramFilesX86 = {0x7c5a40ef, 0xa0fb, 0x4bfc, {0x87, 0x4a, 0xc0, 0xf2, 0xe0, 0xb9, 0xfa, 0x8e}};

// The native Program Files folder first, where QEMU for Windows (64-bit)
// installs: a 32-bit front reaches it only through the registry's 64-bit
// view, since its own known folder is the (x86) one.
std::vector<std::wstring> ProgramFolders() {
    return {MachineRegistryText(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", L"ProgramFilesDir",
                                KEY_WOW64_64KEY),
            KnownFolder(kProgramFiles), KnownFolder(kProgramFilesX86)};
}

bool IsExistingFile(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

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

    EmulatorSearchPlaces places;
    places.installDirs.push_back(RegistryInstallDir(KEY_WOW64_64KEY));
    places.installDirs.push_back(RegistryInstallDir(KEY_WOW64_32KEY));
    places.programFolders = ProgramFolders();

    std::wstring emulator = FindEmulator(places, IsExistingFile);
    if (emulator.empty()) {
        ShowMessage(MissingEmulatorMessage(), MB_ICONWARNING);
        return 2;
    }
    return StartEmulator(emulator, translated);
}
