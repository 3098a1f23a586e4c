// The Windows front's disk work: finds the disk behind a drive letter,
// gathers the facts the guard decides on, and runs a command on the whole
// disk through \\.\PhysicalDriveN. Only bootice.exe includes this.
#pragma once
#include <string>

#include "bootice/BootTool.h"
#include "bootice/DiskGuard.h"

// Exit codes of bootice.exe. The copy operation reads only zero against
// non-zero; the values tell a person how far the tool got.
enum BootExitCode {
    kExitDone = 0,
    kExitFailed = 1,    // the work failed; the message says whether the disk was changed
    kExitUsage = 2,     // the command line was refused; nothing was opened
    kExitRefused = 3,   // the guard refused the disk; nothing was written
    kExitNoAccess = 4,  // the disk could not be opened, measured or locked; nothing was written
};

// The system calls the front makes beyond the disk handle: the guard's facts
// and the volume work of the writing path.
struct FrontCalls {
    DiskCalls guard;
    VolumeCalls volumes;
};

// The real calls of bootice.exe.
FrontCalls SystemFrontCalls();

struct DiskRunResult {
    int exitCode = kExitFailed;
    std::string message;  // one line: the failure, or what was done
    std::string report;   // a few lines for standard output on success
};

// Runs |command| on the disk that the guard has cleared: opens it, takes the
// letters off its volumes and locks or dismounts them, runs the core with the
// Windows hooks, and gives the drive letter back to the new volume.
DiskRunResult RunOnDisk(const BootCommand& command, const DiskFacts& facts, const FrontCalls& calls);

// The whole tool over |calls|: the command line, the guard, the disk work,
// the message and the exit code (see the top of Main_win32.cpp).
int RunBootTool(int argc, wchar_t** argv, const FrontCalls& calls);
