// probe.exe: a small test driver that looks at the running Drovelkit window
// from another process, through the window system only, the way a screen
// reader would. It never sends a message that could block on the program's
// own thread for long: reads go through SendMessageTimeoutW, actions are
// posted.
//
//   probe [-e EXE] dump                  JSON picture of the window on stdout
//   probe [-e EXE] click ID              post BM_CLICK to control ID
//   probe [-e EXE] close                 post WM_CLOSE to the main window
//   probe [-e EXE] sysclose              post WM_SYSCOMMAND SC_CLOSE (the close box)
//   probe [-e EXE] foreground            SetForegroundWindow on the main window
//   probe [-e EXE] ok                    click Ok of the message box
//   probe [-e EXE] wait-window CLASS MS  wait until a visible window of CLASS exists
//   probe [-e EXE] wait-gone CLASS MS    wait until no window of CLASS exists
//   probe windows                        JSON list of the program's top-level windows
//   probe volume ROOT                    JSON: what the volume calls say about ROOT
//   probe dpi                            JSON: system dpi, "testtext" width, font mapping
//   probe combo-height FACE PT H         JSON: closed height of a drop-down list in that font
//   probe [-e EXE] dropdown|dropup ID    open or close a drop-down list (for screenshots)
//   probe [-e EXE] select ID INDEX       post CB_SETCURSEL to a drop-down list
//   probe admin                          JSON: may this user open the service manager fully
//   probe resources EXEPATH              JSON: icon group 1 present, manifest text
//   probe define-drive L KIND PATH       plug a Wine drive L: (removable|fixed) on a unix
//                                        folder in, or take it out (none, PATH ignored)
//   probe [-e EXE] device-change arrival|removal|nodes L
//                                        send the main window WM_DEVICECHANGE for L:
//                                        (nodes: DBT_DEVNODES_CHANGED, which names no drive)
//
// -e EXE picks the windows whose process runs an executable of that file
// name, so that two copies of the program can be told apart.
//
// Exit codes: 0 done, 1 usage, 2 main window not found, 3 control not found,
// 4 time-out, 5 message box not found, 6 a call failed.

#include <windows.h>
#include <commctrl.h>
#include <dbt.h>
#include <winioctl.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const wchar_t kMainClass[] = L"DrovelkitMain";
const wchar_t kBoxClass[] = L"DrovelkitMessageBox";
const int kFirstControlId = 1001;
const int kLastControlId = 1023;
const int kBoxTextId = 2001;
const int kBoxOkId = 2002;
// Long enough for a busy program, short enough that a hung one can't stall
// the test run.
const UINT kSendTimeoutMs = 3000;

enum ExitCode {
  kExitOk = 0,
  kExitUsage = 1,
  kExitNoMain = 2,
  kExitNoControl = 3,
  kExitTimeout = 4,
  kExitNoBox = 5,
  kExitFailed = 6,
};

std::wstring exeFilter;  // empty: any process

// ---- JSON output (ASCII only; everything else as \u escapes) ----

std::string JsonString(const std::wstring &text) {
  std::string out = "\"";
  for (wchar_t c : text) {
    unsigned u = static_cast<unsigned short>(c);
    if (u == '"' || u == '\\') {
      out += '\\';
      out += static_cast<char>(u);
    } else if (u >= 0x20 && u < 0x7f) {
      out += static_cast<char>(u);
    } else {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    }
  }
  out += '"';
  return out;
}

std::string JsonBool(bool value) { return value ? "true" : "false"; }

std::string JsonInt(long long value) { return std::to_string(value); }

// ---- finding windows ----

std::wstring ProcessExeName(DWORD pid) {
  std::wstring name;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return name;
  wchar_t path[MAX_PATH * 2];
  DWORD size = MAX_PATH * 2;
  if (QueryFullProcessImageNameW(process, 0, path, &size)) {
    name.assign(path, size);
    size_t cut = name.find_last_of(L"\\/");
    if (cut != std::wstring::npos) name.erase(0, cut + 1);
  }
  CloseHandle(process);
  return name;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = L"";
  GetClassNameW(window, name, 256);
  return name;
}

struct WindowSearch {
  const wchar_t *className;  // null: both of the program's classes
  std::vector<HWND> found;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
  WindowSearch *search = reinterpret_cast<WindowSearch *>(param);
  std::wstring cls = ClassOf(window);
  bool wanted = search->className ? cls == search->className
                                  : (cls == kMainClass || cls == kBoxClass);
  if (!wanted) return TRUE;
  if (!exeFilter.empty()) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (_wcsicmp(ProcessExeName(pid).c_str(), exeFilter.c_str()) != 0) return TRUE;
  }
  search->found.push_back(window);
  return TRUE;
}

