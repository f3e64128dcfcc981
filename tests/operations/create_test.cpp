// Creating a vault: the checks in their order of precedence, the questions, and the request.
#include "ops_fixture.h"

#include <filesystem>

namespace {

class CreateTest : public OpsTest {
protected:
    void SetUp() override
    {
        OpsTest::SetUp();
        folder_ = base_ + "/vaults";
        std::filesystem::create_directories(folder_);
    }
    // Inputs that pass every check.
    CreateInput good() const
    {
        CreateInput in;
        in.name = u"保险箱";
        in.path = dos(folder_) + u"\\保险箱.lkb";
        in.sizeText = u"1";
        in.loadtype = 1;
        in.description = u"说明\r\n第二行";
        in.password = in.confirmation = u"Secret";
        return in;
    }
    std::string folder_;
};

TEST_F(CreateTest, EachCheckRefusesWithItsMessageAndFocusInOrderAndSendsNothing)
{
    catalogue_.AddVault(u"Ünï", u"C:\\x\\a.lkb", 1, 0, 0, u"");
    std::ofstream(folder_ + "/exists.lkb") << "x";
    struct Case {
        const char* what;
        void (*change)(CreateInput&);
        MessageId message;
        int focus;
    };
    const Case cases[] = {
        {"empty name", [](CreateInput& i) { i.name.clear(); }, MessageId::NameEmpty, kIdName},
        {"name in other case", [](CreateInput& i) { i.name = u"üNÏ"; }, MessageId::NameExists,
         kIdName},
        {"empty path", [](CreateInput& i) { i.path.clear(); }, MessageId::PathEmpty, kIdPath},
        {"no folder", [](CreateInput& i) { i.path = u"\\a.lkb"; }, MessageId::PathInvalid, kIdPath},
        {"file exists",
         [](CreateInput& i) { i.path = i.path.substr(0, i.path.rfind(u'\\')) + u"\\exists.lkb"; },
         MessageId::ContainerExists, kIdPath},
        {"size 0", [](CreateInput& i) { i.sizeText = u""; }, MessageId::SizeEmpty, kIdSize},
        {"negative size", [](CreateInput& i) { i.sizeText = u"-3"; }, MessageId::SizeEmpty,
         kIdSize},
        {"too big", [](CreateInput& i) { i.sizeText = u"2000000000"; }, MessageId::NotEnoughSpace,
         kIdSize},
        {"letter in use", [](CreateInput& i) { i.letter = u'K'; }, MessageId::LetterInUse, 0},
        {"password empty", [](CreateInput& i) { i.password.clear(); }, MessageId::PasswordEmpty,
         kIdPassword},
        {"password of 3", [](CreateInput& i) { i.password = i.confirmation = u"abc"; },
         MessageId::PasswordTooShort, kIdPassword},
        {"confirmation in other case", [](CreateInput& i) { i.confirmation = u"secret"; },
         MessageId::PasswordMismatch, kIdConfirm},
    };
    use_letter(u'K');
    for (size_t n = 0; n < std::size(cases); ++n) {
        // Break this case's check and every later one: only the order lets its message win.
        CreateInput in = good();
        for (size_t k = std::size(cases); k-- > n;)
            cases[k].change(in);
        Outcome o = CreateVault(catalogue_, client_, in, ask());
        EXPECT_EQ(o.result, OpResult::Refused) << cases[n].what;
        EXPECT_EQ(o.message, cases[n].message) << cases[n].what;
        EXPECT_EQ(o.text, GetMessageSpec(cases[n].message).text) << cases[n].what;
        EXPECT_EQ(o.focus, cases[n].focus) << cases[n].what;
    }
    EXPECT_TRUE(requests_of(kMountNewDisk).empty());
    EXPECT_TRUE(asked_.empty());
    EXPECT_EQ(catalogue_.GetCount(), 1u);
    EXPECT_EQ(config_text(), "");
}

TEST_F(CreateTest, TheLimitOfFourComesLastAndMountNewCarriesTheRequest)
{
    CreateInput in = good();
    for (const char16_t* name : {u"a", u"b", u"c", u"d"})
        catalogue_.AddVault(name, std::u16string(u"C:\\x\\") + name, 1, 0, 0, u"");
    Outcome o = CreateVault(catalogue_, client_, in, ask());
    EXPECT_EQ(o.message, MessageId::TooManyVaults) << "with every other input accepted";
    EXPECT_TRUE(requests_of(kMountNewDisk).empty());
    catalogue_.RemoveVault(u"d");

    // A refused mount-new catalogues nothing.
    device_->set_reply(kMountNewDisk, {kStatusUnsuccessful, 0, {}});
    o = CreateVault(catalogue_, client_, in, ask());
    EXPECT_EQ(o.result, OpResult::DriverFailed);
    EXPECT_EQ(o.text, u"新建保险箱失败!");
    EXPECT_EQ(catalogue_.GetCount(), 3u);
    EXPECT_EQ(config_text(), "");

    device_->set_reply(kMountNewDisk, {0, 0, {}});
    o = CreateVault(catalogue_, client_, in, ask());
    ASSERT_EQ(o.result, OpResult::Done);
    EXPECT_EQ(o.letter, u'Z') << "automatic: the highest free letter";
    auto mounts = requests_of(kMountNewDisk);
    ASSERT_EQ(mounts.size(), 2u);
    const auto& r = mounts[1].input;
    EXPECT_EQ(r[0], 'Z');
    uint64_t size = 0;
    for (int i = 0; i < 8; ++i)
        size |= uint64_t(r[528 + i]) << (8 * i);
    EXPECT_EQ(size, 1ull << 30);
    EXPECT_EQ(r[536], 0) << "sparse";
    EXPECT_EQ(r[538], 1) << "encrypted";
    EXPECT_FALSE(client_.IsLetterFree(u'Z')) << "published";

    VaultCatalogue saved;
    ASSERT_TRUE(saved.LoadConfig(u"Lockbin.xml"));
    VaultRecord v;
    ASSERT_TRUE(saved.FindByName(u"保险箱", v));
    EXPECT_EQ(v.Path, in.path);
    EXPECT_EQ(v.autoassign, 1);
    EXPECT_EQ(v.Letter, u'Z');
    EXPECT_EQ(v.loadtype, 1);
    EXPECT_EQ(v.Description, in.description);
}

TEST_F(CreateTest, AMissingFolderIsMadeOnlyAfterYesAndStaysAfterALaterRefusal)
{
    CreateInput in = good();
    in.path = dos(folder_) + u"\\new\\deeper\\v.lkb";
    Outcome o = CreateVault(catalogue_, client_, in, ask());
    EXPECT_EQ(o.stop, StopReason::Declined);
    EXPECT_EQ(o.declined, MessageId::CreateFolderAsk);
    EXPECT_FALSE(std::filesystem::exists(folder_ + "/new"));

    answers_ = {true};
    in.password.clear();
    o = CreateVault(catalogue_, client_, in, ask());
    EXPECT_EQ(o.message, MessageId::PasswordEmpty);
    EXPECT_TRUE(std::filesystem::is_directory(folder_ + "/new/deeper"));
    EXPECT_EQ(asked_,
              (std::vector<MessageId>{MessageId::CreateFolderAsk, MessageId::CreateFolderAsk}));
}

TEST(CreateProposals, NamePathAndSizeFollowTheDialogsRules)
{
    VaultCatalogue c;
    EXPECT_EQ(DefaultVaultName(c), u"默认保险箱1");
    c.AddVault(u"默认保险箱2", u"C:\\a", 1, 0, 0, u"");
    EXPECT_EQ(DefaultVaultName(c), u"默认保险箱2") << "no test whether the name is free";
    EXPECT_EQ(PathFollowingName(u"D:\\Lockbin\\old.lkb", u"新"), u"D:\\Lockbin\\新.lkb");
    EXPECT_EQ(PathFollowingName(u"D:\\Lockbin\\old.lkb", u""), u"D:\\Lockbin\\");
    EXPECT_EQ(PathFollowingName(u"nofolder", u"n"), u"n.lkb");
    EXPECT_EQ(PathInPickedFolder(u"E:\\box\\\\", u"v.lkb"), u"E:\\box\\v.lkb");
    EXPECT_EQ(PathInPickedFolder(u"E:\\", u"v"), u"E:\\v.lkb");
    EXPECT_EQ(InitialSizeText(u"Q:\\nowhere"), u"20") << "an unreadable disk keeps 20";
}

} // namespace
