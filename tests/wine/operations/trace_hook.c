/* trace_hook.dll: loaded into the program by a WH_CALLWNDPROC hook that
 * trace.exe installs on the program's window thread. It writes one line for
 * every change that a person could see in the window — control texts,
 * visibility, enabled state, progress, option states, windows coming and
 * going — into the file named by DROVELKIT_TRACE_FILE. A WH_GETMESSAGE hook
 * adds the keys that the thread takes from its queue, which is when the
 * program's key state changes.
 *
 * Polling the window from outside misses short states and blocks while the
 * window thread waits for a tool; the hook runs inside the window thread as
 * each message arrives, so the record is complete and in order.
 *
 * A line: tick-ms TAB control-id TAB window-class TAB what TAB wParam TAB
 * lParam TAB text, UTF-8, with backslash, tab, CR and LF escaped as \\ \t \r
 * \n. Top-level windows have control id 0.
 *
 * With DROVELKIT_TRACE_NO_ADMIN=1 in the program's environment the hook also
 * makes the program see a user without administrator rights, which Wine never
 * has: the program's own import of OpenSCManagerW is pointed at a procedure
 * that fails with ERROR_ACCESS_DENIED, Windows' answer to such a user. The
 * line "noadmin" carries the number of imports changed.
 */
#include <windows.h>
#include <commctrl.h>

#include <stdio.h>
#include <string.h>

static wchar_t traceFile[MAX_PATH * 2];

static void Append(const char *line, int length) {
  if (!traceFile[0]) return;
  /* Opened per line: the test truncates the file between runs, and a line
   * must be on disk before the next look from outside. */
  HANDLE file = CreateFileW(traceFile, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line, (DWORD)length, &written, NULL);
  CloseHandle(file);
}

/* Escapes |text| into |out| (UTF-8); returns the bytes used. */
static int EscapeText(const wchar_t *text, char *out, int room) {
  int used = 0;
  if (!text) return 0;
  for (const wchar_t *p = text; *p && used < room - 8; ++p) {
    const char *escape = NULL;
    switch (*p) {
      case L'\\': escape = "\\\\"; break;
      case L'\t': escape = "\\t"; break;
      case L'\r': escape = "\\r"; break;
      case L'\n': escape = "\\n"; break;
    }
    if (escape) {
      memcpy(out + used, escape, 2);
      used += 2;
    } else {
      used += WideCharToMultiByte(CP_UTF8, 0, p, 1, out + used, room - used, NULL, NULL);
    }
  }
  return used;
}

static void Record(HWND window, const char *what, WPARAM wParam, LPARAM lParam, const wchar_t *text) {
  char line[8192];
  wchar_t className[64] = L"";
  GetClassNameW(window, className, 64);
  int id = (GetWindowLongW(window, GWL_STYLE) & WS_CHILD) ? GetDlgCtrlID(window) : 0;
  char classUtf8[192];
  int classLength = WideCharToMultiByte(CP_UTF8, 0, className, -1, classUtf8, sizeof classUtf8, NULL, NULL);
  if (classLength <= 0) classUtf8[0] = '\0';
  int used = snprintf(line, sizeof line, "%lu\t%d\t%s\t%s\t%ld\t%ld\t", (unsigned long)GetTickCount(), id,
                      classUtf8, what, (long)wParam, (long)lParam);
  if (used < 0 || used >= (int)sizeof line - 16) return;
  used += EscapeText(text, line + used, (int)sizeof line - used - 2);
  line[used++] = '\n';
  Append(line, used);
}

static int IsClass(HWND window, const wchar_t *name) {
  wchar_t className[64] = L"";
  GetClassNameW(window, className, 64);
  return lstrcmpiW(className, name) == 0;
}