std::vector<HWND> FindTopWindows(const wchar_t *className) {
  WindowSearch search = {className, {}};
  EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND FindTopWindow(const wchar_t *className) {
  std::vector<HWND> found = FindTopWindows(className);
  return found.empty() ? nullptr : found.front();
}

// ---- reading another process's controls ----

bool Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD_PTR *result) {
  DWORD_PTR value = 0;
  LRESULT ok = SendMessageTimeoutW(window, message, wParam, lParam,
                                   SMTO_ABORTIFHUNG | SMTO_BLOCK, kSendTimeoutMs, &value);
  if (result) *result = value;
  return ok != 0;
}

long long SendValue(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
  DWORD_PTR value = 0;
  if (!Send(window, message, wParam, lParam, &value)) return -1;
  return static_cast<long long>(static_cast<LONG_PTR>(value));
}

// WM_GETTEXT is carried across processes by the window system, unlike
// GetWindowTextW, which for a foreign window returns only the stored caption
// and misses what an edit control holds.
std::wstring TextOf(HWND window) {
  long long length = SendValue(window, WM_GETTEXTLENGTH);
  if (length < 0) length = 0;
  std::vector<wchar_t> buffer(static_cast<size_t>(length) + 64, L'\0');
  DWORD_PTR copied = 0;
  if (!Send(window, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()), &copied))
    return std::wstring();
  return std::wstring(buffer.data());
}

std::wstring ComboItem(HWND combo, int index) {
  long long length = SendValue(combo, CB_GETLBTEXTLEN, index);
  if (length < 0) return std::wstring();
  std::vector<wchar_t> buffer(static_cast<size_t>(length) + 64, L'\0');
  if (!Send(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(buffer.data()), nullptr))
    return std::wstring();
  return std::wstring(buffer.data());
}

// A rectangle of a child in the client coordinates of |parent|.
std::string JsonRectIn(HWND window, HWND parent) {
  RECT rect;
  GetWindowRect(window, &rect);
  MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT *>(&rect), 2);
  return "\"x\":" + JsonInt(rect.left) + ",\"y\":" + JsonInt(rect.top) +
         ",\"w\":" + JsonInt(rect.right - rect.left) + ",\"h\":" + JsonInt(rect.bottom - rect.top);
}

std::string JsonScreenRect(HWND window) {
  RECT rect;
  GetWindowRect(window, &rect);
  return "{\"x\":" + JsonInt(rect.left) + ",\"y\":" + JsonInt(rect.top) +
         ",\"w\":" + JsonInt(rect.right - rect.left) + ",\"h\":" + JsonInt(rect.bottom - rect.top) + "}";
}

std::string JsonClientSize(HWND window) {
  RECT rect = {0, 0, 0, 0};
  GetClientRect(window, &rect);
  return "{\"w\":" + JsonInt(rect.right) + ",\"h\":" + JsonInt(rect.bottom) + "}";
}

std::string JsonCommon(HWND window) {
  return "\"class\":" + JsonString(ClassOf(window)) + ",\"text\":" + JsonString(TextOf(window)) +
         ",\"visible\":" + JsonBool(IsWindowVisible(window)) +
         ",\"enabled\":" + JsonBool(IsWindowEnabled(window)) +
         ",\"style\":" + JsonInt(static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE))) +
         ",\"exstyle\":" + JsonInt(static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE)));
}

std::string JsonControl(HWND parent, int id) {
  HWND control = GetDlgItem(parent, id);
  std::string out = "{\"id\":" + JsonInt(id);
  if (!control) return out + ",\"present\":false}";
  out += ",\"present\":true," + JsonCommon(control) + "," + JsonRectIn(control, parent);
  std::wstring cls = ClassOf(control);
  if (_wcsicmp(cls.c_str(), L"Button") == 0) {
    out += ",\"check\":" + JsonInt(SendValue(control, BM_GETCHECK));
  } else if (_wcsicmp(cls.c_str(), PROGRESS_CLASSW) == 0) {
    out += ",\"pos\":" + JsonInt(SendValue(control, PBM_GETPOS)) +
           ",\"min\":" + JsonInt(SendValue(control, PBM_GETRANGE, TRUE)) +
           ",\"max\":" + JsonInt(SendValue(control, PBM_GETRANGE, FALSE));
  } else if (_wcsicmp(cls.c_str(), L"ComboBox") == 0) {
    long long count = SendValue(control, CB_GETCOUNT);
    out += ",\"count\":" + JsonInt(count) + ",\"cursel\":" + JsonInt(SendValue(control, CB_GETCURSEL)) +
           ",\"field_height\":" + JsonInt(SendValue(control, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1))) +
           ",\"item_height\":" + JsonInt(SendValue(control, CB_GETITEMHEIGHT, 0)) + ",\"items\":[";
    for (long long i = 0; i < count; ++i) {
      if (i) out += ",";
      out += JsonString(ComboItem(control, static_cast<int>(i)));
    }
    out += "]";
  }
  return out + "}";
}

