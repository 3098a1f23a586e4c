// The exFAT reader of the UEFI file-system driver: see FuzzVolume.h.
#include "tests/fuzz/FuzzVolume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) { return FuzzVolume(data, size, "EXFAT   "); }
