// The main window, its controls, the interrupt box and the window events.
#include <windows.h>
#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <shobjidl.h>

#include <deque>
#include <mutex>
#include <vector>

#include "app/Logo.h"
#include "drives/DriveList.h"
#include "platform/Os.h"
#include "platform/Win32.h"

namespace {

const wchar_t kMainClass[] = L"DrovelkitMain";
const wchar_t kBoxClass[] = L"DrovelkitMessageBox";
constexpr UINT kRunProcedureMessage = WM_APP + 1;
// How far the drop-down list of DriveCombo opens below its field.
constexpr int kDropDownExtra = 160;

HWND mainWindow;
HWND controls[int(Control::MainWindowCount)];
HWND messageBox, messageBoxText, messageBoxOk;
HWND tooltip;
HFONT font0, font1, defaultFont, smallDriveFont;
HBITMAP logoBitmap;
DWORD windowThread;
int dpiX = 96, dpiY = 96;
// Control events, close requests and drops, as the window procedures see
// them; the event loop reads them in order with the raw messages.
std::deque<Event> pending;

// What the program last put into the controls that only it changes, so that
// the same text, bar position or taskbar value is not drawn again: a copy
// reports after every read of the archiver's output, mostly unchanged.
struct ShownState {
    std::mutex guard;
    std::wstring text[int(Control::MainWindowCount)];
    bool textKnown[int(Control::MainWindowCount)] = {};
    int progress = -1;  // -1: not known
    int taskbarState = -1;
    uint64_t taskbarCompleted = 0, taskbarTotal = 0;
    bool taskbarValueKnown = false;
};
ShownState shown;
unsigned long long callsMade, callsSkipped;  // under shown.guard

void ForgetShownState() {
    std::lock_guard<std::mutex> lock(shown.guard);
    for (bool& known : shown.textKnown) known = false;
    shown.progress = -1;
    shown.taskbarState = -1;
    shown.taskbarValueKnown = false;
}

// The user types into edit fields; their text is never taken from memory.
bool OnlyTheProgramSetsText(Control control) {
    const int index = int(control);
    return index >= 0 && index < int(Control::MainWindowCount) &&
           MainWindowControls()[index].kind != ControlKind::EditField && control != Control::DriveCombo;
}

int ScaleX(int v) { return v * dpiX / 96; }
int ScaleY(int v) { return v * dpiY / 96; }

HWND Handle(Control control) {
    int index = int(control);
    if (index >= 0 && index < int(Control::MainWindowCount)) return controls[index];
    if (control == Control::MessageBoxText) return messageBoxText;
    if (control == Control::MessageBoxOk) return messageBoxOk;
    return nullptr;
}

Control ControlOf(HWND window) {
    for (int i = 0; i < int(Control::MainWindowCount); ++i)
        if (controls[i] == window) return Control(i);
    if (window != nullptr && window == messageBoxOk) return Control::MessageBoxOk;
    return Control::None;
}

HFONT PointFont(const wchar_t* face, int points) {
    return CreateFontW(-MulDiv(points, dpiY, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, face);
}

void Enqueue(EventKind kind, EventWindow window, Control control, int notification) {
    Event event;
    event.kind = kind;
    event.window = window;
    event.control = control;
    event.notification = notification;
    pending.push_back(event);
}

std::wstring DroppedNames(HDROP drop) {
    std::wstring names;
    UINT count = DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0);
    for (UINT i = 0; i < count; ++i) {
        std::vector<wchar_t> name(DragQueryFileW(drop, i, nullptr, 0) + 1);
        DragQueryFileW(drop, i, name.data(), UINT(name.size()));
        if (i) names += L'\n';
        names += name.data();
    }
    DragFinish(drop);
    return names;
}

LRESULT CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            if (lParam != 0) Enqueue(EventKind::ControlEvent, EventWindow::Main, ControlOf(HWND(lParam)),
                                     HIWORD(wParam));
            else Enqueue(EventKind::Menu, EventWindow::Main, Control::None, LOWORD(wParam));
            return 0;
        case WM_CLOSE:
            // Closing is the event loop's decision, not the window's.
            Enqueue(EventKind::Close, EventWindow::Main, Control::None, 0);
            return 0;
        case WM_DROPFILES: {
            Event event;
            event.kind = EventKind::Drop;
            event.window = EventWindow::Main;
            event.droppedNames = DroppedNames(HDROP(wParam));
            pending.push_back(event);
            return 0;
        }
        case WM_DEVICECHANGE:
            if (OnDeviceChange(message, wParam)) return TRUE;
            break;
        case WM_CTLCOLORSTATIC:
            if (HWND(lParam) == controls[int(Control::DraggedFilesNotice)]) {
                HDC dc = HDC(wParam);
                SetTextColor(dc, RGB(170, 0, 0));
                SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
                return LRESULT(GetSysColorBrush(COLOR_BTNFACE));
            }
            break;
        case kRunProcedureMessage:
            reinterpret_cast<void (*)()>(wParam)();
            return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT CALLBACK BoxProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COMMAND:
            if (lParam != 0) Enqueue(EventKind::ControlEvent, EventWindow::MessageBox, ControlOf(HWND(lParam)),
                                     HIWORD(wParam));
            return 0;
        case WM_CLOSE:
            return 0;  // only the Ok button closes the box
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

DWORD ControlStyle(const ControlLayout& layout) {
    DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    // Every control that is not an option button ends the option group before it.
    if (layout.kind != ControlKind::OptionButton || layout.firstOfGroup) style |= WS_GROUP;
    switch (layout.kind) {
        case ControlKind::DropDownList: return style | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST;
        case ControlKind::PushButton: return style | WS_TABSTOP | BS_PUSHBUTTON;
        case ControlKind::CheckBox: return style | WS_TABSTOP | BS_AUTOCHECKBOX;
        case ControlKind::ThreeStateBox: return style | WS_TABSTOP | BS_3STATE;  // the program sets its state
        case ControlKind::EditField: return style | WS_TABSTOP | ES_AUTOHSCROLL;
        case ControlKind::ReadOnlyLine: return style | WS_TABSTOP | ES_AUTOHSCROLL | ES_READONLY;
        case ControlKind::ProgressBar: return style;
        case ControlKind::Picture: return style | SS_BITMAP;
        case ControlKind::GroupBox: return style | BS_GROUPBOX;
        case ControlKind::OptionButton: return style | WS_TABSTOP | BS_AUTORADIOBUTTON;
        case ControlKind::Label:
            return style | (layout.align == TextAlign::Right ? SS_RIGHT : layout.align == TextAlign::Center ? SS_CENTER
                                                                                                        : SS_LEFT);
    }
    return style;
}

const wchar_t* ControlClass(ControlKind kind) {
    switch (kind) {
        case ControlKind::DropDownList: return WC_COMBOBOXW;
        case ControlKind::EditField:
        case ControlKind::ReadOnlyLine: return WC_EDITW;
        case ControlKind::ProgressBar: return PROGRESS_CLASSW;
        case ControlKind::Picture:
        case ControlKind::Label: return WC_STATICW;
        default: return WC_BUTTONW;
    }
}

HBITMAP ScaledLogo() {
    const StoredBlock png = OsLogoPng();
    RgbaImage image;
    if (png.data == nullptr || !DecodePng(png.data, png.size, &image)) return nullptr;
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    std::vector<uint8_t> pixels = BlendOnto(image, GetRValue(face), GetGValue(face), GetBValue(face));
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = image.width;
    info.bmiHeader.biHeight = -image.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    const int width = image.width * dpiX / 96, height = image.height * dpiY / 96;
    HDC screen = GetDC(nullptr);
    HDC target = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    HGDIOBJ old = SelectObject(target, bitmap);
    SetStretchBltMode(target, HALFTONE);
    StretchDIBits(target, 0, 0, width, height, 0, 0, image.width, image.height, pixels.data(), &info,
                  DIB_RGB_COLORS, SRCCOPY);
    SelectObject(target, old);
    DeleteDC(target);
    ReleaseDC(nullptr, screen);
    return bitmap;
}

void CreateFonts() {
    font0 = PointFont(L"Consolas", 11);
    font1 = PointFont(L"Microsoft Sans Serif", 11);
    defaultFont = dpiY == 96 ? HFONT(GetStockObject(DEFAULT_GUI_FONT)) : PointFont(L"Segoe UI", 9);
}

void AddTooltipTool(Control control, const std::wstring& text) {
    if (tooltip == nullptr)
        tooltip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, mainWindow, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    TOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = mainWindow;
    tool.uId = UINT_PTR(Handle(control));
    tool.lpszText = const_cast<wchar_t*>(text.c_str());
    SendMessageW(tooltip, TTM_DELTOOLW, 0, LPARAM(&tool));
    SendMessageW(tooltip, TTM_ADDTOOLW, 0, LPARAM(&tool));
}

bool TaskbarProgressAvailable() {
    DWORD major = 0, minor = 0;
    return WindowsVersion(&major, &minor) && (major > 6 || (major == 6 && minor >= 1));
}

template <typename Call>
void WithTaskbarList(Call call) {
    if (mainWindow == nullptr || !TaskbarProgressAvailable()) return;
    // Nothing is kept between calls: each one sets up COM on its own thread.
    CoInitialize(nullptr);
    ITaskbarList3* taskbar = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER, IID_ITaskbarList3,
                                   reinterpret_cast<void**>(&taskbar)))) {
        if (SUCCEEDED(taskbar->HrInit())) call(taskbar);
        taskbar->Release();
    }
    CoUninitialize();
}

}  // namespace

