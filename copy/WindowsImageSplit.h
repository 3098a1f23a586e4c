// A Windows image of 4 GiB or more onto FAT32: everything else is extracted
// as usual, and sources\install.wim goes onto the drive split into
// install.swm, install2.swm, ... (each below 4 GiB), which Windows Setup reads
// as one image. A FAT32 drive keeps Secure Boot working, since the firmware
// starts the image's own signed loaders from it.
#pragma once
#include <string>

// The splitter in the unpacked payload.
std::wstring SplitterPath();
// Where the Windows image waits for the split: inside the payload folder, so
// that the program's exit removes it as well.
std::wstring SplitWorkFolder();

// At Start with FAT32 selected, before anything is written. False when the
// copy must not go on (the refusal is on the status line); otherwise *split
// tells whether the Windows image is to be split.
bool PlanFat32Copy(bool* split);
// After the payload is unpacked, still before anything is written: false,
// with FAT32's refusal shown, when the payload brings no splitter.
bool SplitterPresent();

// The archiver's switch that leaves the Windows image out of the extraction.
std::wstring WindowsImageExclusion();

// Extracts the Windows image into the work folder and splits it into the
// drive's sources folder. False when a run failed or left no image behind.
// The work folder is removed whatever happened, Escape included.
bool SplitWindowsImage(const std::wstring& imagePath, const std::wstring& drive);
