// Runs a console tool hidden under the command interpreter, hands its output
// to the parsers as it arrives and shows a one-line verdict at the end.
#pragma once
#include <cstdint>
#include <string>

#include "tools/RunReport.h"

// Returned when the tool could not be started at all.
constexpr int32_t kToolDidNotStart = -1;
// Returned, without a run, for a tool of the copy operation asked for after Escape.
constexpr int32_t kToolNotRunAfterInterrupt = -2;
// Returned, without a run, for a tool of the payload that is not the one unpacked.
constexpr int32_t kToolRefused = -3;

// The interpreter's command line for a tool: the tool path quoted when the
// interpreter would read any of its characters as syntax.
std::wstring InterpreterCommandLine(const std::wstring& interpreter, const std::wstring& toolPath,
                                    const std::wstring& arguments);

// The first "%NAME%" in text, which the interpreter replaces by a variable's
// value even inside quotes; empty when there is none.
std::wstring InterpreterVariableIn(const std::wstring& text);

int32_t RunConsoleTool(const std::wstring& toolPath, const std::wstring& arguments,
                       const std::wstring& workingFolder);

std::wstring DecodeConsoleText(const std::wstring& text);

void FinishRun(const std::wstring& toolPath);

// The largest single read from the tool's output.
constexpr uint32_t kReadBufferSize = 40000;
