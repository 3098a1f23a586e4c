/* A stand-in for the boot tool in the Wine tests: it records every call (its
 * command line when it starts, "end" when it ends) in the file that
 * DROVELKIT_BOOT_RECORD names, and a repartition takes its time, writing a
 * scratch file beside the record in small steps as a slow drive would
 * (DROVELKIT_BOOT_SLOW_MS, 8000 by default). It touches no disk. */
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

static void Record(const wchar_t* record, const wchar_t* line) {
    FILE* f = _wfopen(record, L"a, ccs=UTF-8");
    if (!f) return;
    fputws(line, f);
    fputws(L"\n", f);
    fclose(f);
}

int wmain(void) {
    wchar_t record[MAX_PATH], slow[32], scratch[MAX_PATH + 16];
    if (!GetEnvironmentVariableW(L"DROVELKIT_BOOT_RECORD", record, MAX_PATH)) return 3;
    const wchar_t* line = GetCommandLineW();
    Record(record, line);
    if (wcsstr(line, L"/repartition")) {
        int milliseconds = GetEnvironmentVariableW(L"DROVELKIT_BOOT_SLOW_MS", slow, 32) ? _wtoi(slow) : 8000;
        swprintf(scratch, MAX_PATH + 16, L"%ls.scratch", record);
        FILE* f = _wfopen(scratch, L"wb");
        static char block[4096];
        for (int spent = 0; spent < milliseconds; spent += 100) {
            if (f) {
                fwrite(block, 1, sizeof block, f);
                fflush(f);
            }
            Sleep(100);
        }
        if (f) fclose(f);
    }
    Record(record, L"end");
    return 0;
}
