#include <gtest/gtest.h>

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
