#include "FrontArgs.h"

namespace {

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Scans one argument starting at text[pos] (not a blank); leaves pos after it.
std::wstring ScanArgument(const std::wstring& text, size_t& pos) {
    std::wstring arg;
    bool inQuotes = false;
    while (pos < text.size()) {
        size_t backslashes = 0;
        while (pos < text.size() && text[pos] == L'\\') {
            ++backslashes;
            ++pos;
        }
        if (pos < text.size() && text[pos] == L'"') {
            arg.append(backslashes / 2, L'\\');
            if (backslashes % 2 == 1) {
                arg += L'"';
            } else if (inQuotes && pos + 1 < text.size() && text[pos + 1] == L'"') {
                // The current runtime keeps the quoted part open after "";
                // msvcrt.dll closes it. Drovelkit never writes "" so both agree.
                arg += L'"';
                ++pos;
            } else {
                inQuotes = !inQuotes;
            }
            ++pos;
            continue;
        }
        arg.append(backslashes, L'\\');
        if (pos >= text.size() || (!inQuotes && IsBlank(text[pos]))) break;
        arg += text[pos];
        ++pos;
    }
    return arg;
}

std::vector<std::wstring> SplitFrom(const std::wstring& text, size_t pos) {
    std::vector<std::wstring> args;
    for (;;) {
        while (pos < text.size() && IsBlank(text[pos])) ++pos;
        if (pos >= text.size()) break;
        args.push_back(ScanArgument(text, pos));
    }
    return args;
}

bool NeedsQuotes(const std::wstring& arg) {
    if (arg.empty()) return true;
    return arg.find_first_of(L" \t\n\v\"") != std::wstring::npos;
}

}  // namespace

std::vector<std::wstring> SplitArguments(const std::wstring& text) {
    return SplitFrom(text, 0);
}

std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine) {
    std::vector<std::wstring> args;
    size_t pos = 0;
    std::wstring program;
    bool inQuotes = false;
    while (pos < commandLine.size()) {
        wchar_t c = commandLine[pos];
        if (c == L'"') {
            inQuotes = !inQuotes;
        } else if (!inQuotes && IsBlank(c)) {
            break;
        } else {
            program += c;
        }
        ++pos;
    }
    args.push_back(program);
    std::vector<std::wstring> rest = SplitFrom(commandLine, pos);
    args.insert(args.end(), rest.begin(), rest.end());
    return args;
}

std::vector<std::wstring> TranslateEmulatorArgs(const std::vector<std::wstring>& args) {
    std::vector<std::wstring> out;
    out.reserve(args.size() + 1);
    for (const std::wstring& arg : args) {
        // QEMU 4.0 dropped -localtime; -rtc base=localtime is its successor.
        if (arg == L"-localtime") {
            out.push_back(L"-rtc");
            out.push_back(L"base=localtime");
        } else {
            out.push_back(arg);
        }
    }
    return out;
}

std::wstring QuoteArgument(const std::wstring& arg) {
    if (!NeedsQuotes(arg)) return arg;
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            out.append(backslashes * 2 + 1, L'\\');
        } else {
            out.append(backslashes, L'\\');
        }
        backslashes = 0;
        out += c;
    }
    // Backslashes before the closing quote would escape it unless doubled.
    out.append(backslashes * 2, L'\\');
    out += L'"';
    return out;
}

std::wstring QuoteCommandLine(const std::wstring& programPath,
                              const std::vector<std::wstring>& args) {
    std::wstring line = L"\"" + programPath + L"\"";
    for (const std::wstring& arg : args) {
        line += L' ';
        line += QuoteArgument(arg);
    }
    return line;
}

std::wstring FolderOfPath(const std::wstring& path) {
    size_t last = path.find_last_of(L"\\/");
    return last == std::wstring::npos ? std::wstring() : path.substr(0, last + 1);
}

std::wstring MissingEmulatorMessage() {
    return L"The boot test needs the QEMU emulator for Windows, and it was not found "
           L"on this computer.\n\n"
           L"To get it, open the Windows download page of qemu.org "
           L"(https://www.qemu.org/download/#windows), download \"QEMU for Windows "
           L"(64-bit)\" and install it in its default folder, C:\\Program Files\\qemu.\n\n"
           L"Then start the test again.";
}

std::wstring StartFailureMessage(const std::wstring& emulatorPath, unsigned long errorCode,
                                 const std::wstring& systemText) {
    return L"The QEMU emulator was found but could not be started:\n" + emulatorPath +
           L"\n\nWindows says (error " + std::to_wstring(errorCode) + L"): " + systemText +
           L"\n\nReinstalling QEMU for Windows (64-bit) from qemu.org may help; "
           L"the 64-bit emulator does not run on 32-bit Windows.";
}

std::wstring EarlyExitMessage(const std::wstring& emulatorPath, unsigned long exitCode,
                              const std::wstring& emulatorOutput) {
    std::wstring text = L"The QEMU emulator stopped right after it was started (exit code " +
                        std::to_wstring(exitCode) + L"):\n" + emulatorPath;
    if (!emulatorOutput.empty()) text += L"\n\nIt said:\n" + emulatorOutput;
    return text;
}
