// Helpers shared by the fuzz targets: turning the fuzzer's bytes into the
// texts and read boundaries the program meets.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Cuts bytes into reads of 1 to 255 bytes; the sizes follow from seed.
std::vector<std::string> CutIntoReads(const uint8_t* data, size_t size, uint8_t seed);
