#include "common/text_numbers.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <stdio.h>
#include <string>

namespace {

std::u16string widen(const char* text)
{
    std::u16string wide;
    for (; *text != 0; ++text) {
        wide.push_back(static_cast<unsigned char>(*text));
    }
    return wide;
}

// Inputs the C runtime's scanf reads the same way at every width.
const char* const common_inputs[] = {
    "0",    "42",  "-42",   "+17",  "  \t\n 99", "123abc",     "abc",         "",    "-",       "+",
    " - 5", "007", "12 34", "9.75", "-0",        "2147483647", "-2147483648", "1e5", "\v\f\r8",
};

TEST(TextToInt, AgreesWithScanfWithinRange)
{
    for (const char* input : common_inputs) {
        int expected = 0;
        sscanf(input, "%d", &expected);
        EXPECT_EQ(TextToInt(widen(input)), expected) << '"' << input << '"';
        long long expected64 = 0;
        sscanf(input, "%lld", &expected64);
        EXPECT_EQ(TextToInt64(widen(input)), expected64) << '"' << input << '"';
    }
}

TEST(TextToInt, DigitsThenLettersAndLettersAlone)
{
    EXPECT_EQ(TextToInt(u"200 OK"), 200);
    EXPECT_EQ(TextToInt(u"64G"), 64);
    EXPECT_EQ(TextToInt(u"G64"), 0);
    EXPECT_EQ(TextToInt(u"１２"), 0); // full-width digits are not digits to scanf
    EXPECT_EQ(TextToInt(static_cast<const char16_t*>(nullptr)), 0);
    EXPECT_EQ(TextToInt64(static_cast<const char16_t*>(nullptr)), 0);
}

TEST(TextToInt, OutOfRangeClampsToTheResultType)
{
    EXPECT_EQ(TextToInt(u"2147483648"), INT32_MAX);
    EXPECT_EQ(TextToInt(u"99999999999"), INT32_MAX);
    EXPECT_EQ(TextToInt(u"-2147483649"), INT32_MIN);
    EXPECT_EQ(TextToInt(u"99999999999999999999999"), INT32_MAX);
    EXPECT_EQ(TextToInt(u"-99999999999999999999999"), INT32_MIN);
}

TEST(TextToInt64, OverflowMatchesScanf)
{
    for (const char* input : {"9223372036854775807", "9223372036854775808", "-9223372036854775808",
                              "-9223372036854775809", "123456789012345678901234567890",
                              "-123456789012345678901234567890", "4294967296"}) {
        long long expected = 0;
        sscanf(input, "%lld", &expected);
        EXPECT_EQ(TextToInt64(widen(input)), expected) << input;
    }
}

TEST(HexTextToInt, AgreesWithScanf)
{
    for (const char* input :
         {"ff", "FF", "0x1F", "0XaB", " \t7fffffff", "-1", "-0x10", "+a", "1g", "g", "0x", "0xg",
          "", "FFFFFFFF", "DEADbeef rest", "0", "00000000000000000000000012"}) {
        unsigned int expected = 0;
        sscanf(input, "%X", &expected);
        EXPECT_EQ(HexTextToInt(widen(input)), expected) << '"' << input << '"';
        unsigned long long expected64 = 0;
        sscanf(input, "%llX", &expected64);
        EXPECT_EQ(HexTextToInt64(widen(input)), expected64) << '"' << input << '"';
    }
}

TEST(HexTextToInt, OutOfRange)
{
    EXPECT_EQ(HexTextToInt(u"100000000"), UINT32_MAX);
    EXPECT_EQ(HexTextToInt(u"-100000000"), UINT32_MAX);
    for (const char* input : {"10000000000000000", "-10000000000000000", "FFFFFFFFFFFFFFFF"}) {
        unsigned long long expected = 0;
        sscanf(input, "%llX", &expected);
        EXPECT_EQ(HexTextToInt64(widen(input)), expected) << input;
    }
    EXPECT_EQ(HexTextToInt(static_cast<const char16_t*>(nullptr)), 0u);
    EXPECT_EQ(HexTextToInt64(static_cast<const char16_t*>(nullptr)), 0u);
}

TEST(IntToText, FormsAndRoundTrips)
{
    EXPECT_EQ(IntToText(INT32_MIN), u"-2147483648");
    EXPECT_EQ(IntToHexText(0xbeef), u"BEEF");
    EXPECT_EQ(IntToHexText(0xbeef, true), u"0xBEEF");
    EXPECT_EQ(Int64ToText(INT64_MIN), u"-9223372036854775808");
    EXPECT_EQ(Int64ToHexText(0x123456789abcdefull, true), u"0x123456789ABCDEF");
    for (int32_t v : {0, 1, -1, 123456, INT32_MAX, INT32_MIN}) {
        EXPECT_EQ(TextToInt(IntToText(v)), v);
        EXPECT_EQ(HexTextToInt(IntToHexText(static_cast<uint32_t>(v), true)),
                  static_cast<uint32_t>(v));
    }
    for (int64_t v : {int64_t{0}, int64_t{-1}, INT64_MAX, INT64_MIN}) {
        EXPECT_EQ(TextToInt64(Int64ToText(v)), v);
        EXPECT_EQ(HexTextToInt64(Int64ToHexText(static_cast<uint64_t>(v))),
                  static_cast<uint64_t>(v));
    }
}

} // namespace
