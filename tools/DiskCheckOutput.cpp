#include "tools/DiskCheckOutput.h"

#include "app/Reporting.h"
#include "common/Str.h"
#include "platform/Os.h"
#include "tools/Match.h"

bool IsDiskCheckRun(const std::wstring& toolPath) { return Contains(toolPath, L"\\System32\\chkdsk.exe"); }

void DiskCheckProgress(const std::wstring& chunk, const std::wstring& arguments) {
    const std::wstring drive = arguments.substr(0, 2);
    const std::wstring eta = ExtractMatch(chunk, L"[0-9]{1}:[0-9]{2}:[0-9]{2}", 1);
    const std::wstring timeText = eta.empty() ? L"" : L", Time Left: " + eta;
    std::wstring pct = ExtractMatch(chunk, L"[0-9]{1,3}%", 2);
    if (!pct.empty() && !eta.empty()) {
        ShowStatus(L"Check disk " + drive + L", " + pct + L" " + timeText);
    } else if (!Contains(chunk, L"%")) {
        // A count followed by the start of a word, in whatever language the checker speaks.
        std::wstring word = ExtractMatch(chunk, L"[0-9]{1,3} [^0-9^ ^:^.]{3,5}", 1);
        word = RemoveAll(RemoveAll(word, L'\r'), L'\n');
        pct = SplitFields(word, L' ')[0];
        if (!pct.empty() && ReadDecimal(TrimBlanks(pct)) <= 100)
            ShowStatus(L"Check disk " + drive + L", " + TrimBlanks(pct) + L"% done ...");
    }
    const std::wstring figure = RemoveAll(pct, L'%');
    if (figure.empty()) return;
    const int value = static_cast<int>(ReadDecimal(TrimBlanks(figure)));
    if (OsGetProgress() < value || value == 0) {
        OsSetProgress(value + 1);
        SetTaskbarProgressValue(uint64_t(value + 1), 100);
    }
}

std::wstring DiskCheckVerdict(int32_t exitCode) {
    switch (exitCode) {
        case 0: return L"Errors not found";
        case 1: return L"All errors corrected";
        case 3: return L"Errors NOT corrected or Drive is busy!";
        default: return L"";
    }
}
