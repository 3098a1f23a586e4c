// Small text helpers shared by every subsystem. All texts are UTF-16 on
// Windows (wchar_t is 16 bits there) and UTF-32 in the native test build.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

bool Contains(const std::wstring& text, const std::wstring& part);
bool StartsWith(const std::wstring& text, const std::wstring& prefix);
std::wstring ToUpper(std::wstring text);            // ASCII and Latin letters
std::wstring TrimBlanks(const std::wstring& text);  // blanks only, both ends
std::wstring ReplaceAll(std::wstring text, const std::wstring& from, const std::wstring& to);
std::wstring RemoveAll(const std::wstring& text, wchar_t ch);

// Fields separated by one character; "a\n" gives {"a", ""}.
std::vector<std::wstring> SplitFields(const std::wstring& text, wchar_t separator);
int CountChar(const std::wstring& text, wchar_t ch);

// Text after the last "\" or "/" (the whole text when there is none).
std::wstring FileNamePart(const std::wstring& path);
// Text up to and including the last "\" or "/"; empty when there is none.
std::wstring FolderPart(const std::wstring& path);

// Leading blanks skipped, reading stops at the first non-digit; no digits gives 0.
int64_t ReadDecimal(const std::wstring& text);

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& bytes);
