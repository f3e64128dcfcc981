// Opening and closing: the letter policy, what reaches the driver, and what each refusal leaves.
#include "ops_fixture.h"

namespace {

PasswordFn password(std::optional<std::u16string> answer, int* calls = nullptr)
{
    return [answer, calls](const VaultRecord&) {
        if (calls)
            ++*calls;
        return answer;
    };
}

TEST_F(OpsTest, OpenTakesTheStoredLetterWhenFreeElseTheHighestFreeAndStoresIt)
{
    catalogue_.AddVault(u"甲", u"C:\\v\\a.lkb", 1, u'Z', 0, u"");
    catalogue_.AddVault(u"乙", u"C:\\v\\b.lkb", 1, u'K', 0, u"");
    use_letter(u'Z');
    use_letter(u'Y');

    Outcome o = OpenVault(catalogue_, client_, u"甲", password(u"secret"));
    EXPECT_EQ(o.result, OpResult::Done);
    EXPECT_EQ(o.letter, u'X') << "Z and Y are taken";
    EXPECT_TRUE(o.refresh);
    o = OpenVault(catalogue_, client_, u"乙", password(u"secret"));
    EXPECT_EQ(o.letter, u'K') << "a free stored letter is tried first";

    auto mounts = requests_of(kMountExistDisk);
    ASSERT_EQ(mounts.size(), 2u);
    EXPECT_EQ(mounts[0].input[0], 'X');
    EXPECT_EQ(mounts[0].input[537], 0) << "read-write";
    EXPECT_EQ(mounts[0].input[538], 1) << "encrypted";
    EXPECT_EQ(mounts[0].input[540], 128) << "the whole key block";
    EXPECT_FALSE(client_.IsLetterFree(u'X')) << "the drive was published";

    VaultCatalogue reloaded;
    ASSERT_TRUE(reloaded.LoadConfig(u"Lockbin.xml")) << "a changed letter is saved";
    VaultRecord a, b;
    ASSERT_TRUE(reloaded.FindByName(u"甲", a));
    ASSERT_TRUE(reloaded.FindByName(u"乙", b));
    EXPECT_EQ(a.Letter, u'X');
    EXPECT_EQ(b.Letter, u'K');
}

TEST_F(OpsTest, OpenRefusalsSendNothingAndChangeNothing)
{
    catalogue_.AddVault(u"fixed", u"C:\\v\\a.lkb", 0, u'Z', 0, u"");
    catalogue_.AddVault(u"auto", u"C:\\v\\b.lkb", 1, u'Z', 0, u"");
    use_letter(u'Z');

    EXPECT_EQ(OpenVault(catalogue_, client_, u"nobody", password(u"x")).stop, StopReason::NotFound);
    EXPECT_EQ(OpenVault(catalogue_, client_, u"fixed", password(std::nullopt)).stop,
              StopReason::Cancelled);
    Outcome o = OpenVault(catalogue_, client_, u"fixed", password(u""));
    EXPECT_EQ(o.message, MessageId::OpenPasswordEmpty);
    EXPECT_EQ(o.focus, kIdOpenPassword);
    o = OpenVault(catalogue_, client_, u"FIXED", password(u"secret"));
    EXPECT_EQ(o.message, MessageId::TargetLetterTaken) << "a fixed letter is never replaced";
    EXPECT_EQ(o.text, u"目标盘符已被占用!");
    EXPECT_TRUE(requests_of(kMountExistDisk).empty());

    for (char16_t c = u'D'; c <= u'Y'; ++c)
        use_letter(c);
    o = OpenVault(catalogue_, client_, u"auto", password(u"secret"));
    EXPECT_EQ(o.message, MessageId::NoFreeLetter);
    EXPECT_TRUE(requests_of(kMountExistDisk).empty());
    EXPECT_EQ(config_text(), "") << "nothing saved";

    // Every mount failure reads as a wrong password; the letter stays as it was.
    hostns::Namespace().remove(u"M:");
    device_->set_reply(kMountExistDisk, {kStatusUnsuccessful, 0, {}});
    o = OpenVault(catalogue_, client_, u"auto", password(u"wrong"));
    EXPECT_EQ(o.result, OpResult::DriverFailed);
    EXPECT_EQ(o.text, u"密码错误, 打开保险箱失败!");
    EXPECT_FALSE(o.refresh);
    VaultRecord r;
    ASSERT_TRUE(catalogue_.FindByName(u"auto", r));
    EXPECT_EQ(r.Letter, u'Z');
    EXPECT_EQ(config_text(), "");
}

TEST_F(OpsTest, AnOpenVaultIsShownWithoutAskingAndAnotherContainerAtItsLetterIsNot)
{
    catalogue_.AddVault(u"v", u"C:\\Vaults\\Ä.lkb", 0, u'Q', 0, u"");
    // The driver's path differs in letter case only, non-ASCII letters included.
    report_volume(u'Q', u"C:\\vaults\\ä.LKB");
    int asked = 0;
    Outcome o = OpenVault(catalogue_, client_, u"v", password(u"secret", &asked));
    EXPECT_EQ(o.result, OpResult::Done);
    EXPECT_EQ(o.letter, u'Q');
    EXPECT_FALSE(o.refresh);
    EXPECT_EQ(asked, 0);
    EXPECT_TRUE(requests_of(kMountExistDisk).empty());

    // Another container at the letter: this vault is closed, and closing it is not ours to do.
    report_volume(u'Q', u"C:\\vaults\\other.lkb");
    EXPECT_EQ(CloseVault(catalogue_, client_, u"v", ask()).stop, StopReason::NotMounted);
    EXPECT_TRUE(requests_of(kDismount).empty());
    OpenVault(catalogue_, client_, u"v", password(u"secret", &asked));
    EXPECT_EQ(asked, 1);
}

TEST_F(OpsTest, CloseAsksToForceOnlyWhenThePlainDismountIsRefused)
{
    catalogue_.AddVault(u"v", u"C:\\v\\a.lkb", 1, u'R', 0, u"");
    report_volume(u'R', u"C:\\v\\a.lkb");
    Outcome o = CloseVault(catalogue_, client_, u"v", ask());
    EXPECT_EQ(o.result, OpResult::Done);
    EXPECT_TRUE(asked_.empty());
    ASSERT_EQ(requests_of(kDismount).size(), 1u);
    EXPECT_EQ(requests_of(kDismount)[0].input[2], 0) << "not forced";

    // Refused: No leaves it open (and refreshes), Yes forces.
    device_->set_reply(kDismount, {kStatusUnsuccessful, 0, {}});
    o = CloseVault(catalogue_, client_, u"v", ask());
    EXPECT_EQ(o.stop, StopReason::Declined);
    EXPECT_EQ(o.declined, MessageId::ForceDismountAsk);
    EXPECT_TRUE(o.refresh);
    ASSERT_EQ(asked_text_.size(), 1u);
    EXPECT_EQ(asked_text_[0],
              u"卸载保险箱失败!!(Volume=R:), 是否强制卸载?\n强制卸载可能会导致尚未保存的数据丢失!");
    EXPECT_EQ(requests_of(kDismount).size(), 2u) << "no forced request after No";

    answers_ = {true};
    AskFn yes_then_succeed = [&](MessageId id, const std::u16string& t, const std::u16string& d) {
        device_->set_reply(kDismount, {0, 0, {}});
        return ask()(id, t, d);
    };
    o = CloseVault(catalogue_, client_, u"v", yes_then_succeed);
    EXPECT_EQ(o.result, OpResult::Done);
    auto dismounts = requests_of(kDismount);
    ASSERT_EQ(dismounts.size(), 4u);
    EXPECT_EQ(dismounts[3].input[2], 1) << "forced";

    device_->set_reply(kDismount, {kStatusUnsuccessful, 0, {}});
    answers_ = {true};
    o = CloseVault(catalogue_, client_, u"v", ask());
    EXPECT_EQ(o.result, OpResult::DriverFailed);
    EXPECT_EQ(o.text, u"强制卸载保险箱失败!!(Volume=R:)!!");
    EXPECT_FALSE(o.refresh);
    EXPECT_EQ(config_text(), "") << "closing writes nothing";
}

} // namespace
