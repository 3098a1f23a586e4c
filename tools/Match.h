// Regular-expression picks out of tool output.
#pragma once
#include <string>

// The n-th (n >= 1) non-overlapping match of pattern in text; the last match
// when there are fewer than n, the empty text when there is none or when the
// pattern does not compile. Compiles into the calling thread's pattern slot.
std::wstring ExtractMatch(const std::wstring& text, const std::wstring& pattern, int n);

// Whether pattern matches anywhere in text (same slot, same rules).
bool PatternMatches(const std::wstring& text, const std::wstring& pattern);
