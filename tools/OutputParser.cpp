#include "tools/OutputParser.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "app/AppState.h"
#include "app/Reporting.h"
#include "common/Str.h"
#include "platform/Os.h"
#include "tools/DiskCheckOutput.h"
#include "tools/Match.h"
#include "tools/RunReport.h"

namespace {

// Halves go to the even neighbour, as the progress figures are defined.
int64_t RoundHalfEven(double value) { return static_cast<int64_t>(std::nearbyint(value)); }

void ArchiverProgress(const std::wstring& chunk, const std::wstring& arguments) {
    const std::wstring percent = ExtractMatch(chunk, L"[0-9]{1,3}%", 1);
    if (percent.empty()) return;
    const int p = static_cast<int>(ReadDecimal(RemoveAll(percent, L'%')));

    size_t output = arguments.find(L" -o");
    const std::wstring drive = output == std::wstring::npos ? L"" : arguments.substr(output + 3, 2);

    // A copy into a folder (the Windows image's into the temporary folder)
    // keeps the status line that says what it is for. The output folder runs
    // to the next blank; "-oE:\" is a drive's root.
    const size_t targetEnd = output == std::wstring::npos ? output : arguments.find(L' ', output + 3);
    const bool intoFolder = output != std::wstring::npos && std::min(targetEnd, arguments.size()) > output + 6;

    // The file name follows " - " on a progress line. A read can also carry
    // header lines with dates (2026-12-08) and further progress lines after a
    // carriage return; neither belongs in the name.
    size_t dash = chunk.find(L" - ");
    if (dash != std::wstring::npos && !intoFolder) {
        std::wstring path = chunk.substr(dash + 3);
        path = path.substr(0, path.find_first_of(L"\r\n"));
        path = drive + L"\\" + TrimBlanks(path);
        std::wstring folder = FolderPart(path);
        std::wstring name = FileNamePart(path);
        if (!folder.empty() && !Contains(folder, L"Path =") && !name.empty()) ShowStatus(folder + name);
    }

    ShowCopyProgress(p, appState.imageSizeKiB);
}

}  // namespace

void ShowCopyProgress(int p, int64_t sizeKiB) {
    if (p <= 0 || p > 100 || !OsMainWindowExists() || p == OsGetProgress()) return;
    OsSetProgress(p);
    SetTaskbarProgressValue(uint64_t(p), 100);
    const int64_t elapsed = OsLocalTimeSeconds() - appState.extractStartTime;
    const int64_t total = RoundHalfEven(100.0 / p * double(elapsed));
    if (p > 10 && elapsed > 25) {
        const int64_t copied = RoundHalfEven(double(sizeKiB) / 100.0 * p);
        OsSetText(Control::ProgressText, L"Copied: " + GroupThousands(sizeKiB) + L"/" + GroupThousands(copied) +
                                             L" Kb, Time left: " + ClockText(total - elapsed));
    }
}

