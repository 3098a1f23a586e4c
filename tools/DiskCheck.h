// The system disk checker on the selected drive: its command, its progress
// output and its verdict.
#pragma once
#include <cstdint>
#include <string>

void RunDiskCheck();
void DiskCheckProgress(const std::wstring& chunk, const std::wstring& arguments);
std::wstring DiskCheckVerdict(int32_t exitCode);  // empty for codes without a verdict
