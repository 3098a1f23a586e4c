// The ISO image reader (iso/ImageFiles.cpp) over images given as patches:
// two bytes give the image's length in sectors (at most kImageSectors), then
// patches follow over a zeroed image, each a 32-bit offset, a 16-bit length
// and the bytes, so that a seed holds a whole small image (UDF anchor at
// sector 256 included) in a few KiB. Each path of a fixed list is looked up;
// what is found must lie inside the image, add up to its size and read whole.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "iso/ImageFiles.h"

static const size_t kImageSectors = 640;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    static std::vector<uint8_t> bytes(kImageSectors * 2048);
    std::memset(bytes.data(), 0, bytes.size());
    const size_t sectors = std::min<size_t>(data[0] | data[1] << 8, kImageSectors);
    for (size_t at = 2; size - at >= 6;) {
        const uint32_t offset = data[at] | data[at + 1] << 8 | data[at + 2] << 16 | uint32_t(data[at + 3]) << 24;
        size_t length = data[at + 4] | data[at + 5] << 8;
        at += 6;
        if (length > size - at) length = size - at;
        if (offset < bytes.size()) std::memcpy(&bytes[offset], data + at, std::min(length, bytes.size() - offset));
        at += length;
    }
    ByteSource image;
    image.size = sectors * 2048;
    image.readAt = [&image](uint64_t offset, void* buffer, size_t count) {
        if (offset > image.size || count > image.size - offset) return false;
        std::memcpy(buffer, &bytes[size_t(offset)], count);
        return true;
    };
    static const char* const kPaths[] = {"sources/install.wim", "SOURCES\\DEEP\\ER\\MIXEDCASE.TXT", "readme.txt",
                                         "sources/empty.dat", "sources/deep"};
    static std::vector<uint8_t> buffer(kImageSectors * 2048);
    for (const char* path : kPaths) {
        std::vector<Extent> extents;
        uint64_t fileSize = 0;
        if (!FindImageFile(image, path, &extents, &fileSize)) continue;
        uint64_t total = 0;
        for (const Extent& extent : extents) {
            if (extent.offset > image.size || extent.length > image.size - extent.offset) __builtin_trap();
            total += extent.length;
        }
        if (total != fileSize || fileSize > image.size) __builtin_trap();
        const ByteSource file = ImageFileSource(image, extents, fileSize);
        if (!file.readAt(0, buffer.data(), size_t(fileSize))) __builtin_trap();
        uint8_t beyond;
        if (file.readAt(fileSize, &beyond, 1)) __builtin_trap();
    }
    return 0;
}
