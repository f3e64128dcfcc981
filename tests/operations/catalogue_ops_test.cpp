// The operations that only change the catalogue (and, for destroy, delete the container):
// questions, the order of the import checks, properties and the default folder.
#include "ops_fixture.h"

#include <filesystem>

namespace {

TEST_F(OpsTest, DeleteKeepsTheFileDestroyRemovesItAfterTwoYesAndNoChangesNothing)
{
    const std::string file = base_ + "/a.lkb";
    std::ofstream(file) << "ciphertext";
    catalogue_.AddVault(u"甲", dos(file), 1, 0, 0, u"");
    catalogue_.AddVault(u"乙", dos(file), 1, 0, 0, u"");

    answers_ = {true, false};
    EXPECT_EQ(DestroyVault(catalogue_, client_, u"甲", ask()).declined, MessageId::DestroyAskAgain);
    answers_ = {false};
    EXPECT_EQ(DeleteVault(catalogue_, client_, u"甲", ask()).declined, MessageId::DeleteAsk);
    EXPECT_EQ(catalogue_.GetCount(), 2u);
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(config_text(), "");
    EXPECT_EQ(asked_text_, (std::vector<std::u16string>{
                               u"确认要销毁保险箱 [甲] 吗?\n注意: 保险箱中的所有数据都将被销毁!",
                               u"请再次确认要销毁保险箱 [甲]!", u"确认要删除保险箱 [甲] 吗?"}));

    answers_ = {true};
    EXPECT_EQ(DeleteVault(catalogue_, client_, u"甲", ask()).result, OpResult::Done);
    EXPECT_TRUE(std::filesystem::exists(file));
    answers_ = {true, true};
    EXPECT_EQ(DestroyVault(catalogue_, client_, u"乙", ask()).result, OpResult::Done);
    EXPECT_FALSE(std::filesystem::exists(file));
    VaultCatalogue saved;
    ASSERT_TRUE(saved.LoadConfig(u"Lockbin.xml"));
    EXPECT_EQ(saved.GetCount(), 0u);

    // A container removed by hand still lets the record go.
    catalogue_.AddVault(u"丙", dos(file), 1, 0, 0, u"");
    answers_ = {true, true};
    EXPECT_EQ(DestroyVault(catalogue_, client_, u"丙", ask()).result, OpResult::Done);
    EXPECT_EQ(catalogue_.GetCount(), 0u);
}

TEST_F(OpsTest, OpenVaultsAreNotDeletedDestroyedOrEdited)
{
    const std::string file = base_ + "/a.lkb";
    std::ofstream(file) << "ciphertext";
    catalogue_.AddVault(u"v", dos(file), 0, u'P', 0, u"");
    report_volume(u'P', dos(file));
    answers_ = {true, true, true};
    EXPECT_EQ(DeleteVault(catalogue_, client_, u"v", ask()).stop, StopReason::Mounted);
    EXPECT_EQ(DestroyVault(catalogue_, client_, u"v", ask()).stop, StopReason::Mounted);
    PropertiesView view;
    EXPECT_EQ(LoadVaultProperties(catalogue_, client_, u"v", view).stop, StopReason::Mounted);
    EXPECT_EQ(UpdateVaultProperties(catalogue_, client_, {u"v", u'Q', 1, u"x"}).stop,
              StopReason::Mounted);
    EXPECT_TRUE(asked_.empty());
    EXPECT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(catalogue_.GetCount(), 1u);
}

TEST_F(OpsTest, PropertiesOfferFreeLettersAndKeepThePolicyWithoutASelection)
{
    catalogue_.AddVault(u"fixed", u"C:\\a.lkb", 0, u'f', 1, u"d");
    catalogue_.AddVault(u"taken", u"C:\\b.lkb", 0, u'G', 0, u"d");
    catalogue_.AddVault(u"auto", u"C:\\c.lkb", 1, u'H', 0, u"d");
    use_letter(u'G');

    PropertiesView view;
    ASSERT_EQ(LoadVaultProperties(catalogue_, client_, u"fixed", view).result, OpResult::Done);
    ASSERT_GE(view.letters.size(), 3u);
    EXPECT_EQ(view.letters[0].text, u"自动分配");
    EXPECT_EQ(view.letters[0].data, 0);
    for (const auto& item : view.letters)
        EXPECT_NE(item.data, u'G') << "a taken letter is not offered";
    ASSERT_GE(view.selectedLetter, 1);
    EXPECT_EQ(view.letters[size_t(view.selectedLetter)].data, u'F') << "letter case ignored";
    LoadVaultProperties(catalogue_, client_, u"taken", view);
    EXPECT_EQ(view.selectedLetter, -1);
    LoadVaultProperties(catalogue_, client_, u"auto", view);
    EXPECT_EQ(view.selectedLetter, 0);

    UpdateVaultProperties(catalogue_, client_, {u"fixed", 0, 0, u"新"});
    UpdateVaultProperties(catalogue_, client_, {u"taken", -1, 1, u"x"});
    UpdateVaultProperties(catalogue_, client_, {u"auto", u'K', 1, u""});
    VaultCatalogue saved;
    ASSERT_TRUE(saved.LoadConfig(u"Lockbin.xml"));
    VaultRecord r;
    ASSERT_TRUE(saved.FindByName(u"fixed", r));
    EXPECT_EQ(r.autoassign, 1) << "automatic keeps the stored letter to try first";
    EXPECT_EQ(r.Letter, u'f');
    EXPECT_EQ(r.loadtype, 0);
    EXPECT_EQ(r.Description, u"新");
    ASSERT_TRUE(saved.FindByName(u"taken", r));
    EXPECT_EQ(r.autoassign, 0) << "no selection keeps the policy";
    EXPECT_EQ(r.Letter, u'G');
    EXPECT_EQ(r.loadtype, 1);
    ASSERT_TRUE(saved.FindByName(u"auto", r));
    EXPECT_EQ(r.autoassign, 0);
    EXPECT_EQ(r.Letter, u'K');
}

TEST_F(OpsTest, ImportChecksInOrderAndCataloguesWithoutReadingTheFile)
{
    const std::string file = base_ + "/存档.lkb";
    std::ofstream(file) << "not a vault at all";
    catalogue_.AddVault(u"Ä", dos(base_ + "/other.lkb"), 1, 0, 0, u"");
    auto import = [&](std::u16string name, std::u16string path) {
        return ImportVault(catalogue_, {name, path, 0, 1, u"d"});
    };
    EXPECT_EQ(import(u"", u"").message, MessageId::NameEmpty);
    EXPECT_EQ(import(u"n", u"").focus, kIdPath);
    Outcome o = import(u"ä", dos(base_));
    EXPECT_EQ(o.message, MessageId::ImportFileMissing) << "a folder is not a file";
    EXPECT_EQ(o.focus, kIdPath);
    EXPECT_EQ(import(u"ä", dos(file)).message, MessageId::NameExists);
    // The host's names are case-sensitive: a second file whose name differs in case only.
    std::ofstream(base_ + "/OTHER.lkb") << "x";
    o = import(u"ä", dos(base_) + u"\\OTHER.lkb");
    EXPECT_EQ(o.message, MessageId::NameExists) << "the name test before the path test";
    o = import(u"new", dos(base_) + u"\\OTHER.lkb");
    EXPECT_EQ(o.message, MessageId::ImportDuplicatePath);
    EXPECT_EQ(o.focus, 0);
    EXPECT_EQ(catalogue_.GetCount(), 1u);
    EXPECT_EQ(config_text(), "");

    o = ImportVault(catalogue_, {NameFromContainerPath(dos(file)), dos(file), 0, 1, u"d"});
    ASSERT_EQ(o.result, OpResult::Done);
    VaultCatalogue saved;
    ASSERT_TRUE(saved.LoadConfig(u"Lockbin.xml"));
    VaultRecord r;
    ASSERT_TRUE(saved.FindByName(u"存档", r));
    EXPECT_EQ(r.autoassign, 1);
    EXPECT_EQ(r.Letter, 0) << "the letter is chosen at the first opening";
    EXPECT_TRUE(device_->requests().empty()) << "importing never asks the driver";

    for (const char* n : {"/3.lkb", "/4.lkb", "/5.lkb"})
        std::ofstream(base_ + n) << "x";
    EXPECT_EQ(import(u"3", dos(base_ + "/3.lkb")).result, OpResult::Done);
    EXPECT_EQ(import(u"4", dos(base_ + "/4.lkb")).result, OpResult::Done);
    EXPECT_EQ(import(u"5", dos(base_ + "/5.lkb")).message, MessageId::TooManyVaults);
    EXPECT_EQ(import(u"5", dos(file)).message, MessageId::ImportDuplicatePath)
        << "the limit is checked last";
}

TEST_F(OpsTest, DefaultFolderIsStoredAsTypedAfterItsChecks)
{
    catalogue_.DefaultPath = dos(base_);
    Outcome o = ChangeDefaultFolder(catalogue_, u"", ask());
    EXPECT_EQ(o.message, MessageId::DefaultPathEmpty);
    EXPECT_EQ(o.focus, kIdDefaultPath);
    EXPECT_EQ(ChangeDefaultFolder(catalogue_, dos(base_), ask()).result, OpResult::Done);
    EXPECT_EQ(config_text(), "") << "unchanged text saves nothing";
    EXPECT_EQ(ChangeDefaultFolder(catalogue_, u"Q:\\x", ask()).message,
              MessageId::DefaultPathNotLocal);

    const std::u16string fresh = dos(base_) + u"\\默认\\位置\\";
    o = ChangeDefaultFolder(catalogue_, fresh, ask());
    EXPECT_EQ(o.declined, MessageId::DefaultPathCreateAsk);
    EXPECT_EQ(o.focus, kIdDefaultPath);
    EXPECT_FALSE(std::filesystem::exists(base_ + "/默认"));
    answers_ = {true};
    EXPECT_EQ(ChangeDefaultFolder(catalogue_, fresh, ask()).result, OpResult::Done);
    EXPECT_TRUE(std::filesystem::is_directory(base_ + "/默认/位置"));
    VaultCatalogue saved;
    ASSERT_TRUE(saved.LoadConfig(u"Lockbin.xml"));
    EXPECT_EQ(saved.DefaultPath, fresh) << "with its trailing backslash, as typed";
}

} // namespace
