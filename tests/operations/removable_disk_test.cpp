// A removable disk, shown to the layer through a fake sysfs tree and mount table: the settings
// list leaves it out and the operations refuse it, changing nothing.
#include "ops_fixture.h"

#include "fileapi.h"
#include "host_views_for_tests.h"
#include "messages.h"

#include <stdlib.h>

#include <algorithm>
#include <filesystem>

namespace {

class RemovableDisk : public OpsTest {
protected:
    void SetUp() override
    {
        OpsTest::SetUp();
        namespace fs = std::filesystem;
        // R: is a folder that the mount table says is /dev/sdz1, a partition of a removable disk.
        fs::create_directories(base_ + "/stick");
        char* real = realpath((base_ + "/stick").c_str(), nullptr);
        ASSERT_NE(real, nullptr);
        stick_ = real;
        free(real);
        const std::string sys = base_ + "/sys";
        fs::create_directories(sys + "/devices/sdz/sdz1");
        fs::create_directories(sys + "/class");
        std::ofstream(sys + "/devices/sdz/removable") << "1\n";
        std::ofstream(sys + "/devices/sdz/sdz1/partition") << "1\n";
        fs::create_directory_symlink(sys + "/devices/sdz/sdz1", sys + "/class/sdz1");
        {
            std::ifstream host("/proc/self/mountinfo");
            std::ofstream table(base_ + "/mountinfo");
            table << host.rdbuf() << "9999 1 8:209 / " << stick_ << " rw - vfat /dev/sdz1 rw\n";
        }
        win32::detail::set_host_views_for_tests(sys + "/class", base_ + "/mountinfo");
        ASSERT_EQ(hostns::Namespace().define(u"R:", u"\\??\\" + dos(stick_)), 0);
    }
    void TearDown() override
    {
        win32::detail::set_host_views_for_tests("", "");
        OpsTest::TearDown();
    }
    std::string stick_;
};

TEST_F(RemovableDisk, IsLeftOutOfTheSettingsListAndRefusedByEveryOperation)
{
    ASSERT_EQ(GetDriveTypeW(u"R:\\"), UINT(DRIVE_REMOVABLE));
    EXPECT_EQ(GetDriveTypeW(u"C:\\"), UINT(DRIVE_FIXED)) << "only the stick's mount is removable";

    std::vector<SettingsDisk> disks = ListSettingsDisks(client_);
    auto has = [&](WCHAR letter) {
        return std::any_of(disks.begin(), disks.end(),
                           [&](const SettingsDisk& d) { return d.letter == letter; });
    };
    EXPECT_FALSE(has(u'R'));
    EXPECT_TRUE(has(u'C')) << "the fixed disks stay listed";

    std::ofstream(stick_ + "/old.lkb") << "container";
    ImportInput import;
    import.name = u"U盘";
    import.path = u"R:\\old.lkb";
    Outcome o = ImportVault(catalogue_, import);
    EXPECT_EQ(o.message, MessageId::ImportOnRemovable);
    EXPECT_EQ(MessageText(o.message), u"不能加载U盘等移动设备上的保险箱!");

    CreateInput create;
    create.name = u"U盘";
    create.path = u"R:\\new.lkb";
    create.sizeText = u"1";
    create.password = create.confirmation = u"Secret";
    o = CreateVault(catalogue_, client_, create, ask());
    EXPECT_EQ(o.message, MessageId::CreateOnRemovable);
    EXPECT_EQ(MessageText(o.message), u"保险箱不能创建在U盘等移动设备上!");

    o = ChangeDefaultFolder(catalogue_, u"R:\\", ask());
    EXPECT_EQ(o.message, MessageId::DefaultPathNotLocal);
    EXPECT_EQ(MessageText(o.message), u"路径所在的磁盘非本地硬盘,请重新选择一个路径!");

    EXPECT_EQ(catalogue_.GetCount(), 0);
    EXPECT_NE(catalogue_.DefaultPath, u"R:\\");
    EXPECT_EQ(config_text(), "") << "nothing saved";
    EXPECT_TRUE(requests_of(kMountNewDisk).empty());
    EXPECT_TRUE(asked_.empty());
    std::vector<std::string> left;
    for (auto& e : std::filesystem::directory_iterator(stick_))
        left.push_back(e.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"old.lkb"});
}

} // namespace
