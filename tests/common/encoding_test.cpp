#include "common/text_encoding.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string bytes(std::initializer_list<unsigned char> list)
{
    return std::string(list.begin(), list.end());
}

TEST(Encodings, Gbk)
{
    // Published GBK codes: 中 D6D0, 文 CEC4, 保 B1A3, 险 CFD5, 箱 CFE4; 936 maps 0x80 to the euro.
    const std::string gbk =
        bytes({0xd6, 0xd0, 0xce, 0xc4, 0x41, 0xb1, 0xa3, 0xcf, 0xd5, 0xcf, 0xe4, 0x80});
    EXPECT_EQ(CodePageToWide(gbk, 936), u"中文A保险箱€");
    EXPECT_EQ(WideToCodePage(u"中文A保险箱€", 936), gbk);
}

TEST(Encodings, Utf8AndTheAnsiCodePage)
{
    const std::u16string wide = u"保险箱 é \U0001F600";
    const std::string utf8 = bytes({0xe4, 0xbf, 0x9d, 0xe9, 0x99, 0xa9, 0xe7, 0xae, 0xb1, 0x20,
                                    0xc3, 0xa9, 0x20, 0xf0, 0x9f, 0x98, 0x80});
    EXPECT_EQ(WideToUtf8(wide), utf8);
    EXPECT_EQ(Utf8ToWide(utf8), wide);
    // The ANSI and OEM code pages of this system are UTF-8.
    EXPECT_EQ(WideToCodePage(wide, CP_ACP), utf8);
    EXPECT_EQ(CodePageToWide(utf8, CP_OEMCP), wide);
    EXPECT_EQ(CodePageToWide(utf8, CP_THREAD_ACP), wide);
    // A byte order mark is text like any other.
    EXPECT_EQ(Utf8ToWide(bytes({0xef, 0xbb, 0xbf, 0x41})), u"\uFEFFA");
}

TEST(Encodings, MalformedInputIsReplacedNotDropped)
{
    EXPECT_EQ(Utf8ToWide(bytes({0x41, 0xff, 0x42})), u"A\uFFFDB");
    EXPECT_EQ(Utf8ToWide(bytes({0x41, 0xc0, 0xaf, 0x42})).front(), u'A'); // overlong '/'
    EXPECT_EQ(Utf8ToWide(bytes({0x41, 0xc0, 0xaf, 0x42})).find(u'/'), std::u16string::npos);
    EXPECT_EQ(Utf8ToWide(bytes({0x41, 0xe4, 0xb8})), u"A\uFFFD"); // cut short at the end
    const std::u16string lone_high(u"a\xD800z");
    const std::u16string lone_low(u"a\xDC00");
    EXPECT_EQ(WideToUtf8(lone_high), bytes({0x61, 0xef, 0xbf, 0xbd, 0x7a}));
    EXPECT_EQ(WideToUtf8(lone_low), bytes({0x61, 0xef, 0xbf, 0xbd}));
    EXPECT_EQ(WideToUtf8(std::u16string(u"\xD800")), bytes({0xef, 0xbf, 0xbd}));
    // Characters a code page lacks become one '?' each, a surrogate pair included.
    EXPECT_EQ(WideToCodePage(u"a\U0001F600b", 936), "a?b");
    EXPECT_EQ(WideToCodePage(u"x中y€", 1252), "x?y\x80");
    // A GBK lead byte without a valid trail byte.
    EXPECT_EQ(CodePageToWide(bytes({0xd6, 0x20, 0x41}), 936).back(), u'A');
}

TEST(Encodings, FailuresAndNullGiveEmptyText)
{
    EXPECT_EQ(CodePageToWide(std::string("abc"), 12345), u"");
    EXPECT_EQ(WideToCodePage(u"abc", 12345), "");
    EXPECT_EQ(CodePageToWide(static_cast<const char*>(nullptr), CP_UTF8), u"");
    EXPECT_EQ(WideToCodePage(static_cast<const char16_t*>(nullptr), 936), "");
    EXPECT_EQ(Utf8ToWide(static_cast<const char*>(nullptr)), u"");
    EXPECT_EQ(WideToUtf8(static_cast<const char16_t*>(nullptr)), "");
    EXPECT_EQ(Utf8ToWide(std::string()), u"");
}

TEST(Encodings, EmbeddedNulAndLongText)
{
    EXPECT_EQ(Utf8ToWide(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
    std::u16string wide;
    for (int i = 0; i < 100000; ++i) {
        wide.push_back(static_cast<char16_t>(0x4e00 + i % 0x5000));
    }
    EXPECT_EQ(Utf8ToWide(WideToUtf8(wide)), wide);
    const std::string gbk = WideToCodePage(wide.substr(0, 20000), 936);
    EXPECT_EQ(gbk.size(), 40000u);
    EXPECT_EQ(CodePageToWide(gbk, 936), wide.substr(0, 20000));
}

} // namespace
