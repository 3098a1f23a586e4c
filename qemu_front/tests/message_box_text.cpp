// message_box_text.exe TITLE [TIMEOUT_MS]: waits for a message box whose
// caption is TITLE, writes the texts of its static controls to standard
// output (UTF-8, each followed by LF), then presses its default button.
// Exit code 0 when a box was read, 1 when none appeared in time.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>

#include <string>

namespace {

struct Search {
    const wchar_t* title;
    HWND found;
};

BOOL CALLBACK MatchBox(HWND window, LPARAM param) {
    Search* search = reinterpret_cast<Search*>(param);
    wchar_t caption[256];
    wchar_t className[64];
    if (GetWindowTextW(window, caption, 256) > 0 && lstrcmpW(caption, search->title) == 0 &&
        GetClassNameW(window, className, 64) > 0 && lstrcmpW(className, L"#32770") == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK CollectStatics(HWND child, LPARAM param) {
    std::wstring* texts = reinterpret_cast<std::wstring*>(param);
    wchar_t className[64];
    if (GetClassNameW(child, className, 64) == 0 || lstrcmpiW(className, L"Static") != 0) return TRUE;
    // Static controls of a message box may be longer than any fixed buffer.
    LRESULT length = SendMessageW(child, WM_GETTEXTLENGTH, 0, 0);
    if (length <= 0) return TRUE;
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    LRESULT got = SendMessageW(child, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]));
    text.resize(static_cast<size_t>(got));
    *texts += text;
    *texts += L'\n';
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 64;
    DWORD timeout = argc > 2 ? static_cast<DWORD>(_wtoi(argv[2])) : 30000;
    Search search = {argv[1], nullptr};
    DWORD start = GetTickCount();
    while (!search.found) {
        EnumWindows(MatchBox, reinterpret_cast<LPARAM>(&search));
        if (search.found) break;
        if (GetTickCount() - start > timeout) return 1;
        Sleep(100);
    }
    // Give the box a moment to finish laying out its controls.
    Sleep(300);
    std::wstring texts;
    EnumChildWindows(search.found, CollectStatics, reinterpret_cast<LPARAM>(&texts));

    int bytes = WideCharToMultiByte(CP_UTF8, 0, texts.data(), static_cast<int>(texts.size()), nullptr,
                                    0, nullptr, nullptr);
    std::string utf8(bytes > 0 ? bytes : 0, '\0');
    if (bytes > 0) {
        WideCharToMultiByte(CP_UTF8, 0, texts.data(), static_cast<int>(texts.size()), &utf8[0], bytes,
                            nullptr, nullptr);
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), utf8.data(), static_cast<DWORD>(utf8.size()), &written,
              nullptr);

    PostMessageW(search.found, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return 0;
}
