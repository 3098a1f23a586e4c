// runner_bench.exe: what the console runner costs over running the archiver
// alone, on the full extraction of a large image.
//
//   runner_bench.exe IMAGE OUTPUT [ROUNDS] [--window]     (5 rounds by default)
//
// IMAGE is the image to extract; OUTPUT a folder on a drive (such as
// E:\bench): each run extracts into a fresh sub-folder of it, which is removed
// afterwards. Each round extracts once through RunConsoleTool (the program's
// own way: the interpreter, pipes, parsing every chunk) and once by starting
// the archiver directly with its output going to NUL, in alternating order.
// --window creates the real main window first, so that the runner's status
// line, bar and taskbar updates are paid for as in the program.
//
// Prints per round the wall times, their ratio (runner / alone) and the CPU
// time of this process (user + kernel) during the runner's run per second of
// that run, then the medians with the lowest and highest value of each.
#include <ole2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/AppState.h"
#include "app/Startup.h"
#include "app/Shutdown.h"
#include "common/Str.h"
#include "payload/Payload.h"
#include "platform/Os.h"
#include "platform/Win32.h"
#include "tools/ConsoleRunner.h"

namespace {

double Seconds() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return double(now.QuadPart) / double(frequency.QuadPart);
}

double ProcessCpuSeconds() {
    FILETIME created, ended, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    auto ticks = [](const FILETIME& t) { return (uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return double(ticks(kernel) + ticks(user)) / 1e7;
}


// The archiver on its own, its standard streams on NUL. Exit code, or -1.
int RunAlone(const std::wstring& arguments) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW | STARTF_USESTDHANDLES;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nul;
    std::wstring commandLine = L"\"" + ArchiverPath() + L"\" " + arguments;
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    PROCESS_INFORMATION process{};
    const std::wstring folder = PayloadFolder();
    BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr,
                                  folder.c_str(), &startup, &process);
    CloseHandle(nul);
    if (!started) return -1;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return int(code);
}