void CountWindowCalls(unsigned long long* made, unsigned long long* skipped) {
    std::lock_guard<std::mutex> lock(shown.guard);
    *made = callsMade;
    *skipped = callsSkipped;
}

bool OsCreateMainWindow() {
    windowThread = GetCurrentThreadId();
    ForgetShownState();
    HINSTANCE instance = GetModuleHandleW(nullptr);
    INITCOMMONCONTROLSEX common{sizeof common, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_BAR_CLASSES};
    InitCommonControlsEx(&common);
    HDC screen = GetDC(nullptr);
    dpiX = GetDeviceCaps(screen, LOGPIXELSX);
    dpiY = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    CreateFonts();
    logoBitmap = ScaledLogo();

    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = MainProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    windowClass.hIconSm = windowClass.hIcon;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = HBRUSH(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = kMainClass;
    RegisterClassExW(&windowClass);
    windowClass.lpfnWndProc = BoxProc;
    windowClass.lpszClassName = kBoxClass;
    windowClass.hIcon = windowClass.hIconSm = nullptr;
    RegisterClassExW(&windowClass);

    // No WS_CLIPCHILDREN: group boxes are transparent and need the window's
    // own background painted under them.
    const DWORD style = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    RECT frame{0, 0, ScaleX(kMainClientWidth), ScaleY(kMainClientHeight)};
    AdjustWindowRectEx(&frame, style, FALSE, 0);
    const int width = frame.right - frame.left, height = frame.bottom - frame.top;
    const int screenWidth = GetSystemMetrics(SM_CXSCREEN), screenHeight = GetSystemMetrics(SM_CYSCREEN);
    const int left = width > screenWidth ? 0 : (screenWidth - width) / 2;
    const int top = height > screenHeight ? 0 : (screenHeight - height) / 2;
    mainWindow = CreateWindowExW(0, kMainClass, L"", style, left, top, width, height, nullptr, nullptr, instance,
                                 nullptr);
    if (mainWindow == nullptr) return false;

    for (int i = 0; i < int(Control::MainWindowCount); ++i) {
        const ControlLayout& layout = MainWindowControls()[i];
        // A drop-down list's closed height follows its font; the height given
        // here is that of the open list.
        const int extra = layout.kind == ControlKind::DropDownList ? ScaleY(kDropDownExtra) : 0;
        controls[i] = CreateWindowExW(layout.kind == ControlKind::EditField ? WS_EX_CLIENTEDGE : 0,
                                      ControlClass(layout.kind), layout.caption, ControlStyle(layout), ScaleX(layout.x),
                                      ScaleY(layout.y), ScaleX(layout.width), ScaleY(layout.height) + extra, mainWindow,
                                      HMENU(INT_PTR(kControlIdBase + i)), instance, nullptr);
        HFONT font = layout.control == Control::DriveCombo    ? font0
                     : layout.control == Control::StartButton ? font1
                                                            : defaultFont;
        SendMessageW(controls[i], WM_SETFONT, WPARAM(font), FALSE);
    }
    // Frames go to the bottom of the z-order so that the controls inside them,
    // created after them, are not painted over. Frames take no focus, so the
    // Tab order stays the creation order.
    for (Control frameControl : {Control::FormatFrame, Control::TestMenuFrame})
        SetWindowPos(controls[int(frameControl)], HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    SendMessageW(controls[int(Control::CopyProgressBar)], PBM_SETRANGE32, 0, 100);
    if (logoBitmap != nullptr)
        SendMessageW(controls[int(Control::LogoImage)], STM_SETIMAGE, IMAGE_BITMAP, LPARAM(logoBitmap));
    ShowWindow(controls[int(Control::StartButton)], SW_HIDE);
    ShowWindow(mainWindow, SW_SHOWNORMAL);
    UpdateWindow(mainWindow);
    return true;
}

void OsReleaseWindowResources() {
    if (mainWindow != nullptr) DestroyWindow(mainWindow);
    mainWindow = nullptr;
    for (HFONT* font : {&font0, &font1, &smallDriveFont}) {
        if (*font != nullptr) DeleteObject(*font);
        *font = nullptr;
    }
    if (dpiY != 96 && defaultFont != nullptr) DeleteObject(defaultFont);
    defaultFont = nullptr;
    if (logoBitmap != nullptr) DeleteObject(logoBitmap);
    logoBitmap = nullptr;
    OleUninitialize();
}

bool OsMainWindowExists() { return mainWindow != nullptr && IsWindow(mainWindow); }

std::wstring OsGetText(Control control) {
    HWND window = Handle(control);
    if (window == nullptr) return L"";
    std::vector<wchar_t> text(GetWindowTextLengthW(window) + 1);
    GetWindowTextW(window, text.data(), int(text.size()));
    return text.data();
}

void OsSetText(Control control, const std::wstring& text) {
    HWND window = Handle(control);
    if (window == nullptr) return;
    if (OnlyTheProgramSetsText(control)) {
        const int index = int(control);
        std::lock_guard<std::mutex> lock(shown.guard);
        if (shown.textKnown[index] && shown.text[index] == text) {
            ++callsSkipped;
            return;
        }
        ++callsMade;
        shown.text[index] = text;
        shown.textKnown[index] = true;
    }
    SetWindowTextW(window, text.c_str());
}

void OsSetWindowTitle(const std::wstring& title) { SetWindowTextW(mainWindow, title.c_str()); }

std::wstring OsGetWindowTitle() {
    std::vector<wchar_t> text(GetWindowTextLengthW(mainWindow) + 1);
    GetWindowTextW(mainWindow, text.data(), int(text.size()));
    return text.data();
}

void OsShowControl(Control control, bool visible) {
    if (HWND window = Handle(control)) ShowWindow(window, visible ? SW_SHOW : SW_HIDE);
}

void OsEnableControl(Control control, bool enabled) {
    if (HWND window = Handle(control)) EnableWindow(window, enabled);
}

int OsGetCheck(Control control) {
    LRESULT state = SendMessageW(Handle(control), BM_GETCHECK, 0, 0);
    return state == BST_CHECKED ? 1 : state == BST_INDETERMINATE ? -1 : 0;
}

void OsSetCheck(Control control, int state) {
    Control first, last;
    // A program's BM_SETCHECK does not clear the other options of the group.
    if (state == 1 && OptionGroup(control, &first, &last))
        for (int i = int(first); i <= int(last); ++i)
            if (Control(i) != control) SendMessageW(controls[i], BM_SETCHECK, BST_UNCHECKED, 0);
    SendMessageW(Handle(control), BM_SETCHECK,
                 state == 1 ? BST_CHECKED : state == -1 ? BST_INDETERMINATE : BST_UNCHECKED, 0);
}

void OsSetTooltip(Control control, const std::wstring& text) { AddTooltipTool(control, text); }

int OsGetProgress() {
    {
        std::lock_guard<std::mutex> lock(shown.guard);
        if (shown.progress >= 0) return shown.progress;
    }
    return int(SendMessageW(controls[int(Control::CopyProgressBar)], PBM_GETPOS, 0, 0));
}

void OsSetProgress(int value) {
    HWND bar = controls[int(Control::CopyProgressBar)];
    {
        std::lock_guard<std::mutex> lock(shown.guard);
        if (shown.progress >= 0 && shown.progress == value) {
            ++callsSkipped;
            return;
        }
        ++callsMade;
        shown.progress = -1;
    }
    SendMessageW(bar, PBM_SETPOS, value, 0);
    // The bar keeps the value within its range: remember what it holds.
    const int held = int(SendMessageW(bar, PBM_GETPOS, 0, 0));
    std::lock_guard<std::mutex> lock(shown.guard);
    shown.progress = held == value ? value : -1;
}

void OsSetProgressRange(int maximum) {
    {
        std::lock_guard<std::mutex> lock(shown.guard);
        shown.progress = -1;
    }
    SendMessageW(controls[int(Control::CopyProgressBar)], PBM_SETRANGE32, 0, maximum);
}

void OsComboClear() { SendMessageW(controls[int(Control::DriveCombo)], CB_RESETCONTENT, 0, 0); }

void OsComboAppend(const std::wstring& line) {
    HWND combo = controls[int(Control::DriveCombo)];
    SendMessageW(combo, CB_ADDSTRING, 0, LPARAM(line.c_str()));
    // A whole line is wider than the closed field; the open list shows it all.
    HDC dc = GetDC(combo);
    HGDIOBJ old = SelectObject(dc, HGDIOBJ(SendMessageW(combo, WM_GETFONT, 0, 0)));
    SIZE size{};
    GetTextExtentPoint32W(dc, line.c_str(), int(line.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(combo, dc);
    const LRESULT width = size.cx + 2 * GetSystemMetrics(SM_CXEDGE) + GetSystemMetrics(SM_CXVSCROLL);
    if (width > SendMessageW(combo, CB_GETDROPPEDWIDTH, 0, 0)) SendMessageW(combo, CB_SETDROPPEDWIDTH, width, 0);
}

int OsComboCount() { return int(SendMessageW(controls[int(Control::DriveCombo)], CB_GETCOUNT, 0, 0)); }

std::wstring OsComboLine(int index) {
    HWND combo = controls[int(Control::DriveCombo)];
    LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, index, 0);
    if (length == CB_ERR) return L"";
    std::vector<wchar_t> text(length + 1);
    SendMessageW(combo, CB_GETLBTEXT, index, LPARAM(text.data()));
    return text.data();
}

void OsComboSelect(int index) { SendMessageW(controls[int(Control::DriveCombo)], CB_SETCURSEL, index, 0); }

int OsMeasureSystemFontText(const std::wstring& text) {
    HDC dc = GetDC(mainWindow);
    HGDIOBJ old = SelectObject(dc, GetStockObject(SYSTEM_FONT));
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &size);
    SelectObject(dc, old);
    ReleaseDC(mainWindow, dc);
    return size.cx;
}

void OsUseSmallDriveListFont() {
    smallDriveFont = PointFont(L"Consolas", 8);
    SendMessageW(controls[int(Control::DriveCombo)], WM_SETFONT, WPARAM(smallDriveFont), TRUE);
}

void OsAcceptDroppedFiles() {
    // An elevated window filters drops from Explorer unless these are allowed.
    typedef BOOL(WINAPI * FilterProc)(HWND, UINT, DWORD, void*);
    auto allow = reinterpret_cast<FilterProc>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"user32.dll"), "ChangeWindowMessageFilterEx")));
    if (allow != nullptr)
        for (UINT message : {UINT(WM_DROPFILES), UINT(WM_COPYDATA), UINT(0x0049)}) allow(mainWindow, message, 1, nullptr);
    DragAcceptFiles(mainWindow, TRUE);
}

