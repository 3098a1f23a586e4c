// Stopping leftover tool processes, and the program's end.
#pragma once
#include <cstdint>
#include <string>

uint32_t FindProcessId(const std::wstring& exeName);
bool IsProcessRunning(const std::wstring& exeName);
// Returns true once no process of that name runs; false when it gave up.
bool StopToolProcesses(const std::wstring& exeName, bool showWait, bool pumpEvents);
void DeleteFolderTree(const std::wstring& folder);
[[noreturn]] void RunExitSequence();

// A process that taskkill cannot end is given up on after this many passes
// (about 1.1 s each) instead of freezing the window for ever.
constexpr int kStopPassLimit = 30;