struct Round {
    double alone, runner, cpu;
    unsigned long long callsMade, callsSkipped;  // window calls during the runner's run
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double Lowest(const std::vector<double>& values) { return *std::min_element(values.begin(), values.end()); }
double Highest(const std::vector<double>& values) { return *std::max_element(values.begin(), values.end()); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> positional;
    bool window = false;
    for (int i = 1; i < argc; ++i) {
        if (std::wstring(argv[i]) == L"--window") window = true;
        else positional.push_back(argv[i]);
    }
    if (positional.size() < 2) {
        std::fprintf(stderr, "usage: runner_bench IMAGE OUTPUT [ROUNDS] [--window]\n");
        return 2;
    }
    const std::wstring image = positional[0];
    std::wstring output = positional[1];
    while (output.size() > 3 && output.back() == L'\\') output.pop_back();
    const int rounds = positional.size() > 2 ? std::max(1, _wtoi(positional[2].c_str())) : 5;

    OleInitialize(nullptr);
    // The folders as start-up finds them.
    ChooseSystemFolders();
    appState.tempDir = OsSystemTempFolder() + L"\\dk bench";
    CreateDirectoryW(appState.tempDir.c_str(), nullptr);
    CreateDirectoryW(output.c_str(), nullptr);
    if (window && !OsCreateMainWindow()) {
        std::fprintf(stderr, "the main window cannot be created (no display?)\n");
        return 1;
    }
    EnsurePayloadUnpacked();
    if (!PayloadMarkerExists()) {
        std::fprintf(stderr, "the payload did not unpack into %s\n", ToUtf8(PayloadFolder()).c_str());
        return 1;
    }
    if (OsFileSize(image) < 0) {
        std::fprintf(stderr, "no image %s\n", ToUtf8(image).c_str());
        return 1;
    }
    std::printf("image %s (%lld MiB), %s main window, interpreter %s\\cmd.exe\n", ToUtf8(image).c_str(),
                (long long)(OsFileSize(image) >> 20), window ? "with" : "without",
                ToUtf8(appState.nativeSystemDir).c_str());

    if (window) {
        // What one call of each kind costs this process, each with a new value.
        constexpr int kCalls = 50;
        struct { const char* what; void (*call)(int); } kinds[] = {
            {"status text", [](int i) { OsSetText(Control::StatusLine, L"E:\\sources\\file" + std::to_wstring(i)); }},
            {"bar position", [](int i) { OsSetProgress(1 + i % 99); }},
            {"taskbar value", [](int i) { OsSetTaskbarProgressValue(uint64_t(1 + i % 99), 100); }},
        };
        for (const auto& kind : kinds) {
            const double cpuBefore = ProcessCpuSeconds(), start = Seconds();
            for (int i = 0; i < kCalls; ++i) kind.call(i);
            std::printf("one %s: %.2f ms CPU, %.2f ms wall\n", kind.what,
                        1000.0 * (ProcessCpuSeconds() - cpuBefore) / kCalls, 1000.0 * (Seconds() - start) / kCalls);
        }
    }

    std::vector<Round> results;
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        Round r{};
        for (int half = 0; half < 2; ++half) {
            const bool viaRunner = (half == 0) == (round % 2 == 0);
            const std::wstring target = output + L"\\run" + std::to_wstring(round) + (viaRunner ? L"r" : L"a");
            DeleteFolderTree(target);
            const std::wstring arguments = L"x -y -bsp1 \"" + image + L"\" -o" + target + L"\\";
            int code;
            if (viaRunner) {
                appState.extractStartTime = int32_t(OsLocalTimeSeconds());
                unsigned long long madeBefore = 0, skippedBefore = 0;
                CountWindowCalls(&madeBefore, &skippedBefore);
                const double cpuBefore = ProcessCpuSeconds();
                const double start = Seconds();
                code = RunConsoleTool(ArchiverPath(), arguments, PayloadFolder());
                r.runner = Seconds() - start;
                r.cpu = ProcessCpuSeconds() - cpuBefore;
                CountWindowCalls(&r.callsMade, &r.callsSkipped);
                r.callsMade -= madeBefore;
                r.callsSkipped -= skippedBefore;
            } else {
                const double start = Seconds();
                code = RunAlone(arguments);
                r.alone = Seconds() - start;
            }
            if (code != 0) {
                std::fprintf(stderr, "round %d: the %s run ended with %d\n", round + 1,
                             viaRunner ? "runner's" : "lone archiver's", code);
                ++failures;
            }
            DeleteFolderTree(target);
        }
        std::printf("round %d: alone %.2f s, runner %.2f s, ratio %.3f, runner CPU %.3f s (%.1f ms per second)",
                    round + 1, r.alone, r.runner, r.runner / r.alone, r.cpu, 1000.0 * r.cpu / r.runner);
        // Before the window drew only what changed, every call was made.
        if (window) std::printf(", window calls %llu made, %llu left out", r.callsMade, r.callsSkipped);
        std::printf("\n");
        std::fflush(stdout);
        results.push_back(r);
    }

    std::vector<double> ratios, cpuPerSecond, alone, runner;
    for (const Round& r : results) {
        ratios.push_back(r.runner / r.alone);
        cpuPerSecond.push_back(1000.0 * r.cpu / r.runner);
        alone.push_back(r.alone);
        runner.push_back(r.runner);
    }
    std::printf("median of %d: alone %.2f s, runner %.2f s, ratio runner/alone %.3f (spread %.3f to %.3f), "
                "runner CPU %.1f ms per second of run (spread %.1f to %.1f)\n",
                rounds, Median(alone), Median(runner), Median(ratios), Lowest(ratios), Highest(ratios),
                Median(cpuPerSecond), Lowest(cpuPerSecond), Highest(cpuPerSecond));
    if (window) OsReleaseWindowResources();
    return failures == 0 ? 0 : 1;
}
