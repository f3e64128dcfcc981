#include "common/text_format.h"

#include <gtest/gtest.h>

#include <stdint.h>
#include <stdio.h>
#include <string>

namespace {

// The C runtime's narrow printf is the oracle for the numeric conversions.
template <typename... Args> std::u16string c_printf(const char* format, Args... args)
{
    char buffer[512];
    const int n = snprintf(buffer, sizeof(buffer), format, args...);
    return std::u16string(buffer, buffer + n);
}

TEST(FormatText, NumericConversionsMatchTheCRuntime)
{
    EXPECT_EQ(FormatText(u"%d|%i|%5d|%-5d|%05d|%+d|% d", -42, 7, 42, 42, -42, 42, 42),
              c_printf("%d|%i|%5d|%-5d|%05d|%+d|% d", -42, 7, 42, 42, -42, 42, 42));
    EXPECT_EQ(FormatText(u"%u %x %X %#x %o %.3d", 4000000000u, 0xbeefu, 0xbeefu, 255u, 8u, 5),
              c_printf("%u %x %X %#x %o %.3d", 4000000000u, 0xbeefu, 0xbeefu, 255u, 8u, 5));
    EXPECT_EQ(FormatText(u"%hd %hu %hhd", 70000, 70000, 300),
              c_printf("%hd %hu %hhd", 70000, 70000, 300));
    EXPECT_EQ(FormatText(u"%.1f %.2f %e %g %G %10.3f|%-8.2f|", 1.25, 2.675, 12345.678, 0.0001, 1e20,
                         -3.14159, 2.5),
              c_printf("%.1f %.2f %e %g %G %10.3f|%-8.2f|", 1.25, 2.675, 12345.678, 0.0001, 1e20,
                       -3.14159, 2.5));
    EXPECT_EQ(FormatText(u"%Lf", 1.5L), c_printf("%Lf", 1.5L));
}

TEST(FormatText, SizePrefixesOfThePlatform)
{
    EXPECT_EQ(FormatText(u"%I64d %I64X %I64u", INT64_MIN, UINT64_MAX, UINT64_MAX),
              u"-9223372036854775808 FFFFFFFFFFFFFFFF 18446744073709551615");
    EXPECT_EQ(FormatText(u"%lld %llx %zu %Id", -5ll, 255ull, size_t{9}, intptr_t{-3}),
              u"-5 ff 9 -3");
    // l is 32 bits, as LONG and DWORD are.
    const uint32_t dword = 0xffffffffu;
    const int32_t lng = -2;
    EXPECT_EQ(FormatText(u"%lu %ld %lX %I32d", dword, lng, dword, lng),
              u"4294967295 -2 FFFFFFFF -2");
}

TEST(FormatText, WidthAndPrecisionFromArguments)
{
    EXPECT_EQ(FormatText(u"[%*d]", 6, 42), u"[    42]");
    EXPECT_EQ(FormatText(u"[%*d]", -6, 42), u"[42    ]");
    EXPECT_EQ(FormatText(u"[%.*f]", 2, 3.14159), u"[3.14]");
    EXPECT_EQ(FormatText(u"[%.*s]", -1, u"abc"), u"[abc]");
    EXPECT_EQ(FormatText(u"[%*.*s]", 5, 2, u"abcdef"), u"[   ab]");
}

TEST(FormatText, StringsAndCharacters)
{
    const char16_t* vault = u"我的保险箱";
    EXPECT_EQ(FormatText(u"%s:%ls:%ws", vault, u"b", u"c"), u"我的保险箱:b:c");
    EXPECT_EQ(FormatText(u"%S|%hs", "\xe4\xb8\xad", "ascii"), u"中|ascii");
    EXPECT_EQ(FormatText(u"%c:\\", u'Z'), u"Z:\\");
    EXPECT_EQ(FormatText(u"%c%C%hc%lc", u'中', 'a', 'b', u'é'), u"中abé");
    EXPECT_EQ(FormatText(u"[%-6s][%6s][%.2s]", u"ab", u"ab", u"abcdef"), u"[ab    ][    ab][ab]");
    EXPECT_EQ(FormatText(u"%s|%S", static_cast<const char16_t*>(nullptr),
                         static_cast<const char*>(nullptr)),
              u"(null)|(null)");
    EXPECT_EQ(FormatText(u"100%% %s", u"done"), u"100% done");
}

TEST(FormatText, PrecisionBoundsTheRead)
{
    // Neither string is terminated within the precision.
    const char16_t wide[3] = {u'x', u'y', u'z'};
    const char narrow[3] = {'p', 'q', 'r'};
    EXPECT_EQ(FormatText(u"%.2s%.3hs", wide, narrow), u"xypqr");
}

TEST(FormatText, PointersAsSixteenUpperCaseDigits)
{
    EXPECT_EQ(FormatText(u"%p", reinterpret_cast<void*>(0xabcdef)), u"0000000000ABCDEF");
    EXPECT_EQ(FormatText(u"%p", static_cast<void*>(nullptr)), u"0000000000000000");
}

TEST(FormatText, AnyLength)
{
    const std::u16string long_piece(5000, u'长');
    const std::u16string text = FormatText(u"<%s>%6000d", long_piece.c_str(), 1);
    ASSERT_EQ(text.size(), 5002u + 6000u);
    EXPECT_EQ(text.substr(0, 5002), u"<" + long_piece + u">");
    EXPECT_EQ(text.back(), u'1');
    EXPECT_EQ(text[5002], u' ');
}

TEST(FormatText, RefusesWhatItCannotFormatSafely)
{
    int written = 0;
    EXPECT_EQ(FormatText(u"abc%n", &written), u"");
    EXPECT_EQ(written, 0);
    EXPECT_EQ(FormatText(u"%1$d", 5), u"");
    EXPECT_EQ(FormatText(u"%y", 5), u"");
    EXPECT_EQ(FormatText(u"trailing %"), u"");
    EXPECT_EQ(FormatText(u"%99999999999d", 5), u"");
    EXPECT_EQ(FormatText(nullptr), u"");
    EXPECT_EQ(FormatText(u""), u"");
}

TEST(SplitText, LeadingSeparatorAndKeepEmpty)
{
    using pieces = std::vector<std::u16string>;
    EXPECT_EQ(SplitText(u"\\a\\b", u'\\', false), (pieces{u"a", u"b"}));
    EXPECT_EQ(SplitText(u"\\a\\b", u'\\', true), (pieces{u"", u"a", u"b"}));
    EXPECT_EQ(SplitText(u"\\\\srv\\share\\\\d\\", u'\\', false), (pieces{u"srv", u"share", u"d"}));
    EXPECT_EQ(SplitText(u"a\\\\b\\", u'\\', true), (pieces{u"a", u"", u"b", u""}));
    EXPECT_EQ(SplitText(u"C:", u'\\', false), (pieces{u"C:"}));
    EXPECT_EQ(SplitText(u"\\", u'\\', false), pieces{});
    EXPECT_EQ(SplitText(u"\\", u'\\', true), (pieces{u"", u""}));
    EXPECT_TRUE(SplitText(static_cast<const char16_t*>(nullptr), u'\\', true).empty());
    EXPECT_TRUE(SplitText(u"", u'\\', true).empty());
}

} // namespace
