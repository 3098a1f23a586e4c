// The system disk checker on the selected drive, run through the console
// runner; its output and verdict are read in DiskCheckOutput.
#pragma once

void RunDiskCheck();
