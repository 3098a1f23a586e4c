// For the native tests that check their results with the real Linux tools.
#pragma once
#include <sys/wait.h>

#include <cstdio>
#include <string>

// Runs a shell command; returns its exit code (-1 when it did not end
// normally) and its standard output and error merged.
inline int RunShell(const std::string& command, std::string* output) {
    output->clear();
    FILE* pipe = popen(("(" + command + ") 2>&1 </dev/null").c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) output->append(buffer, n);
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
