// The emulator front's decisions, kept free of Windows headers so that they
// build and are tested natively: how a command line splits into arguments,
// how the arguments are translated for current QEMU, and how they are quoted back
// for CreateProcessW. Where the emulator is looked for: EmulatorSearch.h.
#pragma once

#include <string>
#include <vector>

#include "EmulatorSearch.h"

// Splits the text that follows the program name on a command line, the way
// the Microsoft C runtime fills argv[1..]: blanks and tabs separate
// arguments outside double quotes; 2n backslashes before a quote give n
// backslashes and the quote opens or closes a quoted part; 2n+1 backslashes
// before a quote give n backslashes and a literal quote; "" inside a quoted
// part is a literal quote; other backslashes are literal.
std::vector<std::wstring> SplitArguments(const std::wstring& text);

// Splits a whole command line as the C runtime does, argv[0] included. The
// program name follows its own simpler rule: quotes only toggle, backslashes
// are always literal.
std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine);

// Makes a command line that Drovelkit wrote for an older QEMU acceptable to
// a current one: "-localtime" becomes "-rtc" "base=localtime"; every other
// argument passes unchanged and in order.
std::vector<std::wstring> TranslateEmulatorArgs(const std::vector<std::wstring>& args);

// Quotes one argument so that SplitArguments gives it back unchanged; an
// argument without blanks, tabs, line breaks or quotes is left bare.
std::wstring QuoteArgument(const std::wstring& arg);

// The command line for CreateProcessW: the program path in double quotes,
// then each argument quoted by QuoteArgument, separated by one blank.
std::wstring QuoteCommandLine(const std::wstring& programPath,
                              const std::vector<std::wstring>& args);

// Everything up to and including the last "\" or "/"; empty when there is none.
std::wstring FolderOfPath(const std::wstring& path);

// Texts of the front's message boxes.
std::wstring MissingEmulatorMessage();
std::wstring StartFailureMessage(const std::wstring& emulatorPath, unsigned long errorCode,
                                 const std::wstring& systemText);
std::wstring EarlyExitMessage(const std::wstring& emulatorPath, unsigned long exitCode,
                              const std::wstring& emulatorOutput);
