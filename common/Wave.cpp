#include "common/Wave.h"

#include <cstring>

namespace {

uint32_t Little32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (uint32_t(p[3]) << 24); }

}  // namespace

bool ParseWave(const void* data, size_t size, WaveData* wave) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (bytes == nullptr || size < 12 || std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, "WAVE", 4) != 0)
        return false;
    *wave = WaveData();
    for (size_t at = 12; at + 8 <= size;) {
        const uint32_t chunkSize = Little32(bytes + at + 4);
        if (chunkSize > size - at - 8) return false;  // a chunk that runs past the end
        if (std::memcmp(bytes + at, "fmt ", 4) == 0) {
            wave->format = bytes + at + 8;
            wave->formatSize = chunkSize;
        } else if (std::memcmp(bytes + at, "data", 4) == 0) {
            wave->samples = bytes + at + 8;
            wave->samplesSize = chunkSize;
        }
        at += 8 + chunkSize + (chunkSize & 1);
    }
    return wave->format != nullptr && wave->samples != nullptr && wave->formatSize >= 16;
}