void OsSetTaskbarProgressState(int state) {
    {
        std::lock_guard<std::mutex> lock(shown.guard);
        if (shown.taskbarState == state) {
            ++callsSkipped;
            return;
        }
        ++callsMade;
        shown.taskbarState = state;
    }
    WithTaskbarList([state](ITaskbarList3* taskbar) { taskbar->SetProgressState(mainWindow, TBPFLAG(state)); });
}

void OsSetTaskbarProgressValue(uint64_t completed, uint64_t total) {
    {
        std::lock_guard<std::mutex> lock(shown.guard);
        if (shown.taskbarValueKnown && shown.taskbarCompleted == completed && shown.taskbarTotal == total) {
            ++callsSkipped;
            return;
        }
        ++callsMade;
        shown.taskbarValueKnown = true;
        shown.taskbarCompleted = completed;
        shown.taskbarTotal = total;
    }
    WithTaskbarList([=](ITaskbarList3* taskbar) { taskbar->SetProgressValue(mainWindow, completed, total); });
}

bool OsOnWindowThread() { return GetCurrentThreadId() == windowThread; }

void OsRunOnWindowThread(void (*procedure)()) {
    if (OsOnWindowThread() || !OsMainWindowExists()) procedure();
    else SendMessageW(mainWindow, kRunProcedureMessage, WPARAM(procedure), 0);
}

