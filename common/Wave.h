// Finds the format and the samples of a RIFF WAVE file.
#pragma once
#include <cstddef>
#include <cstdint>

struct WaveData {
    const uint8_t* format = nullptr;  // the "fmt " chunk (a WAVEFORMAT record)
    size_t formatSize = 0;
    const uint8_t* samples = nullptr; // the "data" chunk
    size_t samplesSize = 0;
};

// False for data that is not a complete WAVE file.
bool ParseWave(const void* data, size_t size, WaveData* wave);
