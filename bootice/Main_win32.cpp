// bootice.exe: prepares the disk behind a drive letter for booting.
//
//   bootice /device=E: /partitions /repartition /activate /usb-hdd /fstype=ntfs|fat32|exfat /quiet
//   bootice /device=E: /mbr /install /type=nt60 /quiet
//   bootice /device=E: /pbr /install /type=bootmgr|grub4dos /activate /quiet
//
// It never reads its input. Every outcome is one line on standard error; a
// success also prints a short report on standard output. Exit codes (see
// BootExitCode): 0 done, 1 the work failed, 2 command line refused,
// 3 the disk refused by the guard, 4 the disk could not be opened, measured
// or locked. Only 1 can leave the disk changed.
#include <windows.h>

#include <string>
#include <vector>

#include "bootice/Disk_win32.h"

namespace {

std::string Utf8(const wchar_t* text) {
    int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 1) return "";
    std::string narrow(size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &narrow[0], length, nullptr, nullptr);
    narrow.pop_back();
    return narrow;
}

// A console shows the text in UTF-16; a pipe (the copy operation's runner)
// gets the bytes.
void WriteText(DWORD stream, const std::string& text) {
    HANDLE handle = GetStdHandle(stream);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode)) {
        int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
        std::vector<wchar_t> wide(size_t(length) + 1);
        MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), length);
        WriteConsoleW(handle, wide.data(), DWORD(length), &written, nullptr);
    } else {
        WriteFile(handle, text.data(), DWORD(text.size()), &written, nullptr);
    }
}

int Finish(int exitCode, const std::string& line) {
    WriteText(STD_ERROR_HANDLE, "bootice: " + line + "\r\n");
    return exitCode;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // A drive without a medium must not stop the tool with a dialog box.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(Utf8(argv[i]));
    BootCommand command;
    std::string error;
    if (!ParseBootCommand(arguments, &command, &error)) return Finish(kExitUsage, error);
    char letter = 0;
    if (!ParseDriveLetterDevice(command.device, &letter, &error)) return Finish(kExitUsage, error);

    DiskFacts facts;
    GatherSystemDiskFacts(letter, &facts);
    GuardVerdict verdict = DecideDiskGuard(facts);
    if (!verdict.allowed) return Finish(kExitRefused, "refused: " + verdict.reason);

    DiskRunResult result = RunOnDisk(command, facts);
    if (result.exitCode == kExitDone) WriteText(STD_OUTPUT_HANDLE, result.report);
    return Finish(result.exitCode, result.message);
}
