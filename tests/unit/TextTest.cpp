#include <gtest/gtest.h>

#include "common/Sha256.h"
#include "common/Str.h"
#include "tools/OutputParser.h"

TEST(GroupThousands, InsertsAtMostTwoSeparators) {
    const struct { int64_t value; const wchar_t* text; } cases[] = {
        {0, L"0"}, {999, L"999"}, {1000, L"1.000"}, {123456, L"123.456"}, {999999, L"999.999"},
        {1000000, L"1.000.000"}, {7634944, L"7.634.944"}, {1234567890, L"1234.567.890"},
        {1953513472, L"1953.513.472"},
    };
    for (const auto& c : cases) EXPECT_EQ(GroupThousands(c.value), c.text) << c.value;
}

TEST(Utf8, RoundTripsNationalCharactersAndAstralPlanes) {
    const std::wstring text = L"Größe \u00e9t\u00e9 \u4e2d \U0001F600";
    EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
    EXPECT_EQ(ToUtf8(L"\u00e9"), "\xC3\xA9");
    EXPECT_EQ(FromUtf8("\xC3"), L"\uFFFD");  // a cut-off sequence never reads past the end
}

#include <png.h>

#include "app/Logo.h"
#include "common/Wave.h"

TEST(Wave, FindsFormatAndSamplesAndRejectsTruncatedFiles) {
    std::string wave = std::string("RIFF") + std::string(4, '\0') + "WAVE" + "fmt " + std::string("\x10\0\0\0", 4) +
                       std::string(16, '\x01') + "LIST" + std::string("\x03\0\0\0", 4) + "abc" + std::string(1, '\0') +
                       "data" + std::string("\x04\0\0\0", 4) + "pcm!";
    WaveData parsed;
    ASSERT_TRUE(ParseWave(wave.data(), wave.size(), &parsed));
    EXPECT_EQ(parsed.formatSize, 16u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(parsed.samples), parsed.samplesSize), "pcm!");
    EXPECT_FALSE(ParseWave(wave.data(), wave.size() - 1, &parsed));
    EXPECT_FALSE(ParseWave("RIFX", 4, &parsed));
    EXPECT_FALSE(ParseWave(nullptr, 0, &parsed));
}

TEST(Logo, DecodesPngIntoRgbaAndBlendsOntoTheFace) {
    // A 2 x 1 image: one opaque red pixel and one fully transparent pixel.
    const uint8_t pixels[] = {255, 0, 0, 255, 0, 255, 0, 0};
    png_image written{};
    written.version = PNG_IMAGE_VERSION;
    written.width = 2;
    written.height = 1;
    written.format = PNG_FORMAT_RGBA;
    png_alloc_size_t size = 0;
    ASSERT_TRUE(png_image_write_to_memory(&written, nullptr, &size, 0, pixels, 0, nullptr));
    std::vector<uint8_t> png(size);
    ASSERT_TRUE(png_image_write_to_memory(&written, png.data(), &size, 0, pixels, 0, nullptr));

    RgbaImage image;
    ASSERT_TRUE(DecodePng(png.data(), png.size(), &image));
    ASSERT_EQ(image.width, 2);
    ASSERT_EQ(image.height, 1);
    const std::vector<uint8_t> blended = BlendOnto(image, 10, 20, 30);
    EXPECT_EQ(blended[0], 0);    // opaque red stays red, written B, G, R
    EXPECT_EQ(blended[2], 255);
    EXPECT_EQ(blended[4], 30);   // transparent: the background
    EXPECT_EQ(blended[5], 20);
    EXPECT_EQ(blended[6], 10);
    EXPECT_FALSE(DecodePng("not a png", 9, &image));
}

TEST(Sha256, KnownDigestsAcrossTheBlockBoundaries) {
    const struct { std::string bytes; const char* digest; } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        // 56 bytes: the length no longer fits the last block.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) EXPECT_EQ(Sha256Hex(c.bytes), c.digest) << c.bytes.size();
}
