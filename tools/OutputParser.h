// Turns the archiver's (and the disk checker's) output into progress figures,
// sizes, the image label and the notes of the run's verdict.
#pragma once
#include <cstdint>
#include <string>

void ParseToolOutput(const std::wstring& chunk, const std::wstring& toolPath, const std::wstring& arguments);
void UpdateProgress(const std::wstring& toolPath, const std::wstring& chunk, const std::wstring& arguments);

// Decimal text with "." before the last three digits (above 999) and before
// the next three (above 999999); never more than two separators.
std::wstring GroupThousands(int64_t value);

// One line of the archiver's listing, such as
// "2026-12-08 22:25:44 .....   5368709120   5368709120  sources\install.wim":
// true for a file (not a folder), with its size and its path in the image.
bool ReadListingFileLine(const std::wstring& line, int64_t* bytes, std::wstring* name);

// Seconds as hh:mm:ss counted from midnight, so 24 hours and more wrap.
std::wstring ClockText(int64_t seconds);

// The one file of 4 GiB or more that the copy can still put onto FAT32: the
// Windows image sources\install.wim (any case), written there split into
// .swm parts that Windows Setup reads.
bool IsSplittableWindowsImage(const std::wstring& nameInImage);

// The bar, the taskbar and the "Copied" text for p percent of sizeKiB
// written, counted from appState.extractStartTime: the extraction's and the
// Windows image split's progress look the same.
void ShowCopyProgress(int p, int64_t sizeKiB);
