// The WMI text search: any two association listings (split at the first
// zero byte) searched for the disk of a drive.
#include <cstring>

#include "boottest/DiskLookup.h"
#include "common/Str.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const char* text = reinterpret_cast<const char*>(data) + 1;
    const char* split = static_cast<const char*>(std::memchr(text, 0, size - 1));
    const std::wstring partitions = FromUtf8(std::string(text, split ? size_t(split - text) : size - 1));
    const std::wstring disks =
        split ? FromUtf8(std::string(split + 1, size_t(reinterpret_cast<const char*>(data) + size - split - 1)))
              : std::wstring();
    const std::wstring drive = std::wstring(1, wchar_t(L'A' + data[0] % 26)) + L":";
    std::wstring device;
    if (FindPhysicalDrive(drive, partitions, disks, &device) && device.empty()) __builtin_trap();
    return 0;
}