// user32's per-window DPI calls exist from Windows 10 on; look them up so the
// probe still runs where they are missing.
std::string JsonWindowDpi(HWND window) {
  HMODULE user32 = GetModuleHandleW(L"user32.dll");
  typedef UINT(WINAPI * GetDpiForWindowFn)(HWND);
  typedef DPI_AWARENESS_CONTEXT(WINAPI * GetContextFn)(HWND);
  typedef DPI_AWARENESS(WINAPI * GetAwarenessFn)(DPI_AWARENESS_CONTEXT);
  GetDpiForWindowFn getDpi = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void *>(GetProcAddress(user32, "GetDpiForWindow")));
  GetContextFn getContext = reinterpret_cast<GetContextFn>(
      reinterpret_cast<void *>(GetProcAddress(user32, "GetWindowDpiAwarenessContext")));
  GetAwarenessFn getAwareness = reinterpret_cast<GetAwarenessFn>(
      reinterpret_cast<void *>(GetProcAddress(user32, "GetAwarenessFromDpiAwarenessContext")));
  long long dpi = getDpi ? getDpi(window) : -1;
  long long awareness = (getContext && getAwareness) ? getAwareness(getContext(window)) : -2;
  return "\"dpi\":" + JsonInt(dpi) + ",\"dpi_awareness\":" + JsonInt(awareness);
}

std::string JsonProcess(HWND window) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  return "\"pid\":" + JsonInt(pid) + ",\"exe\":" + JsonString(ProcessExeName(pid));
}

std::string JsonMessageBox(HWND main) {
  DWORD mainPid = 0;
  GetWindowThreadProcessId(main, &mainPid);
  for (HWND box : FindTopWindows(kBoxClass)) {
    DWORD pid = 0;
    GetWindowThreadProcessId(box, &pid);
    if (pid != mainPid) continue;
    std::string out = "{" + JsonCommon(box) + ",\"window\":" + JsonScreenRect(box) +
                      ",\"client\":" + JsonClientSize(box);
    HWND text = GetDlgItem(box, kBoxTextId);
    HWND ok = GetDlgItem(box, kBoxOkId);
    out += ",\"message\":" + (text ? JsonString(TextOf(text)) : std::string("null"));
    if (text) out += ",\"message_rect\":{" + JsonRectIn(text, box) + "}";
    out += ",\"ok\":" + (ok ? JsonString(TextOf(ok)) : std::string("null"));
    if (ok) out += ",\"ok_rect\":{" + JsonRectIn(ok, box) + "}";
    return out + "}";
  }
  return "null";
}

// Tooltip texts live in the program's memory: the tooltip messages carry
// pointers, which the window system does not copy between processes. So the
// probe lends the tooltip a buffer inside the program's own address space.
std::string JsonTooltips(HWND main) {
  DWORD pid = 0;
  GetWindowThreadProcessId(main, &pid);
  std::string out = "[";
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (!process) return "null";
  const SIZE_T textChars = 1024;
  char *remote = static_cast<char *>(
      VirtualAllocEx(process, nullptr, sizeof(TTTOOLINFOW) + textChars * sizeof(wchar_t), MEM_COMMIT, PAGE_READWRITE));
  if (!remote) {
    CloseHandle(process);
    return "null";
  }
  wchar_t *remoteText = reinterpret_cast<wchar_t *>(remote + sizeof(TTTOOLINFOW));
  bool first = true;
  for (HWND tip : FindTopWindows(TOOLTIPS_CLASSW)) {
    DWORD tipPid = 0;
    GetWindowThreadProcessId(tip, &tipPid);
    if (tipPid != pid) continue;
    long long count = SendValue(tip, TTM_GETTOOLCOUNT);
    for (long long i = 0; i < count; ++i) {
      TTTOOLINFOW info;
      ZeroMemory(&info, sizeof info);
      info.cbSize = sizeof info;
      info.lpszText = remoteText;
      WriteProcessMemory(process, remote, &info, sizeof info, nullptr);
      if (SendValue(tip, TTM_ENUMTOOLSW, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(remote)) <= 0) continue;
      ReadProcessMemory(process, remote, &info, sizeof info, nullptr);
      wchar_t empty = L'\0';
      WriteProcessMemory(process, remoteText, &empty, sizeof empty, nullptr);
      info.lpszText = remoteText;
      WriteProcessMemory(process, remote, &info, sizeof info, nullptr);
      SendValue(tip, TTM_GETTEXTW, textChars, reinterpret_cast<LPARAM>(remote));
      std::vector<wchar_t> text(textChars + 1, L'\0');
      ReadProcessMemory(process, remoteText, text.data(), textChars * sizeof(wchar_t), nullptr);
      HWND tool = (info.uFlags & TTF_IDISHWND) ? reinterpret_cast<HWND>(info.uId) : info.hwnd;
      if (!first) out += ",";
      first = false;
      out += "{\"control\":" + JsonInt(tool ? GetDlgCtrlID(tool) : 0) + ",\"text\":" + JsonString(text.data()) + "}";
    }
  }
  VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  CloseHandle(process);
  return out + "]";
}

