// The logo is stored as PNG data and decoded with libpng at start-up.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

struct RgbaImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // rows top-down, 4 bytes a pixel: R, G, B, A
};

// False for data that is not a PNG image; any PNG is turned into 8-bit RGBA.
bool DecodePng(const void* data, size_t size, RgbaImage* image);

// Blends the image onto a solid background; 4 bytes a pixel as B, G, R, 0
// (the layout of a 32-bit device-independent bitmap), rows top-down.
std::vector<uint8_t> BlendOnto(const RgbaImage& image, uint8_t red, uint8_t green, uint8_t blue);
