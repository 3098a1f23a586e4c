/* A console tool that writes much to standard error: the runner must keep
 * that pipe drained, or the tool blocks once the pipe is full and never ends.
 *
 *   stderr_flood.exe MIB CODE [TEXT...]
 *
 * Writes MIB MiB to standard error in 64 KiB writes, then 200 KiB of filler
 * lines and the TEXT arguments (joined by blanks, then \r\n) to standard
 * output, and exits with CODE at once, leaving that output in the pipe. */
#include <windows.h>
#include <stdlib.h>
#include <string.h>

static void WriteAll(HANDLE handle, const char *data, DWORD size) {
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(handle, data, size, &written, NULL) || written == 0) return;
        data += written;
        size -= written;
    }
}

int main(int argc, char **argv) {
    if (argc < 3) return 2;
    const int mebibytes = atoi(argv[1]);
    static char block[65536];
    memset(block, 'e', sizeof block);
    HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
    for (int i = 0; i < mebibytes * 16; ++i) WriteAll(errors, block, sizeof block);

    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    static const char filler[] = "filler line without figures\r\n";
    for (int i = 0; i < 200 * 1024 / (int)(sizeof filler - 1); ++i) WriteAll(output, filler, sizeof filler - 1);
    /* The text goes out in one write, so it reaches the pipe in one piece. */
    static char text[4096];
    for (int i = 3; i < argc && strlen(text) + strlen(argv[i]) + 3 < sizeof text; ++i) {
        strcat(text, argv[i]);
        strcat(text, i + 1 < argc ? " " : "\r\n");
    }
    if (text[0] != '\0') WriteAll(output, text, (DWORD)strlen(text));
    return atoi(argv[2]);
}
