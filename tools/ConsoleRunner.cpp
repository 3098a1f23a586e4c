#include "tools/ConsoleRunner.h"

#include "app/AppState.h"
#include "app/Reporting.h"
#include "common/Str.h"
#include "payload/Payload.h"
#include "platform/Os.h"
#include "tools/DiskCheckOutput.h"
#include "tools/OutputParser.h"

namespace {

// A tool that writes nothing for this long is checked again; output or the
// tool's end wakes the runner at once.
constexpr int kIdleWaitMilliseconds = 20;

// The interpreter itself starts whether or not the tool is there; a missing
// tool must still read as a failed start, with its name. A system tool is
// looked for where the native interpreter will find it too.
bool ToolExists(const std::wstring& toolPath) {
    if (OsFileSize(toolPath) >= 0) return true;
    const std::wstring system32 = appState.windowsDir + L"\\System32\\";
    return StartsWith(ToUpper(toolPath), ToUpper(system32)) &&
           OsFileSize(appState.nativeSystemDir + L"\\" + toolPath.substr(system32.size())) >= 0;
}

// Bytes up to the count read or the first zero byte, read in the ANSI code page.
std::wstring ChunkFromBytes(const std::string& bytes) {
    size_t zero = bytes.find('\0');
    return DecodeConsoleText(OsAnsiToText(zero == std::string::npos ? bytes : bytes.substr(0, zero)));
}

// Standard error is read only for its last line: a tool that writes much
// there must neither stall on a full pipe nor fill the memory.
constexpr size_t kErrorTailBytes = 4096;

void KeepErrorTail(std::string* tail, const std::string& bytes) {
    *tail += bytes;
    if (tail->size() > kErrorTailBytes) tail->erase(0, tail->size() - kErrorTailBytes);
}

std::wstring LastLine(const std::wstring& text) {
    std::wstring line;
    for (const std::wstring& piece : SplitFields(RemoveAll(text, L'\r'), L'\n'))
        if (!TrimBlanks(piece).empty()) line = TrimBlanks(piece);
    return line;
}

// Characters that make the interpreter split or rewrite an unquoted path.
constexpr const wchar_t* kInterpreterSyntax = L" \t&()[]{}^=;!'+,`~|<>%";

}  // namespace

std::wstring InterpreterCommandLine(const std::wstring& interpreter, const std::wstring& toolPath,
                                    const std::wstring& arguments) {
    std::wstring command = toolPath + L" " + arguments;
    // Quoted, the whole command needs one more pair of quotes, which the
    // interpreter strips again.
    if (toolPath.find_first_of(kInterpreterSyntax) != std::wstring::npos)
        command = L"\"\"" + toolPath + L"\" " + arguments + L"\"";
    // /d: the user's AutoRun command (HKCU\Software\Microsoft\Command
    // Processor) would otherwise run first, with the program's rights.
    return L"\"" + interpreter + L"\"  /d /c " + command;
}

std::wstring InterpreterVariableIn(const std::wstring& text) {
    // No quoting or escape keeps the interpreter from it, and Wine's
    // interpreter even expands what a variable gave it again.
    size_t open = text.find(L'%');
    while (open != std::wstring::npos) {
        size_t close = text.find(L'%', open + 1);
        if (close == std::wstring::npos) return L"";
        if (close > open + 1) return text.substr(open, close - open + 1);
        open = close;
    }
    return L"";
}

int32_t RunConsoleTool(const std::wstring& toolPath, const std::wstring& arguments,
                       const std::wstring& workingFolder) {
    RunReport& runReport = CurrentRunReport();
    runReport.errorLine.clear();
    // Escape holds until the copy operation has ended: none of its tools
    // starts after it.
    if (CopyInterrupted()) return kToolNotRunAfterInterrupt;
    bool refused = false;
    HeldFile* held = HoldPayloadTool(toolPath, &refused);
    if (refused) {
        runReport.exitCode = kToolRefused;
        return runReport.exitCode;
    }
    // A tool of the payload starts from the file that was checked.
    const std::wstring heldPath = OsHeldFilePath(held);
    const std::wstring commandLine = InterpreterCommandLine(appState.nativeSystemDir + L"\\cmd.exe",
                                                            heldPath.empty() ? toolPath : heldPath, arguments);
    ConsoleProcess* process = ToolExists(toolPath) ? OsStartConsoleProcess(commandLine, workingFolder) : nullptr;
    if (process == nullptr) {
        OsReleaseFile(held);
        // A failed start must never pass for the previous run's success.
        runReport.exitCode = kToolDidNotStart;
        ShowStatus(L"==  Could not start " + FileNamePart(toolPath));
        return runReport.exitCode;
    }
    const bool diskCheck = IsDiskCheckRun(toolPath);
    std::string errors;
    for (;;) {
        bool alive = OsProcessAlive(process);
        uint32_t waiting = OsPeekOutput(process);
        const std::string drainedBytes = OsDrainErrors(process);
        const size_t drained = drainedBytes.size();
        KeepErrorTail(&errors, drainedBytes);
        if (!alive && waiting == 0 && drained == 0) break;
        if (waiting > 0) {
            std::string bytes = OsReadOutput(process, waiting < kReadBufferSize ? waiting : kReadBufferSize);
            if (!bytes.empty()) {
                std::wstring chunk = ChunkFromBytes(bytes);
                ParseToolOutput(chunk, toolPath, arguments);
                if (diskCheck && Contains(chunk, L"[Y(") && Contains(chunk, L"/N(")) {
                    OsWriteInput(process, "N\r\n");
                    OsSleep(500);
                }
            }
        } else if (drained == 0 && alive) {
            OsWaitForProcess(process, kIdleWaitMilliseconds);
        }
    }
    runReport.exitCode = OsFinishConsoleProcess(process);
    runReport.errorLine = LastLine(ChunkFromBytes(errors));
    OsReleaseFile(held);
    FinishRun(toolPath);
    return runReport.exitCode;
}

std::wstring DecodeConsoleText(const std::wstring& text) {
    if (OsIsWindowsXpFamily()) return text;
    std::wstring result = OsReadAnsiAsOem(text);
    for (wchar_t& c : result) {
        if (c == 0x266A) c = L'\r';
        else if (c == 0x25D9) c = L'\n';
        else if (c == 0x25CB) c = L'\t';
    }
    return result;
}

void FinishRun(const std::wstring& toolPath) {
    RunReport& runReport = CurrentRunReport();
    std::wstring message;
    if (CopyInterrupted()) {
        message = L"Operation is interrupted!";
    } else if (IsDiskCheckRun(toolPath)) {
        message = DiskCheckVerdict(runReport.exitCode);
    } else if (runReport.exitCode != 0) {
        message = runReport.errorNote;
    } else {
        message = runReport.resultNote + runReport.countsNote + runReport.warningsNote;
    }
    ShowStatus(message);
    runReport.warningsNote.clear();
    runReport.errorNote.clear();
    runReport.resultNote.clear();
    runReport.countsNote.clear();
    runReport.listingLine.clear();
    runReport.largestFileBytes = -1;
    runReport.largestFileName.clear();
    runReport.windowsImageBytes = 0;
    runReport.windowsImageName.clear();
}