// ---- commands ----

HWND MainOrNull() { return FindTopWindow(kMainClass); }

int Dump() {
  HWND main = MainOrNull();
  if (!main) {
    fprintf(stderr, "probe: no %ls window\n", kMainClass);
    return kExitNoMain;
  }
  std::string out = "{\"main\":{" + JsonCommon(main) + "," + JsonProcess(main) + "," + JsonWindowDpi(main) +
                    ",\"window\":" + JsonScreenRect(main) + ",\"client\":" + JsonClientSize(main) +
                    ",\"foreground\":" + JsonBool(GetForegroundWindow() == main);
  POINT origin = {0, 0};
  ClientToScreen(main, &origin);
  out += ",\"client_origin\":{\"x\":" + JsonInt(origin.x) + ",\"y\":" + JsonInt(origin.y) + "}}";
  out += ",\"screen\":{\"w\":" + JsonInt(GetSystemMetrics(SM_CXSCREEN)) +
         ",\"h\":" + JsonInt(GetSystemMetrics(SM_CYSCREEN)) + "}";
  // Child windows in z-order, which is creation order for windows that were
  // never moved in it: the Tab order.
  out += ",\"child_order\":[";
  bool first = true;
  for (HWND child = GetWindow(main, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (!first) out += ",";
    first = false;
    out += JsonInt(GetDlgCtrlID(child));
  }
  out += "],\"controls\":[";
  for (int id = kFirstControlId; id <= kLastControlId; ++id) {
    if (id != kFirstControlId) out += ",";
    out += JsonControl(main, id);
  }
  out += "],\"tooltips\":" + JsonTooltips(main);
  out += ",\"msgbox\":" + JsonMessageBox(main) + "}\n";
  fputs(out.c_str(), stdout);
  return kExitOk;
}

int ListWindows() {
  std::string out = "[";
  bool first = true;
  for (HWND window : FindTopWindows(nullptr)) {
    if (!first) out += ",";
    first = false;
    out += "{" + JsonCommon(window) + "," + JsonProcess(window) + ",\"window\":" + JsonScreenRect(window) + "}";
  }
  fputs((out + "]\n").c_str(), stdout);
  return kExitOk;
}

int Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (!PostMessageW(window, message, wParam, lParam)) {
    fprintf(stderr, "probe: PostMessage failed, error %lu\n", GetLastError());
    return kExitFailed;
  }
  return kExitOk;
}

// The main window's control |id|, or the exit code that says why not.
int FindControl(int id, HWND *control) {
  HWND main = MainOrNull();
  if (!main) return kExitNoMain;
  *control = GetDlgItem(main, id);
  if (!*control) {
    fprintf(stderr, "probe: no control %d\n", id);
    return kExitNoControl;
  }
  return kExitOk;
}

int Click(int id) {
  HWND control = nullptr;
  int code = FindControl(id, &control);
  return code != kExitOk ? code : Post(control, BM_CLICK, 0, 0);
}

// Puts a control into the state a start without administrator rights gives
// it, which Wine itself never does (it grants every user those rights).
int Enable(int id, bool enabled) {
  HWND control = nullptr;
  int code = FindControl(id, &control);
  if (code == kExitOk) EnableWindow(control, enabled);
  return code;
}

int ClickOk() {
  HWND main = MainOrNull();
  DWORD mainPid = 0;
  if (main) GetWindowThreadProcessId(main, &mainPid);
  for (HWND box : FindTopWindows(kBoxClass)) {
    DWORD pid = 0;
    GetWindowThreadProcessId(box, &pid);
    if (main && pid != mainPid) continue;
    HWND ok = GetDlgItem(box, kBoxOkId);
    if (!ok) return kExitNoControl;
    return Post(ok, BM_CLICK, 0, 0);
  }
  return kExitNoBox;
}

