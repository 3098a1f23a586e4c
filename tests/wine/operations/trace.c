/* trace.exe: hooks trace_hook.dll (from its own folder) into the window
 * thread of the running Drovelkit window, so that every visible change of
 * the window is written to the file named by the program's
 * DROVELKIT_TRACE_FILE. Prints "ready PID TID" once the hook is in place and
 * has been exercised, then stays until the program ends (a hook lives only as
 * long as the thread that set it) or the time limit runs out.
 *
 *   trace [-e EXE] [-l SECONDS]
 *   trace -c EXE     prints how many running processes have that file name,
 *                    by the same process walk the program itself uses
 *
 * Exit codes: 0 the program ended or the limit passed, 1 usage, 2 no
 * Drovelkit window, 3 the hook could not be set.
 */
#include <windows.h>
#include <tlhelp32.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static const wchar_t *exeFilter;

static const wchar_t *FileNamePart(const wchar_t *path) {
  const wchar_t *name = path;
  for (const wchar_t *p = path; *p; ++p)
    if (*p == L'\\' || *p == L'/') name = p + 1;
  return name;
}

static int ProcessMatches(DWORD pid) {
  if (!exeFilter) return 1;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return 0;
  wchar_t path[MAX_PATH * 2];
  DWORD size = MAX_PATH * 2;
  int match = QueryFullProcessImageNameW(process, 0, path, &size) && _wcsicmp(FileNamePart(path), exeFilter) == 0;
  CloseHandle(process);
  return match;
}

static BOOL CALLBACK FindMain(HWND window, LPARAM param) {
  wchar_t className[64] = L"";
  GetClassNameW(window, className, 64);
  if (wcscmp(className, L"DrovelkitMain") != 0) return TRUE;
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (!ProcessMatches(pid)) return TRUE;
  *(HWND *)param = window;
  return FALSE;
}

static int CountProcesses(const wchar_t *name) {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
    if (_wcsicmp(FileNamePart(entry.szExeFile), name) == 0) ++count;
  CloseHandle(snapshot);
  return count;
}

int wmain(int argc, wchar_t **argv) {
  DWORD limitSeconds = 1800;
  if (argc == 3 && wcscmp(argv[1], L"-c") == 0) {
    int count = CountProcesses(argv[2]);
    printf("%d\n", count);
    return count < 0 ? 3 : 0;
  }
  for (int i = 1; i < argc; i += 2) {
    if (i + 1 >= argc) return 1;
    if (wcscmp(argv[i], L"-e") == 0) exeFilter = argv[i + 1];
    else if (wcscmp(argv[i], L"-l") == 0) limitSeconds = (DWORD)_wtoi(argv[i + 1]);
    else return 1;
  }
  /* The hook library writes wherever its host's variable points; in this
   * process it must write nothing. */
  SetEnvironmentVariableW(L"DROVELKIT_TRACE_FILE", NULL);

  HWND main = NULL;
  for (int i = 0; i < 200 && !main; ++i) {
    EnumWindows(FindMain, (LPARAM)&main);
    if (!main) Sleep(100);
  }
  if (!main) {
    fprintf(stderr, "trace: no DrovelkitMain window\n");
    return 2;
  }
  DWORD pid = 0;
  DWORD tid = GetWindowThreadProcessId(main, &pid);

  wchar_t dllPath[MAX_PATH * 2];
  DWORD n = GetModuleFileNameW(NULL, dllPath, MAX_PATH * 2);
  if (n == 0 || n >= MAX_PATH * 2 - 32) return 3;
  wcscpy((wchar_t *)FileNamePart(dllPath), L"trace_hook.dll");
  HMODULE library = LoadLibraryW(dllPath);
  HOOKPROC procedure = library ? (HOOKPROC)(void *)GetProcAddress(library, "TraceCallWndProc") : NULL;
  HOOKPROC keys = library ? (HOOKPROC)(void *)GetProcAddress(library, "TraceGetMessage") : NULL;
  HHOOK hook = procedure ? SetWindowsHookExW(WH_CALLWNDPROC, procedure, library, tid) : NULL;
  HHOOK keyHook = keys ? SetWindowsHookExW(WH_GETMESSAGE, keys, library, tid) : NULL;
  if (!hook || !keyHook) {
    fprintf(stderr, "trace: could not hook thread %lu (error %lu)\n", tid, GetLastError());
    return 3;
  }
  /* The first message through the hook loads the library into the program. */
  DWORD_PTR ignored = 0;
  SendMessageTimeoutW(main, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
  printf("ready %lu %lu\n", pid, tid);
  fflush(stdout);

  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  DWORD start = GetTickCount();
  for (;;) {
    DWORD woke = process ? MsgWaitForMultipleObjects(1, &process, FALSE, 200, QS_ALLINPUT)
                         : MsgWaitForMultipleObjects(0, NULL, FALSE, 200, QS_ALLINPUT);
    if (process && woke == WAIT_OBJECT_0) break;
    MSG message;
    while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    if (!process && !IsWindow(main)) break;
    if (GetTickCount() - start > limitSeconds * 1000) break;
  }
  UnhookWindowsHookEx(keyHook);
  UnhookWindowsHookEx(hook);
  if (process) CloseHandle(process);
  return 0;
}
