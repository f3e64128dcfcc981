// Free-letter choice against the drives the user-mode layer reports as used: global links (the
// service's volumes), the session's own definitions, and the built-in C:.
#include "test_runtime.h"

#include "hostns/hostns.h"
#include "redav_client.h"

#include <string>
#include <vector>

namespace {

class LetterTest : public TestRuntime {
protected:
    void use_globally(char16_t letter)
    {
        ASSERT_EQ(names().publish_global(drive(letter), u"\\Device\\HarddiskVolume9"), 0);
    }
    void use_in_session(char16_t letter)
    {
        ASSERT_EQ(names().define(drive(letter), u"\\??\\C:\\tmp"), 0);
    }

    static hostns::Namespace names() { return hostns::Namespace(); }
    static std::u16string drive(char16_t letter) { return {letter, u':'}; }

    RedAvClient client_;
};

TEST_F(LetterTest, OnlyZFreeIsFoundFromEitherEnd)
{
    for (char16_t c = u'D'; c <= u'Y'; ++c)
        c % 2 ? use_globally(c) : use_in_session(c);
    EXPECT_EQ(client_.FindFreeLetter(true), u'Z');
    EXPECT_EQ(client_.FindFreeLetter(false), u'Z');
    EXPECT_EQ(client_.GetFreeLetters(), std::vector<WCHAR>{u'Z'});
}

TEST_F(LetterTest, NoneFreeGivesZeroAndAnEmptyList)
{
    for (char16_t c = u'D'; c <= u'Z'; ++c)
        use_globally(c);
    EXPECT_EQ(client_.FindFreeLetter(true), 0);
    EXPECT_EQ(client_.FindFreeLetter(false), 0);
    EXPECT_TRUE(client_.GetFreeLetters().empty());
}

TEST_F(LetterTest, SearchDirectionAndOrderSkipUsedLetters)
{
    for (char16_t c : {u'D', u'E', u'G', u'Y', u'Z'})
        use_globally(c);
    use_in_session(u'X');
    EXPECT_EQ(client_.FindFreeLetter(true), u'W');
    EXPECT_EQ(client_.FindFreeLetter(false), u'F');
    std::vector<WCHAR> expected{u'F'};
    for (char16_t c = u'H'; c <= u'W'; ++c)
        expected.push_back(c);
    EXPECT_EQ(client_.GetFreeLetters(), expected);
}

TEST_F(LetterTest, LetterCaseIsIgnoredAndNonLettersAreNeverFree)
{
    use_globally(u'K');
    EXPECT_FALSE(client_.IsLetterFree(u'k'));
    EXPECT_FALSE(client_.IsLetterFree(u'K'));
    EXPECT_TRUE(client_.IsLetterFree(u'l'));
    EXPECT_FALSE(client_.IsLetterFree(u'C')) << "C: is always the system drive";
    EXPECT_TRUE(client_.IsLetterFree(u'A'));
    // '[' sits one past 'Z' and 'k' + 32 lands on K's bit modulo 32: neither is a drive.
    for (char16_t c : {char16_t(0), u'@', u'[', u'`', u'{', char16_t(u'K' + 32 + 32), u'保'})
        EXPECT_FALSE(client_.IsLetterFree(c)) << int(c);
}

TEST_F(LetterTest, ARemovedDefinitionFreesItsLetter)
{
    use_in_session(u'Q');
    EXPECT_FALSE(client_.IsLetterFree(u'Q'));
    ASSERT_EQ(names().remove(drive(u'Q')), 0);
    EXPECT_TRUE(client_.IsLetterFree(u'Q'));
    EXPECT_EQ(client_.FindFreeLetter(true), u'Z');
    EXPECT_EQ(client_.FindFreeLetter(false), u'D') << "the drives file leaves D: undefined";
}

} // namespace
