#include "common/text_compare.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const char16_t* const null_text = nullptr;
using predicate_fn = bool (*)(const char16_t*, const char16_t*);

TEST(TextPredicates, NullIsAlwaysFalse)
{
    for (predicate_fn predicate :
         {predicate_fn{&Equals}, predicate_fn{&EqualsNoCase}, predicate_fn{&StartsWith},
          predicate_fn{&StartsWithNoCase}, predicate_fn{&EndsWith}, predicate_fn{&EndsWithNoCase},
          predicate_fn{&Contains}, predicate_fn{&ContainsNoCase}}) {
        EXPECT_FALSE(predicate(null_text, u"a"));
        EXPECT_FALSE(predicate(u"a", null_text));
        EXPECT_FALSE(predicate(null_text, null_text));
    }
}

TEST(TextPredicates, EmptyPatternIsFalseButEmptyTextsAreEqual)
{
    for (predicate_fn predicate :
         {predicate_fn{&StartsWith}, predicate_fn{&StartsWithNoCase}, predicate_fn{&EndsWith},
          predicate_fn{&EndsWithNoCase}, predicate_fn{&Contains}, predicate_fn{&ContainsNoCase}}) {
        EXPECT_FALSE(predicate(u"D:\\Lockbin", u""));
        EXPECT_FALSE(predicate(u"", u""));
    }
    EXPECT_TRUE(Equals(u"", u""));
    EXPECT_TRUE(EqualsNoCase(u"", u""));
}

TEST(TextPredicates, ExactForms)
{
    EXPECT_TRUE(Equals(u"保险箱", u"保险箱"));
    EXPECT_FALSE(Equals(u"Vault", u"vault"));
    EXPECT_FALSE(Equals(u"abc", u"abcd"));
    EXPECT_TRUE(StartsWith(u"\\\\?\\C:", u"\\\\?\\"));
    EXPECT_FALSE(StartsWith(u"ab", u"abc"));
    EXPECT_TRUE(EndsWith(u"D:\\vault.lkb", u".lkb"));
    EXPECT_FALSE(EndsWith(u"D:\\vault.LKB", u".lkb"));
    EXPECT_FALSE(EndsWith(u"lkb", u".lkb"));
    EXPECT_TRUE(EndsWith(u"\\", u"\\"));
    EXPECT_TRUE(Contains(u"aaab", u"aab"));
    EXPECT_FALSE(Contains(u"aab", u"aaab"));
}

TEST(TextPredicates, CaselessForms)
{
    EXPECT_TRUE(EqualsNoCase(u"My Vault", u"mY vAULT"));
    EXPECT_TRUE(StartsWithNoCase(u"\\Device\\ZELVirtualDisk\\X", u"\\device\\zelvirtualdisk"));
    EXPECT_TRUE(EndsWithNoCase(u"D:\\vault.LKB", u".lkb"));
    EXPECT_TRUE(ContainsNoCase(u"xxHeLLoxx", u"hello"));
    EXPECT_FALSE(ContainsNoCase(u"hell", u"hello"));
    // Beyond ASCII: Latin-1, Latin Extended-A, Greek, Cyrillic, full-width.
    EXPECT_TRUE(EqualsNoCase(u"ÀÉÎÕÜ", u"àéîõü"));
    EXPECT_TRUE(EqualsNoCase(u"ŁĄŻŹŇŸ", u"łążźňÿ"));
    EXPECT_TRUE(EqualsNoCase(u"ΣΩΔ", u"σωδ"));
    EXPECT_TRUE(EqualsNoCase(u"ПРИВЕТ ЁЖ", u"привет ёж"));
    EXPECT_TRUE(EqualsNoCase(u"ＡＢＣ", u"ａｂｃ"));
    // Not letters of one another.
    EXPECT_FALSE(EqualsNoCase(u"×", u"÷"));
    EXPECT_FALSE(EqualsNoCase(u"[", u"{"));
    EXPECT_FALSE(EqualsNoCase(u"@", u"`"));
    EXPECT_FALSE(EqualsNoCase(u"保险箱", u"保险柜"));
}

} // namespace