int Foreground() {
  HWND main = MainOrNull();
  if (!main) return kExitNoMain;
  SetForegroundWindow(main);
  // Give the window manager a moment, then say whether it took.
  for (int i = 0; i < 40 && GetForegroundWindow() != main; ++i) Sleep(50);
  if (GetForegroundWindow() != main) {
    fprintf(stderr, "probe: the main window did not come to the foreground\n");
    return kExitFailed;
  }
  return kExitOk;
}

int WaitWindow(const wchar_t *className, DWORD timeoutMs, bool wantGone) {
  DWORD start = GetTickCount();
  for (;;) {
    bool present = false;
    for (HWND window : FindTopWindows(className)) {
      if (wantGone || IsWindowVisible(window)) present = true;
    }
    if (present != wantGone) return kExitOk;
    if (GetTickCount() - start >= timeoutMs) {
      fprintf(stderr, "probe: timed out waiting for %ls to %s\n", className, wantGone ? "go" : "show");
      return kExitTimeout;
    }
    Sleep(50);
  }
}

int Volume(const wchar_t *root) {
  UINT type = GetDriveTypeW(root);
  // RealDriveType is exported by ordinal only.
  typedef int(WINAPI * RealDriveTypeFn)(int, BOOL);
  HMODULE shell32 = LoadLibraryW(L"shell32.dll");
  RealDriveTypeFn realDriveType =
      shell32 ? reinterpret_cast<RealDriveTypeFn>(
                    reinterpret_cast<void *>(GetProcAddress(shell32, MAKEINTRESOURCEA(524))))
              : nullptr;
  int letterIndex = (towupper(root[0]) >= L'A' && towupper(root[0]) <= L'Z') ? towupper(root[0]) - L'A' : -1;
  long long realType = (realDriveType && letterIndex >= 0) ? realDriveType(letterIndex, FALSE) : -1;
  wchar_t label[261], fs[261];
  DWORD serial = 0, maxComponent = 0, flags = 0;
  label[0] = fs[0] = L'\0';
  BOOL volumeOk = GetVolumeInformationW(root, label, 261, &serial, &maxComponent, &flags, fs, 261);
  DWORD volumeError = volumeOk ? 0 : GetLastError();
  ULARGE_INTEGER freeToCaller, total, totalFree;
  freeToCaller.QuadPart = total.QuadPart = totalFree.QuadPart = 0;
  BOOL spaceOk = GetDiskFreeSpaceExW(root, &freeToCaller, &total, &totalFree);
  DWORD spaceError = spaceOk ? 0 : GetLastError();
  std::string out = "{\"root\":" + JsonString(root) + ",\"drive_type\":" + JsonInt(type) +
                    ",\"real_drive_type\":" + JsonInt(realType) + ",\"volume_ok\":" + JsonBool(volumeOk) +
                    ",\"volume_error\":" + JsonInt(volumeError) + ",\"label\":" + JsonString(label) +
                    ",\"fs\":" + JsonString(fs) + ",\"serial\":" + JsonInt(serial) +
                    ",\"space_ok\":" + JsonBool(spaceOk) + ",\"space_error\":" + JsonInt(spaceError) +
                    ",\"total_bytes\":" + JsonInt(static_cast<long long>(total.QuadPart)) +
                    ",\"free_bytes\":" + JsonInt(static_cast<long long>(totalFree.QuadPart)) + "}\n";
  fputs(out.c_str(), stdout);
  return kExitOk;
}

std::string JsonFontOf(HDC dc, HGDIOBJ font) {
  HGDIOBJ old = SelectObject(dc, font);
  wchar_t face[LF_FACESIZE] = L"";
  GetTextFaceW(dc, LF_FACESIZE, face);
  TEXTMETRICW metrics;
  ZeroMemory(&metrics, sizeof metrics);
  GetTextMetricsW(dc, &metrics);
  SIZE extent = {0, 0};
  GetTextExtentPoint32W(dc, L"testtext", 8, &extent);
  SelectObject(dc, old);
  // TMPF_FIXED_PITCH set means a variable-pitch font.
  return "{\"face\":" + JsonString(face) + ",\"height\":" + JsonInt(metrics.tmHeight) +
         ",\"fixed_pitch\":" + JsonBool(!(metrics.tmPitchAndFamily & TMPF_FIXED_PITCH)) +
         ",\"testtext_width\":" + JsonInt(extent.cx) + "}";
}

