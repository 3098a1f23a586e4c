// A Windows image of 4 GiB or more onto FAT32: everything else is extracted
// as usual, and sources\install.wim goes onto the drive split into
// install.swm, install2.swm, ... (each below 4 GiB), which Windows Setup reads
// as one image. A FAT32 drive keeps Secure Boot working, since the firmware
// starts the image's own signed loaders from it.
//
// The split is the program's own: each resource is copied byte for byte,
// read straight out of the ISO image through the file's extents where the
// image's layout is known, else from a copy the archiver makes in the
// temporary folder.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "iso/ImageFiles.h"

struct WindowsImageSplit {
    bool needed = false;   // the Windows image goes onto the drive as parts
    bool inPlace = false;  // read from the ISO image itself, not from a copy
    std::vector<Extent> extents;
    uint64_t bytes = 0;
};

// Where the Windows image waits for the split when it cannot be read in
// place: inside the payload folder, so that the program's exit removes it.
std::wstring SplitWorkFolder();

// At Start with FAT32 selected, before anything is written: reads the
// Windows image's header and tables from the ISO image and plans the parts,
// so that an image that cannot be split is refused while the drive is
// intact. False when the copy must not go on (the refusal is on the status
// line); otherwise *split says whether and how the image is split.
bool PlanFat32Copy(const std::wstring& imagePath, WindowsImageSplit* split);

// The archiver's switch that leaves the Windows image out of the extraction.
std::wstring WindowsImageExclusion();

enum class SplitOutcome { Written, Interrupted, Failed };

// Writes the parts into the drive's sources folder, with the split's bytes on
// the progress bar, its texts and the taskbar; Escape stops it within a
// buffer. After anything but Written no part is left on the drive and the
// status line says what failed; the temporary copy is removed whatever
// happened.
SplitOutcome SplitWindowsImage(const std::wstring& imagePath, const WindowsImageSplit& split,
                               const std::wstring& drive);