__declspec(dllexport) LRESULT CALLBACK TraceCallWndProc(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HC_ACTION) {
    const CWPSTRUCT *m = (const CWPSTRUCT *)lParam;
    switch (m->message) {
      case WM_SETTEXT:
        Record(m->hwnd, "text", 0, 0, (const wchar_t *)m->lParam);
        break;
      case WM_SHOWWINDOW:
        Record(m->hwnd, "show", m->wParam, 0, NULL);
        break;
      case WM_ENABLE:
        Record(m->hwnd, "enable", m->wParam, 0, NULL);
        break;
      case WM_CREATE: {
        const CREATESTRUCTW *create = (const CREATESTRUCTW *)m->lParam;
        /* Resource ordinals are not texts. */
        const wchar_t *name = create && HIWORD((ULONG_PTR)create->lpszName) ? create->lpszName : NULL;
        Record(m->hwnd, "create", 0, 0, name);
        break;
      }
      case WM_DESTROY:
        if (!(GetWindowLongW(m->hwnd, GWL_STYLE) & WS_CHILD)) Record(m->hwnd, "destroy", 0, 0, NULL);
        break;
      case PBM_SETPOS:
        if (IsClass(m->hwnd, PROGRESS_CLASSW)) Record(m->hwnd, "pos", m->wParam, 0, NULL);
        break;
      case PBM_SETRANGE32:
        if (IsClass(m->hwnd, PROGRESS_CLASSW)) Record(m->hwnd, "range", m->wParam, m->lParam, NULL);
        break;
      case BM_SETCHECK:
        if (IsClass(m->hwnd, WC_BUTTONW)) Record(m->hwnd, "check", m->wParam, 0, NULL);
        break;
      case CB_SETCURSEL:
        if (IsClass(m->hwnd, WC_COMBOBOXW)) Record(m->hwnd, "cursel", m->wParam, 0, NULL);
        break;
    }
  }
  return CallNextHookEx(NULL, code, wParam, lParam);
}

__declspec(dllexport) LRESULT CALLBACK TraceGetMessage(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HC_ACTION && wParam == PM_REMOVE) {
    const MSG *m = (const MSG *)lParam;
    if (m->message == WM_KEYDOWN) Record(m->hwnd, "keydown", m->wParam, 0, NULL);
    else if (m->message == WM_KEYUP) Record(m->hwnd, "keyup", m->wParam, 0, NULL);
  }
  return CallNextHookEx(NULL, code, wParam, lParam);
}

static SC_HANDLE WINAPI RefusedOpenSCManagerW(LPCWSTR machine, LPCWSTR database, DWORD access) {
  (void)machine;
  (void)database;
  (void)access;
  SetLastError(ERROR_ACCESS_DENIED);
  return NULL;
}

/* Points every import of OpenSCManagerW in the program's own file at the
 * refusing procedure; returns how many it changed. */
static int RefuseServiceManager(void) {
  BYTE *base = (BYTE *)GetModuleHandleW(NULL);
  const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(base + ((const IMAGE_DOS_HEADER *)base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY *imports = &nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  int changed = 0;
  if (!imports->VirtualAddress) return 0;
  for (const IMAGE_IMPORT_DESCRIPTOR *d = (const IMAGE_IMPORT_DESCRIPTOR *)(base + imports->VirtualAddress); d->Name;
       ++d) {
    if (!d->OriginalFirstThunk) continue;
    const IMAGE_THUNK_DATA *names = (const IMAGE_THUNK_DATA *)(base + d->OriginalFirstThunk);
    IMAGE_THUNK_DATA *slots = (IMAGE_THUNK_DATA *)(base + d->FirstThunk);
    for (; names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const IMAGE_IMPORT_BY_NAME *byName = (const IMAGE_IMPORT_BY_NAME *)(base + names->u1.AddressOfData);
      if (strcmp((const char *)byName->Name, "OpenSCManagerW") != 0) continue;
      DWORD old;
      if (!VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &old)) continue;
      slots->u1.Function = (ULONG_PTR)RefusedOpenSCManagerW;
      VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, old, &old);
      ++changed;
    }
  }
  return changed;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    DWORD n = GetEnvironmentVariableW(L"DROVELKIT_TRACE_FILE", traceFile, MAX_PATH * 2);
    if (n == 0 || n >= MAX_PATH * 2) traceFile[0] = L'\0';
    wchar_t exe[MAX_PATH * 2] = L"";
    GetModuleFileNameW(NULL, exe, MAX_PATH * 2);
    const wchar_t *name = exe;
    for (const wchar_t *p = exe; *p; ++p)
      if (*p == L'\\' || *p == L'/') name = p + 1;
    char line[1024];
    int used = snprintf(line, sizeof line, "%lu\t0\t-\tattach\t%lu\t0\t", (unsigned long)GetTickCount(),
                        (unsigned long)GetCurrentProcessId());
    used += EscapeText(name, line + used, (int)sizeof line - used - 2);
    line[used++] = '\n';
    Append(line, used);
    wchar_t noAdmin[4] = L"";
    if (GetEnvironmentVariableW(L"DROVELKIT_TRACE_NO_ADMIN", noAdmin, 4) && noAdmin[0] == L'1') {
      used = snprintf(line, sizeof line, "%lu\t0\t-\tnoadmin\t%d\t0\t\n", (unsigned long)GetTickCount(),
                      RefuseServiceManager());
      Append(line, used);
    }
  }
  return TRUE;
}
