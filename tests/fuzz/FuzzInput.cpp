#include "tests/fuzz/FuzzInput.h"

std::vector<std::string> CutIntoReads(const uint8_t* data, size_t size, uint8_t seed) {
    std::vector<std::string> reads;
    uint32_t state = seed * 2654435761u + 1;
    for (size_t at = 0; at < size;) {
        state = state * 1103515245u + 12345u;
        size_t length = 1 + (state >> 16) % 255;
        if (length > size - at) length = size - at;
        reads.emplace_back(reinterpret_cast<const char*>(data) + at, length);
        at += length;
    }
    return reads;
}
