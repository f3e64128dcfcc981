// The create operation's FAT rules on a real FAT32 volume (an image served by fusefat, since
// this kernel has no vfat) at a drive of the user's session, with the fake control device
// answering: only the request the operation sends matters here.
#include "ops_fixture.h"

#include "disk_helpers.h"

#include <filesystem>

namespace {

class FatRules : public OpsTest {
protected:
    void SetUp() override
    {
        if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "mounting the FAT image needs root and /dev/fuse";
        if (std::system("command -v fusefat >/dev/null && command -v mkfs.vfat >/dev/null") != 0)
            GTEST_SKIP() << "needs fusefat and mkfs.vfat (packages fusefat, dosfstools)";
        OpsTest::SetUp();
        fat_ = base_ + "/fat";
        std::filesystem::create_directories(fat_);
        // 6 GiB: room for the 5 G that the FAT rule, not the free space, must refuse.
        const std::string image = base_ + "/fat.img";
        ASSERT_EQ(std::system(("truncate -s 6G '" + image + "' && mkfs.vfat -F 32 '" + image +
                               "' >/dev/null && fusefat -o rw+ '" + image + "' '" + fat_ +
                               "' >/dev/null 2>&1")
                                  .c_str()),
                  0);
        mounted_ = true;
        ASSERT_EQ(hostns::Namespace().define(u"E:", u"\\??\\" + dos(fat_)), 0);
    }
    void TearDown() override
    {
        if (mounted_)
            (void)!std::system(("fusermount -u '" + fat_ + "'").c_str());
        OpsTest::TearDown();
    }

    CreateInput input(const char16_t* size)
    {
        CreateInput in;
        in.name = u"fat";
        in.path = u"E:\\fat.lkb";
        in.sizeText = size;
        in.password = in.confirmation = u"Secret";
        return in;
    }

    std::string fat_;
    bool mounted_ = false;
};

TEST_F(FatRules, FourIsShrunkMoreIsRefusedAndEveryAcceptedSizeIsAsked)
{
    ASSERT_TRUE(IsFatVolume(u'E')) << "the layer names the fusefat volume FAT32";
    Outcome o = CreateVault(catalogue_, client_, input(u"5"), ask());
    EXPECT_EQ(o.message, MessageId::FatTooLarge);
    EXPECT_EQ(o.focus, kIdSize);
    EXPECT_TRUE(asked_.empty());

    o = CreateVault(catalogue_, client_, input(u"1"), ask());
    EXPECT_EQ(o.declined, MessageId::FatAsk) << "small sizes are asked too";
    ASSERT_EQ(asked_.size(), 1u);
    EXPECT_EQ(GetMessageSpec(MessageId::FatAsk).caption, std::u16string(u"继续创建"));
    EXPECT_TRUE(requests_of(kMountNewDisk).empty());

    answers_ = {true};
    o = CreateVault(catalogue_, client_, input(u"4"), ask());
    ASSERT_EQ(o.result, OpResult::Done);
    auto mounts = requests_of(kMountNewDisk);
    ASSERT_EQ(mounts.size(), 1u);
    uint64_t size = 0;
    for (int i = 0; i < 8; ++i)
        size |= uint64_t(mounts[0].input[528 + i]) << (8 * i);
    EXPECT_EQ(size, 4293918720u);
}

} // namespace
