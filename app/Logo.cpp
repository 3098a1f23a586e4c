#include "app/Logo.h"

#include <png.h>

#include <cstring>

bool DecodePng(const void* data, size_t size, RgbaImage* image) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&png, data, size)) return false;
    png.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(png));
    if (!png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&png);
        return false;
    }
    image->width = int(png.width);
    image->height = int(png.height);
    image->pixels.swap(pixels);
    return true;
}

std::vector<uint8_t> BlendOnto(const RgbaImage& image, uint8_t red, uint8_t green, uint8_t blue) {
    std::vector<uint8_t> out(size_t(image.width) * image.height * 4);
    for (size_t i = 0; i < out.size(); i += 4) {
        const uint8_t* p = &image.pixels[i];
        const unsigned a = p[3];
        out[i + 0] = uint8_t((p[2] * a + blue * (255 - a) + 127) / 255);
        out[i + 1] = uint8_t((p[1] * a + green * (255 - a) + 127) / 255);
        out[i + 2] = uint8_t((p[0] * a + red * (255 - a) + 127) / 255);
        out[i + 3] = 0;
    }
    return out;
}
