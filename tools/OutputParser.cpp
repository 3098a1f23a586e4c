#include "tools/OutputParser.h"

#include <cmath>

#include "app/AppState.h"
#include "app/Reporting.h"
#include "common/Str.h"
#include "platform/Os.h"
#include "tools/ConsoleRunner.h"
#include "tools/DiskCheck.h"
#include "tools/Match.h"

namespace {

bool IsDiskCheckRun(const std::wstring& toolPath) { return Contains(toolPath, L"\\System32\\chkdsk.exe"); }

// Halves go to the even neighbour, as the progress figures are defined.
int64_t RoundHalfEven(double value) { return static_cast<int64_t>(std::nearbyint(value)); }

void ArchiverProgress(const std::wstring& chunk, const std::wstring& arguments) {
    const std::wstring percent = ExtractMatch(chunk, L"[0-9]{1,3}%", 1);
    if (percent.empty()) return;
    const int p = static_cast<int>(ReadDecimal(RemoveAll(percent, L'%')));

    size_t output = arguments.find(L" -o");
    const std::wstring drive = output == std::wstring::npos ? L"" : arguments.substr(output + 3, 2);

    // The file name follows " - " on a progress line. A read can also carry
    // header lines with dates (2026-12-08) and further progress lines after a
    // carriage return; neither belongs in the name.
    size_t dash = chunk.find(L" - ");
    if (dash != std::wstring::npos) {
        std::wstring path = chunk.substr(dash + 3);
        path = path.substr(0, path.find_first_of(L"\r\n"));
        path = drive + L"\\" + TrimBlanks(path);
        std::wstring folder = FolderPart(path);
        std::wstring name = FileNamePart(path);
        if (!folder.empty() && !Contains(folder, L"Path =") && !name.empty()) ShowStatus(folder + name);
    }

    if (p <= 0 || p > 100 || !OsMainWindowExists() || p == OsGetProgress()) return;
    OsSetProgress(p);
    SetTaskbarProgressValue(uint64_t(p), 100);
    const int64_t elapsed = OsLocalTimeSeconds() - appState.extractStartTime;
    const int64_t total = RoundHalfEven(100.0 / p * double(elapsed));
    if (p > 10 && elapsed > 25) {
        const int64_t size = appState.imageSizeKiB;
        const int64_t copied = RoundHalfEven(double(size) / 100.0 * p);
        OsSetText(Control::ProgressText, L"Copied: " + GroupThousands(size) + L"/" + GroupThousands(copied) +
                                             L" Kb, Time left: " + ClockText(total - elapsed));
    }
}

void ListingFigures(const std::wstring& chunk, const std::wstring& arguments, RunReport& report) {
    std::wstring sizeText;
    const std::wstring summary =
        ExtractMatch(chunk, L"[0-9]{1,20}[ ]{1,4}[0-9]{1,20} files, [0-9]{1,20} folders", 1);
    if (!summary.empty()) {
        // The listing keeps the size as a 32-bit count of KiB.
        const int32_t kib = static_cast<int32_t>(ReadDecimal(summary) / 1024);
        appState.imageSizeKiB = kib;
        sizeText = GroupThousands(kib);
    }
    if (!sizeText.empty()) report.resultNote = L"Size: " + sizeText + L"Kb,  ";
    const std::wstring counts = ExtractMatch(chunk, L"[0-9]{1,20} files, [0-9]{1,20} folders", 1);
    if (!counts.empty()) report.countsNote = counts + L" ";

    size_t comment = chunk.find(L"Comment =");
    if (comment == std::wstring::npos || !StartsWith(arguments, L"l ")) return;
    std::wstring label = chunk.substr(comment);
    size_t lineEnd = label.find(L"\r\n");
    if (lineEnd != std::wstring::npos) label.resize(lineEnd);
    label = ReplaceAll(label, L"Comment = ", L"");
    appState.imageComment.Set(label);
    OsSetText(Control::LabelField, label);
    if (Contains(label, L"_DV5")) OsSetCheck(Control::FormatNtfsOption, 1);
    if (PatternMatches(label, L"[0-9]{2}.[0-9]{1}.[0-9]{4}.[0-9]{4}")) OsSetCheck(Control::FormatNtfsOption, 1);
}

}  // namespace

void ParseToolOutput(const std::wstring& chunk, const std::wstring& toolPath, const std::wstring& arguments) {
    UpdateProgress(toolPath, chunk, arguments);
    RunReport& report = CurrentRunReport();
    if (Contains(ToUpper(chunk), L"WITH ERRORS:")) report.errorNote = L"==  Run-time error! ";
    if (!Contains(chunk, L"Open") && Contains(arguments, L"x -y -bsp1")) {
        if (Contains(chunk, L"Warnings:"))
            report.warningsNote = L"[" + ExtractMatch(chunk, L"Warnings: [0-9]{0,5}", 1) + L"] ";
        if (Contains(chunk, L"Everything is Ok")) report.resultNote = L"Everything is Ok ";
        return;
    }
    if (IsDiskCheckRun(toolPath) || !Contains(arguments, L"l ")) return;
    ListingFigures(chunk, arguments, report);
}

void UpdateProgress(const std::wstring& toolPath, const std::wstring& chunk, const std::wstring& arguments) {
    if (IsDiskCheckRun(toolPath)) {
        DiskCheckProgress(chunk, arguments);
    } else if (Contains(arguments, L"x -y -bsp1 ")) {
        ArchiverProgress(chunk, arguments);
    }
}

std::wstring GroupThousands(int64_t value) {
    std::wstring text = std::to_wstring(value);
    if (value > 999) text.insert(text.size() - 3, L".");
    if (value > 999999) text.insert(text.size() - 7, L".");
    return text;
}

std::wstring ClockText(int64_t seconds) {
    int64_t inDay = seconds % 86400;
    if (inDay < 0) inDay += 86400;
    wchar_t text[16];
    swprintf(text, 16, L"%02d:%02d:%02d", int(inDay / 3600), int(inDay / 60 % 60), int(inDay % 60));
    return text;
}
