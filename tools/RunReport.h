// The record of a console tool's run, which the runner fills with the exit
// code and the parsers with the notes of the verdict.
#pragma once
#include <cstdint>
#include <string>

struct RunReport {
    int32_t exitCode = 0;
    std::wstring warningsNote;
    std::wstring errorNote;
    std::wstring resultNote;
    std::wstring countsNote;
    // The last line the tool wrote to standard error (the boot tool says
    // there why it failed); kept until the next run starts.
    std::wstring errorLine;
    // A listing's file lines, which reads cut anywhere: the unfinished last
    // line, and the largest file seen so far (-1: none yet).
    std::wstring listingLine;
    int64_t largestFileBytes = -1;
    std::wstring largestFileName;
    // The splittable Windows image, kept apart from the largest file.
    int64_t windowsImageBytes = 0;
    std::wstring windowsImageName;
};

// The record of the calling thread's last run. Each thread keeps its own, so
// an image listing on its own thread cannot mix its notes into a run of the
// copy operation.
RunReport& CurrentRunReport();
