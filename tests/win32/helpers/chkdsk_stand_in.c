/* chkdsk.exe stand-in for the disk-check tests. Wine has no disk checker, so
 * the tests put this one where the runner's interpreter looks for it.
 *
 * It prints one progress line (DK_CHKDSK_PROGRESS, with \r\n appended), then
 * a yes/no question in the bracketed form, reads the answer line from
 * standard input and writes what it got into the file DK_CHKDSK_RECORD:
 *   args=<its command line after the program name>
 *   answer=<the answer bytes, with \r and \n spelled out>
 * Then it prints DK_CHKDSK_FINAL (with \r\n appended) and a closing line and
 * exits at once with the code in DK_CHKDSK_EXIT (0 when unset): the runner
 * pauses after its answer, so this output is still in the pipe when the
 * checker has ended.
 *
 * An answer that never comes must not hang the test: after 60 s without one
 * it records answer=<none> and ends. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void WriteOut(const char *text) {
    DWORD written = 0;
    /* One write per message, so a message reaches the pipe in one piece. */
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, (DWORD)strlen(text), &written, NULL);
}

static const char *ArgumentsAfterProgramName(const char *line) {
    int quoted = 0;
    while (*line && (quoted || (*line != ' ' && *line != '\t'))) {
        if (*line == '"') quoted = !quoted;
        ++line;
    }
    while (*line == ' ' || *line == '\t') ++line;
    return line;
}

/* Reads standard input up to and including the first line feed. */
static int ReadAnswer(char *answer, DWORD size) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD have = 0;
    DWORD waited = 0;
    while (have + 1 < size) {
        DWORD waiting = 0;
        if (!PeekNamedPipe(input, NULL, 0, NULL, &waiting, NULL)) break;  /* closed */
        if (waiting == 0) {
            if (waited >= 60000) break;
            Sleep(10);
            waited += 10;
            continue;
        }
        DWORD got = 0;
        if (!ReadFile(input, answer + have, 1, &got, NULL) || got == 0) break;
        have += got;
        if (answer[have - 1] == '\n') break;
    }
    answer[have] = '\0';
    return (int)have;
}

int main(void) {
    char progress[512] = "", final[512] = "", record[MAX_PATH] = "", exitText[32] = "";
    GetEnvironmentVariableA("DK_CHKDSK_PROGRESS", progress, sizeof progress - 3);
    GetEnvironmentVariableA("DK_CHKDSK_FINAL", final, 400);
    GetEnvironmentVariableA("DK_CHKDSK_RECORD", record, sizeof record);
    GetEnvironmentVariableA("DK_CHKDSK_EXIT", exitText, sizeof exitText);

    WriteOut("The type of the file system is NTFS.\r\n");
    if (progress[0] != '\0') {
        strcat(progress, "\r\n");
        WriteOut(progress);
    }
    WriteOut("Chkdsk cannot run because the volume is in use by another process.\r\n"
             "Would you like to force a dismount on this volume? [Y(yes)/N(no)] ");

    char answer[64];
    int length = ReadAnswer(answer, sizeof answer);

    if (record[0] != '\0') {
        FILE *file = fopen(record, "wb");
        if (file != NULL) {
            fprintf(file, "args=%s\n", ArgumentsAfterProgramName(GetCommandLineA()));
            fputs("answer=", file);
            if (length == 0) fputs("<none>", file);
            for (int i = 0; i < length; ++i) {
                if (answer[i] == '\r') fputs("\\r", file);
                else if (answer[i] == '\n') fputs("\\n", file);
                else fputc(answer[i], file);
            }
            fputc('\n', file);
            fclose(file);
        }
    }
    strcat(final, "\r\nWindows has scanned the file system and found no problems.\r\n");
    WriteOut(final);
    return atoi(exitText);
}
