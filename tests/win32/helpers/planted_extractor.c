/* Planted in the temporary folder as "drovelkit.exe" by the payload test. The
 * program must replace it with its own self-extractor and never run it; if it
 * does run, it leaves a trace in the file DK_PLANTED_TRACE and in its
 * working folder. */
#include <windows.h>
#include <stdio.h>

int main(void) {
    char trace[MAX_PATH] = "";
    GetEnvironmentVariableA("DK_PLANTED_TRACE", trace, sizeof trace);
    const char *places[] = {trace, "planted-extractor-ran.txt"};
    for (int i = 0; i < 2; ++i) {
        if (places[i][0] == '\0') continue;
        FILE *file = fopen(places[i], "w");
        if (file != NULL) {
            fprintf(file, "%s\n", GetCommandLineA());
            fclose(file);
        }
    }
    return 0;
}
