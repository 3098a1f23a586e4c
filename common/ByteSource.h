// The bytes of one file, read at any offset: a file on disk, or a file read
// in place inside an image through its extents. The splitter and the image
// reader meet here, and neither knows where the bytes really come from.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

struct ByteSource {
    uint64_t size = 0;
    // Reads exactly count bytes at offset into buffer; false on a failed or
    // short read (an offset + count beyond size is a short read).
    std::function<bool(uint64_t offset, void* buffer, size_t count)> readAt;
};