bool OsNextEvent(Event* event) {
    if (!pending.empty()) {
        *event = pending.front();
        pending.pop_front();
        return true;
    }
    MSG message;
    if (!PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) return false;
    HWND root = message.hwnd != nullptr ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
    if (root == nullptr || !IsDialogMessageW(root, &message)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    *event = Event();
    event->kind = EventKind::Message;
    event->message = message.message;
    event->window = root != nullptr && root == mainWindow   ? EventWindow::Main
                    : root != nullptr && root == messageBox ? EventWindow::MessageBox
                                                            : EventWindow::Other;
    return true;
}

void OsWaitForEvents(int milliseconds) {
    if (pending.empty()) MsgWaitForMultipleObjectsEx(0, nullptr, DWORD(milliseconds), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

bool OsEscapeKeyDown() { return (GetKeyState(VK_ESCAPE) & 0x8000) != 0; }

bool OsMainWindowInFront() {
    HWND front = GetForegroundWindow();
    DWORD process = 0;
    GetWindowThreadProcessId(front, &process);
    return front != nullptr && front == mainWindow && process == GetCurrentProcessId();
}

bool OsControlScreenRect(Control control, ScreenRect* rect) {
    HWND window = Handle(control);
    RECT r;
    if (window == nullptr || !GetWindowRect(window, &r)) return false;
    *rect = ScreenRect{r.left, r.top, r.right - r.left, r.bottom - r.top};
    return true;
}

void OsCursorPosition(long* x, long* y) {
    POINT point{0, 0};
    GetCursorPos(&point);
    *x = point.x;
    *y = point.y;
}

void OsMainWindowOrigin(int* x, int* y) {
    RECT r{0, 0, 0, 0};
    GetWindowRect(mainWindow, &r);
    *x = r.left * 96 / dpiX;
    *y = r.top * 96 / dpiY;
}

void OsOpenMessageBox(int x, int y, const std::wstring& title, const std::wstring& text) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    const DWORD style = WS_POPUP | WS_CAPTION | WS_CLIPCHILDREN;
    RECT frame{0, 0, ScaleX(320), ScaleY(100)};
    AdjustWindowRectEx(&frame, style, FALSE, WS_EX_TOOLWINDOW);
    messageBox = CreateWindowExW(WS_EX_TOOLWINDOW, kBoxClass, title.c_str(), style, ScaleX(x), ScaleY(y),
                                 frame.right - frame.left, frame.bottom - frame.top, mainWindow, nullptr, instance,
                                 nullptr);
    // Siblings overlap the container: each clips the others so none paints over them.
    const DWORD child = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    HWND container = CreateWindowExW(0, WC_STATICW, L"", child, 0, 0, ScaleX(320), ScaleY(100), messageBox, nullptr,
                                     instance, nullptr);
    messageBoxText = CreateWindowExW(0, WC_STATICW, text.c_str(), child | SS_CENTER, ScaleX(25),
                                     ScaleY(25), ScaleX(270), ScaleY(24), messageBox,
                                     HMENU(INT_PTR(kMessageBoxTextId)), instance, nullptr);
    messageBoxOk = CreateWindowExW(0, WC_BUTTONW, L"Ok", child | WS_TABSTOP | BS_DEFPUSHBUTTON,
                                   ScaleX(250), ScaleY(65), ScaleX(60), ScaleY(25), messageBox,
                                   HMENU(INT_PTR(kMessageBoxOkId)), instance, nullptr);
    for (HWND child : {container, messageBoxText, messageBoxOk})
        SendMessageW(child, WM_SETFONT, WPARAM(defaultFont), FALSE);
    SetWindowPos(container, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    ShowWindow(messageBox, SW_SHOW);
    SetForegroundWindow(messageBox);
    SetFocus(messageBoxText);
}

void OsActivateMessageBox() {
    if (messageBox != nullptr && GetActiveWindow() != messageBox) SetActiveWindow(messageBox);
}

void OsCloseMessageBox() {
    if (messageBox != nullptr) DestroyWindow(messageBox);
    messageBox = messageBoxText = messageBoxOk = nullptr;
    if (mainWindow != nullptr) SetActiveWindow(mainWindow);
}

void OsShowErrorBox(const std::wstring& title, const std::wstring& text) {
    MessageBoxW(OsMainWindowInFront() ? mainWindow : nullptr, text.c_str(), title.c_str(), MB_OK);
}

std::wstring OsChooseOpenFile(const std::wstring& title, const std::wstring& filterName,
                              const std::wstring& filterPattern, const std::wstring& initialFolder) {
    std::wstring filter = filterName + L'\0' + filterPattern + L'\0' + L'\0';
    std::vector<wchar_t> file(32768, L'\0');
    OPENFILENAMEW dialog{};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = mainWindow;
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = file.data();
    dialog.nMaxFile = DWORD(file.size());
    dialog.lpstrInitialDir = initialFolder.c_str();
    dialog.lpstrTitle = title.c_str();
    dialog.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
    if (!GetOpenFileNameW(&dialog)) return L"";
    return file.data();
}
