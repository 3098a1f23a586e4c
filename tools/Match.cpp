#include "tools/Match.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "common/Str.h"

namespace {

// One compiled pattern per thread: each parse step compiles right before it
// matches, and the image inspection may parse on its own thread while the
// copy operation parses on the worker, so the slot must not be shared.
struct PatternSlot {
    pcre2_code* code = nullptr;
    ~PatternSlot() { pcre2_code_free(code); }
};
thread_local PatternSlot patternSlot;

bool CompileIntoSlot(const std::string& pattern) {
    pcre2_code_free(patternSlot.code);
    int error = 0;
    PCRE2_SIZE errorOffset = 0;
    patternSlot.code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(), PCRE2_UTF,
                                     &error, &errorOffset, nullptr);
    return patternSlot.code != nullptr;
}

}  // namespace

std::wstring ExtractMatch(const std::wstring& text, const std::wstring& pattern, int n) {
    if (!CompileIntoSlot(ToUtf8(pattern))) return L"";
    const std::string subject = ToUtf8(text);
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(patternSlot.code, nullptr);
    std::string kept;
    PCRE2_SIZE start = 0;
    for (int found = 0; found < n && start <= subject.size();) {
        int rc = pcre2_match(patternSlot.code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), start,
                             0, data, nullptr);
        if (rc < 0) break;
        PCRE2_SIZE* span = pcre2_get_ovector_pointer(data);
        kept.assign(subject, span[0], span[1] - span[0]);
        ++found;
        if (span[1] > span[0]) {
            start = span[1];
        } else {  // an empty match: step over one whole UTF-8 character
            start = span[1] + 1;
            while (start < subject.size() && (static_cast<unsigned char>(subject[start]) & 0xC0) == 0x80) ++start;
        }
    }
    pcre2_match_data_free(data);
    return FromUtf8(kept);
}

bool PatternMatches(const std::wstring& text, const std::wstring& pattern) {
    if (!CompileIntoSlot(ToUtf8(pattern))) return false;
    const std::string subject = ToUtf8(text);
    pcre2_match_data* data = pcre2_match_data_create_from_pattern(patternSlot.code, nullptr);
    int rc = pcre2_match(patternSlot.code, reinterpret_cast<PCRE2_SPTR>(subject.data()), subject.size(), 0, 0, data,
                         nullptr);
    pcre2_match_data_free(data);
    return rc >= 0;
}
