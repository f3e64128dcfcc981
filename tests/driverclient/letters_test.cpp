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
    // Odd letters as the service's global links, even ones as the session's definitions.
    void use(char16_t letter)
    {
        hostns::Namespace names;
        std::u16string drive{letter, u':'};
        ASSERT_EQ(letter % 2 ? names.publish_global(drive, u"\\Device\\HarddiskVolume9")
                             : names.define(drive, u"\\??\\C:\\tmp"),
                  0);
    }

    RedAvClient client_;
};

TEST_F(LetterTest, OnlyZFreeOrNoneFree)
{
    EXPECT_EQ(client_.FindFreeLetter(false), u'D') << "the drives file leaves D: undefined";
    for (char16_t c = u'D'; c <= u'Y'; ++c)
        use(c);
    EXPECT_EQ(client_.FindFreeLetter(true), u'Z');
    EXPECT_EQ(client_.FindFreeLetter(false), u'Z');
    EXPECT_EQ(client_.GetFreeLetters(), std::vector<WCHAR>{u'Z'});
    use(u'Z');
    EXPECT_EQ(client_.FindFreeLetter(true), 0);
    EXPECT_EQ(client_.FindFreeLetter(false), 0);
    EXPECT_TRUE(client_.GetFreeLetters().empty());
}

TEST_F(LetterTest, SearchDirectionAndOrderSkipUsedLetters)
{
    for (char16_t c : {u'D', u'E', u'G', u'X', u'Y', u'Z'})
        use(c);
    EXPECT_EQ(client_.FindFreeLetter(true), u'W');
    EXPECT_EQ(client_.FindFreeLetter(false), u'F');
    std::vector<WCHAR> expected{u'F'};
    for (char16_t c = u'H'; c <= u'W'; ++c)
        expected.push_back(c);
    EXPECT_EQ(client_.GetFreeLetters(), expected);
}

TEST_F(LetterTest, LetterCaseIsIgnoredAndNonLettersAreNeverFree)
{
    use(u'K');
    EXPECT_FALSE(client_.IsLetterFree(u'k'));
    EXPECT_TRUE(client_.IsLetterFree(u'l'));
    EXPECT_FALSE(client_.IsLetterFree(u'C')) << "C: is always the system drive";
    EXPECT_TRUE(client_.IsLetterFree(u'A'));
    // Each of these lands on a free letter's bit modulo 32 without being a letter.
    for (char16_t c : {char16_t(0), u'@', u'[', u'`', u'{', char16_t(u'l' + 32), u'保'})
        EXPECT_FALSE(client_.IsLetterFree(c)) << int(c);
}

} // namespace