std::string JsonNamedFont(HDC dc, const wchar_t *face, int points) {
  HFONT font = CreateFontW(-MulDiv(points, GetDeviceCaps(dc, LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, FALSE,
                           FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                           DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, face);
  std::string out = JsonFontOf(dc, font);
  DeleteObject(font);
  return out;
}

int Dpi() {
  HDC screen = GetDC(nullptr);
  int dpiX = GetDeviceCaps(screen, LOGPIXELSX);
  int dpiY = GetDeviceCaps(screen, LOGPIXELSY);
  // The system font's "testtext" width is what the program measures to
  // detect large text; the named fonts show what the font mapper makes of
  // the program's font requests on this system.
  std::string out = "{\"dpi_x\":" + JsonInt(dpiX) + ",\"dpi_y\":" + JsonInt(dpiY) +
                    ",\"system_font\":" + JsonFontOf(screen, GetStockObject(SYSTEM_FONT)) +
                    ",\"gui_font\":" + JsonFontOf(screen, GetStockObject(DEFAULT_GUI_FONT)) +
                    ",\"consolas_11\":" + JsonNamedFont(screen, L"Consolas", 11) +
                    ",\"consolas_8\":" + JsonNamedFont(screen, L"Consolas", 8) +
                    ",\"ms_sans_serif_11\":" + JsonNamedFont(screen, L"Microsoft Sans Serif", 11) +
                    ",\"segoe_ui_9\":" + JsonNamedFont(screen, L"Segoe UI", 9) +
                    ",\"btnface\":" + JsonInt(GetSysColor(COLOR_BTNFACE)) + "}\n";
  ReleaseDC(nullptr, screen);
  fputs(out.c_str(), stdout);
  return kExitOk;
}

// The closed height of a drop-down list is set by the window system from its
// font, not by the height it was created with. Build one the way the program
// builds DriveCombo so a test can compare against what this system makes of it.
int ComboHeight(const wchar_t *face, int points, int requestedHeight) {
  HDC screen = GetDC(nullptr);
  int dpiX = GetDeviceCaps(screen, LOGPIXELSX);
  int dpiY = GetDeviceCaps(screen, LOGPIXELSY);
  ReleaseDC(nullptr, screen);
  HWND host = CreateWindowExW(0, L"Static", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  HWND combo = CreateWindowExW(0, L"ComboBox", L"", WS_CHILD | WS_VISIBLE | CBS_DROPDOWNLIST | WS_VSCROLL, 0, 0,
                               280 * dpiX / 96, requestedHeight * dpiY / 96, host, nullptr, nullptr, nullptr);
  if (!host || !combo) return kExitFailed;
  HFONT font = CreateFontW(-MulDiv(points, dpiY, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                           face);
  SendMessageW(combo, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  RECT rect;
  GetWindowRect(combo, &rect);
  printf("{\"h\":%ld,\"field_height\":%ld,\"item_height\":%ld}\n", rect.bottom - rect.top,
         static_cast<long>(SendMessageW(combo, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0)),
         static_cast<long>(SendMessageW(combo, CB_GETITEMHEIGHT, 0, 0)));
  DestroyWindow(host);
  DeleteObject(font);
  return kExitOk;
}

int DropDown(int id, bool show) {
  HWND main = MainOrNull();
  if (!main) return kExitNoMain;
  HWND control = GetDlgItem(main, id);
  if (!control) return kExitNoControl;
  return Post(control, CB_SHOWDROPDOWN, show ? TRUE : FALSE, 0);
}

int SelectItem(int id, int index) {
  HWND main = MainOrNull();
  if (!main) return kExitNoMain;
  HWND control = GetDlgItem(main, id);
  if (!control) return kExitNoControl;
  return Post(control, CB_SETCURSEL, index, 0);
}

// The same question the program asks to decide whether the emulator tests
// are allowed: may this user open the service manager with full rights?
int Admin() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, SERVICES_ACTIVE_DATABASEW, 0xF000F);
  if (manager) CloseServiceHandle(manager);
  printf("{\"admin\":%s}\n", manager ? "true" : "false");
  return kExitOk;
}

// Wine's mount manager takes new drive letters while it runs, like a stick
// being plugged in, and tells the windows about it as Windows would. The
// request is Wine's own (winecfg uses it); its layout follows Wine's
// ddk/mountmgr.h.
struct WineUnixDrive {
  ULONG size;
  ULONG type;
  ULONG fsType;
  DWORD serial;
  ULONGLONG unixDev;
  WCHAR letter;
  USHORT mountPointOffset;
  USHORT deviceOffset;
  USHORT labelOffset;
};
const DWORD kIoctlDefineUnixDrive = CTL_CODE(0x6d, 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);

WPARAM deviceEventSeen = 0;

LRESULT CALLBACK ListenerProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
    deviceEventSeen = wParam;
    return TRUE;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// Prints whether a top-level window of the probe's own heard of the change,
// so a test can tell a program that ignores the news from news that never came.
int DefineDrive(const wchar_t *letter, const wchar_t *kind, const wchar_t *unixPath) {
  ULONG type = DRIVE_NO_ROOT_DIR;
  if (wcscmp(kind, L"removable") == 0) type = DRIVE_REMOVABLE;
  else if (wcscmp(kind, L"fixed") == 0) type = DRIVE_FIXED;
  else if (wcscmp(kind, L"none") != 0) return kExitUsage;
  char path[MAX_PATH * 3] = "";
  if (type != DRIVE_NO_ROOT_DIR &&
      !WideCharToMultiByte(CP_UTF8, 0, unixPath, -1, path, sizeof path, nullptr, nullptr))
    return kExitUsage;
  std::vector<char> request(sizeof(WineUnixDrive) + strlen(path) + 1, 0);
  WineUnixDrive *drive = reinterpret_cast<WineUnixDrive *>(request.data());
  drive->size = static_cast<ULONG>(request.size());
  drive->type = type;
  drive->letter = static_cast<WCHAR>(towlower(letter[0]));
  // No mount point removes the letter.
  if (path[0]) {
    drive->mountPointOffset = sizeof(WineUnixDrive);
    memcpy(request.data() + sizeof(WineUnixDrive), path, strlen(path) + 1);
  }
  WNDCLASSW listenerClass;
  ZeroMemory(&listenerClass, sizeof listenerClass);
  listenerClass.lpfnWndProc = ListenerProc;
  listenerClass.lpszClassName = L"DrovelkitProbeListener";
  RegisterClassW(&listenerClass);
  HWND listener = CreateWindowExW(WS_EX_TOOLWINDOW, listenerClass.lpszClassName, L"", WS_POPUP, 0, 0, 1, 1, nullptr,
                                  nullptr, nullptr, nullptr);
  HANDLE manager = CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (manager == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "probe: no mount manager, error %lu\n", GetLastError());
    return kExitFailed;
  }
  DWORD returned = 0;
  BOOL ok = DeviceIoControl(manager, kIoctlDefineUnixDrive, request.data(), static_cast<DWORD>(request.size()),
                            nullptr, 0, &returned, nullptr);
  DWORD error = GetLastError();
  CloseHandle(manager);
  if (!ok) {
    fprintf(stderr, "probe: defining drive %lc: failed, error %lu\n", letter[0], error);
    if (listener) DestroyWindow(listener);
    return kExitFailed;
  }
  DWORD start = GetTickCount();
  while (listener && !deviceEventSeen && GetTickCount() - start < 3000) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    if (!deviceEventSeen) MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
  }
  printf("{\"notified\":%s,\"event\":%lu}\n", deviceEventSeen ? "true" : "false",
         static_cast<unsigned long>(deviceEventSeen));
  if (listener) DestroyWindow(listener);
  return kExitOk;
}

// What Windows sends every top-level window when a volume comes or goes.
int SendDeviceChange(const wchar_t *event, const wchar_t *letter) {
  HWND main = MainOrNull();
  if (!main) return kExitNoMain;
  WPARAM kind;
  if (wcscmp(event, L"arrival") == 0) kind = DBT_DEVICEARRIVAL;
  else if (wcscmp(event, L"removal") == 0) kind = DBT_DEVICEREMOVECOMPLETE;
  else if (wcscmp(event, L"nodes") == 0) kind = DBT_DEVNODES_CHANGED;
  else return kExitUsage;
  if (kind == DBT_DEVNODES_CHANGED) return Send(main, WM_DEVICECHANGE, kind, 0, nullptr) ? kExitOk : kExitFailed;
  DEV_BROADCAST_VOLUME volume;
  ZeroMemory(&volume, sizeof volume);
  volume.dbcv_size = sizeof volume;
  volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
  volume.dbcv_unitmask = 1u << (towupper(letter[0]) - L'A');
  return Send(main, WM_DEVICECHANGE, kind, reinterpret_cast<LPARAM>(&volume), nullptr) ? kExitOk : kExitFailed;
}

// What the executable file carries for the window system: its icon group 1
// and its manifest, read as data without running the file.
int Resources(const wchar_t *path) {
  HMODULE module = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!module) {
    fprintf(stderr, "probe: cannot open %ls, error %lu\n", path, GetLastError());
    return kExitFailed;
  }
  bool icon = FindResourceW(module, MAKEINTRESOURCEW(1), RT_GROUP_ICON) != nullptr;
  std::string manifest;
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(1), RT_MANIFEST);
  if (found) {
    HGLOBAL loaded = LoadResource(module, found);
    const char *data = loaded ? static_cast<const char *>(LockResource(loaded)) : nullptr;
    if (data) manifest.assign(data, SizeofResource(module, found));
  }
  FreeLibrary(module);
  std::wstring wideManifest(manifest.begin(), manifest.end());
  printf("{\"icon_group_1\":%s,\"manifest\":%s}\n", icon ? "true" : "false",
         found ? JsonString(wideManifest).c_str() : "null");
  return kExitOk;
}

