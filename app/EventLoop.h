// The user-interface thread's life after start-up: polling events, the two
// mouse gestures, Escape, dispatch, and the close decision.
#pragma once
#include <string>

#include "platform/Os.h"

void RunEventLoop();       // returns once a close request was accepted
bool RunEventLoopPass();   // one pass; false when the loop should end
int DispatchEvent(const Event& event);
void OnStartClicked();
void OnCheckDiskClicked();
void Interrupt();
bool IsCursorOverControl(Control control);
void FlushEvents();
// Serves the window until the copy operation's thread has ended.
void WaitForWorkerEnd();
std::wstring ShowMessageBox(int x, int y, const std::wstring& title, const std::wstring& text);

// The event loop's idle pause.
constexpr int kIdleSleepMilliseconds = 5;
