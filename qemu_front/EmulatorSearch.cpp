#include "EmulatorSearch.h"

const wchar_t* const kEmulatorFileName = L"qemu-system-x86_64.exe";

namespace {

bool EndsWithSeparator(const std::wstring& s) {
    return !s.empty() && (s.back() == L'\\' || s.back() == L'/');
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
    return EndsWithSeparator(folder) ? folder + name : folder + L'\\' + name;
}

// Windows file names compare without regard to case; ASCII folding covers
// the folders this search meets, and a missed duplicate only costs one test.
std::wstring ComparableFolder(std::wstring folder) {
    while (EndsWithSeparator(folder)) folder.pop_back();
    for (wchar_t& c : folder) {
        if (c == L'/') c = L'\\';
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return folder;
}

// "C:\..." only: a relative folder would be looked for from the working
// folder, and an unexpanded "%VAR%" would name one of the user's choosing.
bool IsFullDrivePath(const std::wstring& folder) {
    return folder.size() >= 3 && ((folder[0] >= L'A' && folder[0] <= L'Z') || (folder[0] >= L'a' && folder[0] <= L'z')) &&
           folder[1] == L':' && (folder[2] == L'\\' || folder[2] == L'/');
}

void AddCandidate(const std::wstring& folder, std::vector<std::wstring>& seenFolders,
                  std::vector<std::wstring>& candidates) {
    if (!IsFullDrivePath(folder)) return;
    std::wstring key = ComparableFolder(folder);
    if (key.empty()) return;
    for (const std::wstring& seen : seenFolders) {
        if (seen == key) return;
    }
    seenFolders.push_back(key);
    candidates.push_back(JoinPath(folder, kEmulatorFileName));
}

}  // namespace

std::vector<std::wstring> EmulatorCandidates(const EmulatorSearchPlaces& places) {
    std::vector<std::wstring> seen;
    std::vector<std::wstring> candidates;
    for (const std::wstring& dir : places.installDirs) AddCandidate(dir, seen, candidates);
    for (const std::wstring& folder : places.programFolders) {
        if (!folder.empty()) AddCandidate(JoinPath(folder, L"qemu"), seen, candidates);
    }
    return candidates;
}

std::wstring FindEmulator(const EmulatorSearchPlaces& places,
                          const std::function<bool(const std::wstring&)>& fileExists) {
    for (const std::wstring& candidate : EmulatorCandidates(places)) {
        if (fileExists(candidate)) return candidate;
    }
    return std::wstring();
}

std::wstring EmulatorInstallFolder(const EmulatorSearchPlaces& places) {
    for (const std::wstring& folder : places.programFolders) {
        if (IsFullDrivePath(folder)) return JoinPath(folder, L"qemu");
    }
    return L"C:\\Program Files\\qemu";
}