int Usage() {
  fputs("usage: probe [-e EXE] dump|click ID|enable ID 0|1|close|sysclose|foreground|ok|"
        "wait-window CLASS MS|wait-gone CLASS MS|windows|volume ROOT|dpi|\n"
        "combo-height FACE POINTS HEIGHT|dropdown ID|dropup ID|select ID INDEX|admin|\n"
        "define-drive LETTER removable|fixed|none UNIXPATH|device-change arrival|removal|nodes LETTER|\n"
        "resources EXEPATH\n",
        stderr);
  return kExitUsage;
}

bool ParseNumber(const wchar_t *text, long *value) {
  wchar_t *end = nullptr;
  *value = wcstol(text, &end, 10);
  return end && end != text && *end == L'\0';
}

}  // namespace

int wmain(int argc, wchar_t **argv) {
  // Without this the window system would hand a foreign DPI-aware window's
  // rectangles to the probe scaled to 96 dpi.
  SetProcessDPIAware();
  int arg = 1;
  if (arg + 1 < argc && wcscmp(argv[arg], L"-e") == 0) {
    exeFilter = argv[arg + 1];
    arg += 2;
  }
  if (arg >= argc) return Usage();
  std::wstring command = argv[arg];
  int rest = argc - arg - 1;
  wchar_t **args = argv + arg + 1;
  int code = kExitUsage;
  long number = 0;
  if (command == L"dump" && rest == 0) {
    code = Dump();
  } else if (command == L"windows" && rest == 0) {
    code = ListWindows();
  } else if (command == L"click" && rest == 1 && ParseNumber(args[0], &number)) {
    code = Click(static_cast<int>(number));
  } else if (command == L"enable" && rest == 2 && ParseNumber(args[0], &number)) {
    long enabled = 0;
    if (!ParseNumber(args[1], &enabled)) return Usage();
    code = Enable(static_cast<int>(number), enabled != 0);
  } else if (command == L"close" && rest == 0) {
    HWND main = MainOrNull();
    code = main ? Post(main, WM_CLOSE, 0, 0) : kExitNoMain;
  } else if (command == L"sysclose" && rest == 0) {
    HWND main = MainOrNull();
    code = main ? Post(main, WM_SYSCOMMAND, SC_CLOSE, 0) : kExitNoMain;
  } else if (command == L"foreground" && rest == 0) {
    code = Foreground();
  } else if (command == L"ok" && rest == 0) {
    code = ClickOk();
  } else if ((command == L"wait-window" || command == L"wait-gone") && rest == 2 &&
             ParseNumber(args[1], &number) && number >= 0) {
    code = WaitWindow(args[0], static_cast<DWORD>(number), command == L"wait-gone");
  } else if (command == L"volume" && rest == 1) {
    code = Volume(args[0]);
  } else if (command == L"combo-height" && rest == 3 && ParseNumber(args[1], &number)) {
    long requested = 0;
    if (!ParseNumber(args[2], &requested)) return Usage();
    code = ComboHeight(args[0], static_cast<int>(number), static_cast<int>(requested));
  } else if ((command == L"dropdown" || command == L"dropup") && rest == 1 && ParseNumber(args[0], &number)) {
    code = DropDown(static_cast<int>(number), command == L"dropdown");
  } else if (command == L"select" && rest == 2 && ParseNumber(args[0], &number)) {
    long index = 0;
    if (!ParseNumber(args[1], &index)) return Usage();
    code = SelectItem(static_cast<int>(number), static_cast<int>(index));
  } else if (command == L"define-drive" && rest == 3) {
    code = DefineDrive(args[0], args[1], args[2]);
  } else if (command == L"device-change" && rest == 2) {
    code = SendDeviceChange(args[0], args[1]);
  } else if (command == L"resources" && rest == 1) {
    code = Resources(args[0]);
  } else if (command == L"admin" && rest == 0) {
    code = Admin();
  } else if (command == L"dpi" && rest == 0) {
    code = Dpi();
  } else {
    return Usage();
  }
  fflush(stdout);
  return code;
}
