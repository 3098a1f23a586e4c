/* taskkill_standin.exe: a taskkill for the test prefix. Wine 8's taskkill
 * knows only /f, /im and /pid and rejects the /t that the program passes
 * ("Unknown or invalid command line option"), so under Wine the program
 * could never stop its archiver. This one accepts what Windows' taskkill
 * accepts for the program's command, ends the processes by force, and
 * appends its own command line to the file named by DROVELKIT_TASKKILL_RECORD
 * so that a test can see exactly how it was called.
 *
 *   taskkill [/t] [/f] /im NAME    NAME compared without regard to case
 *   taskkill [/t] [/f] /pid ID
 *
 * With /t the processes that the matching ones started are ended too.
 * Exit codes as Windows' taskkill: 0 something was ended, 128 no such
 * process, 1 usage.
 */
#include <windows.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <wchar.h>

static void RecordCommandLine(void) {
  wchar_t path[MAX_PATH * 2];
  DWORD n = GetEnvironmentVariableW(L"DROVELKIT_TASKKILL_RECORD", path, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2) return;
  const wchar_t *line = GetCommandLineW();
  int bytes = WideCharToMultiByte(CP_UTF8, 0, line, -1, NULL, 0, NULL, NULL);
  if (bytes <= 1) return;
  char *text = HeapAlloc(GetProcessHeap(), 0, (SIZE_T)bytes + 1);
  if (!text) return;
  WideCharToMultiByte(CP_UTF8, 0, line, -1, text, bytes, NULL, NULL);
  text[bytes - 1] = '\n';
  HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(file, text, (DWORD)bytes, &written, NULL);
    CloseHandle(file);
  }
  HeapFree(GetProcessHeap(), 0, text);
}

static const wchar_t *FileNamePart(const wchar_t *path) {
  const wchar_t *name = path;
  for (const wchar_t *p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/') name = p + 1;
  return name;
}

enum { kMaxProcesses = 4096 };

int wmain(int argc, wchar_t **argv) {
  RecordCommandLine();
  int tree = 0;
  const wchar_t *name = NULL;
  DWORD pid = 0;
  for (int i = 1; i < argc; ++i) {
    if (_wcsicmp(argv[i], L"/t") == 0) tree = 1;
    else if (_wcsicmp(argv[i], L"/f") == 0) continue;
    else if (_wcsicmp(argv[i], L"/im") == 0 && i + 1 < argc) name = argv[++i];
    else if (_wcsicmp(argv[i], L"/pid") == 0 && i + 1 < argc) pid = (DWORD)_wtoi(argv[++i]);
    else {
      fwprintf(stderr, L"ERROR: Invalid argument/option - '%ls'.\n", argv[i]);
      return 1;
    }
  }
  if (!name && !pid) return 1;

  static DWORD ids[kMaxProcesses], parents[kMaxProcesses];
  static int chosen[kMaxProcesses];
  int count = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 1;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && count < kMaxProcesses;
       more = Process32NextW(snapshot, &entry)) {
    ids[count] = entry.th32ProcessID;
    parents[count] = entry.th32ParentProcessID;
    chosen[count] = name ? _wcsicmp(FileNamePart(entry.szExeFile), name) == 0 : entry.th32ProcessID == pid;
    ++count;
  }
  CloseHandle(snapshot);

  /* The tree: children of chosen processes, until nothing more is added. */
  for (int added = tree; added;) {
    added = 0;
    for (int i = 0; i < count; ++i) {
      if (chosen[i]) continue;
      for (int j = 0; j < count; ++j) {
        if (chosen[j] && parents[i] == ids[j] && ids[i] != ids[j]) {
          chosen[i] = added = 1;
          break;
        }
      }
    }
  }

  int ended = 0;
  for (int i = 0; i < count; ++i) {
    if (!chosen[i] || ids[i] == GetCurrentProcessId()) continue;
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, ids[i]);
    if (process && TerminateProcess(process, 1)) {
      wprintf(L"SUCCESS: The process with PID %lu has been terminated.\n", ids[i]);
      ++ended;
    }
    if (process) CloseHandle(process);
  }
  if (!ended) {
    fwprintf(stderr, L"ERROR: The process \"%ls\" not found.\n", name ? name : L"");
    return 128;
  }
  return 0;
}