namespace {

// A line longer than this is no listing line; it is dropped, so that a tool
// that writes without line ends cannot make the runner hoard its output.
constexpr size_t kLongestListingLine = 32768;

// Follows the file lines across reads and keeps the largest file.
void TrackLargestFile(const std::wstring& chunk, RunReport& report) {
    std::wstring text = report.listingLine + chunk;
    size_t start = 0;
    for (size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1) {
        int64_t bytes = 0;
        std::wstring name;
        if (!ReadListingFileLine(text.substr(start, end - start), &bytes, &name)) continue;
        if (IsSplittableWindowsImage(name)) {
            report.windowsImageBytes = bytes;
            report.windowsImageName = name;
        } else if (bytes > report.largestFileBytes) {
            report.largestFileBytes = bytes;
            report.largestFileName = name;
        }
    }
    report.listingLine = text.substr(start);
    if (report.listingLine.size() > kLongestListingLine) report.listingLine.clear();
}

void ListingFigures(const std::wstring& chunk, const std::wstring& arguments, RunReport& report) {
    if (StartsWith(arguments, L"l ")) TrackLargestFile(chunk, report);
    std::wstring sizeText;
    const std::wstring summary =
        ExtractMatch(chunk, L"[0-9]{1,20}[ ]{1,4}[0-9]{1,20} files, [0-9]{1,20} folders", 1);
    if (!summary.empty()) {
        // The listing keeps the size as a 32-bit count of KiB.
        const int32_t kib = static_cast<int32_t>(ReadDecimal(summary) / 1024);
        appState.imageSizeKiB = kib;
        sizeText = GroupThousands(kib);
        // The summary ends the file lines: what they held belongs to this image.
        appState.largestFileBytes = report.largestFileBytes < 0 ? 0 : report.largestFileBytes;
        appState.largestFileName.Set(report.largestFileName);
        appState.windowsImageBytes = report.windowsImageBytes;
        appState.windowsImageName.Set(report.windowsImageName);
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
    if (Contains(arguments, L"x -y -bsp1")) {
        // What the archiver says while it opens the image ("  0% Open" on
        // its progress line) is no verdict. A small image's whole output can
        // arrive in one read on a busy machine, so only the text after the
        // chunk's last "Open" is read for the notes, not nothing at all.
        const size_t open = chunk.rfind(L"Open");
        const std::wstring after = open == std::wstring::npos ? chunk : chunk.substr(open + 4);
        if (Contains(after, L"Warnings:"))
            report.warningsNote = L"[" + ExtractMatch(after, L"Warnings: [0-9]{0,5}", 1) + L"] ";
        if (Contains(after, L"Everything is Ok")) report.resultNote = L"Everything is Ok ";
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

bool IsSplittableWindowsImage(const std::wstring& nameInImage) {
    return ToUpper(ReplaceAll(nameInImage, L"/", L"\\")) == L"SOURCES\\INSTALL.WIM";
}


bool ReadListingFileLine(const std::wstring& line, int64_t* bytes, std::wstring* name) {
    // Columns: date and time (19, blank when unknown), attributes (5), size
    // (12, right-aligned), packed size (12, may be blank), then the name
    // after two blanks.
    constexpr size_t kAttributes = 20, kSize = 26, kSizeWidth = 12, kName = 53;
    if (line.size() <= kSize || line[kAttributes - 1] != L' ' || line[kSize - 1] != L' ') return false;
    for (size_t i = 0; i < kAttributes - 1; ++i) {
        const wchar_t c = line[i];
        const bool digitPlace = !(i == 4 || i == 7 || i == 10 || i == 13 || i == 16);
        if (c != L' ' && !(digitPlace ? (c >= L'0' && c <= L'9') : (c == L'-' || c == L':' || c == L' ')))
            return false;
    }
    const std::wstring attributes = line.substr(kAttributes, 5);
    if (attributes.find(L' ') != std::wstring::npos || attributes[0] == L'D') return false;
    size_t at = kSize;
    while (at < line.size() && line[at] == L' ') ++at;
    const size_t digits = at;
    int64_t value = 0;
    for (; at < line.size() && line[at] >= L'0' && line[at] <= L'9'; ++at) {
        if (value > (INT64_MAX - 9) / 10) return false;
        value = value * 10 + (line[at] - L'0');
    }
    if (at == digits) return false;
    std::wstring rest;
    if (at == kSize + kSizeWidth && line.size() > kName && line.compare(kName - 2, 2, L"  ") == 0) {
        rest = line.substr(kName);
    } else {
        // A size wider than its column pushes the rest to the right.
        while (at < line.size() && line[at] == L' ') ++at;
        while (at < line.size() && line[at] >= L'0' && line[at] <= L'9') ++at;
        rest = TrimBlanks(line.substr(at));
    }
    if (!rest.empty() && rest.back() == L'\r') rest.pop_back();
    if (rest.empty()) return false;
    *bytes = value;
    *name = rest;
    return true;
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
