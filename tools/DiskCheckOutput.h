// What the disk checker prints: its progress and its verdict. Used by the
// runner and the output parser, and needs neither.
#pragma once
#include <cstdint>
#include <string>

// A disk-checker run is recognised by its tool path.
bool IsDiskCheckRun(const std::wstring& toolPath);
void DiskCheckProgress(const std::wstring& chunk, const std::wstring& arguments);
std::wstring DiskCheckVerdict(int32_t exitCode);  // empty for codes without a verdict
