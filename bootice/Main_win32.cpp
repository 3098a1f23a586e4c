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

#include "bootice/Disk_win32.h"
#include "platform/SystemLibraries_win32.h"

int wmain(int argc, wchar_t** argv) {
    // The tool runs with administrator rights from a folder the user can
    // write to: system DLLs come from System32 only, never from beside it.
    UseSystemFolderForLibraries();
    return RunBootTool(argc, argv, SystemFrontCalls());
}
