// The boot tool's command line: any arguments, split at NUL bytes. An
// accepted line names a device; a refused one says why on one line.
#include <string>
#include <vector>

#include "bootice/BootTool.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> arguments(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) arguments.emplace_back();
        else arguments.back() += static_cast<char>(data[i]);
    }
    BootCommand command;
    std::string error;
    if (ParseBootCommand(arguments, &command, &error)) {
        if (command.device.empty()) __builtin_trap();
    } else if (error.empty() || error.find('\n') != std::string::npos) {
        __builtin_trap();
    }
    return 0;
}
