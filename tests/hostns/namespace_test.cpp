#include "hostns/hostns.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

using hostns::Namespace;
using hostns::Status;

TEST(Text, Utf8RoundTripsEveryUtf16String)
{
    const std::u16string samples[] = {u"plain", u"保险箱", u"\U0001D11E clef",
                                      std::u16string(1, char16_t(0xD800)) + u"lone"};
    for (const auto& s : samples)
        EXPECT_EQ(hostns::from_utf8(hostns::to_utf8(s)), s);
    EXPECT_EQ(hostns::to_utf8(u"\U0001D11E"), "\xF0\x9D\x84\x9E");
    EXPECT_EQ(hostns::from_utf8("a\xFF"
                                "b"),
              u"a\uFFFDb");
    EXPECT_EQ(hostns::from_utf8("\xC0\xAF"), u"\uFFFD\uFFFD") << "overlong forms are refused";
}

TEST(Text, DisplayPolicyGivesWellFormedUtf8)
{
    const std::u16string lone = u"a" + std::u16string(1, char16_t(0xDC00)) + u"b";
    EXPECT_EQ(hostns::to_utf8(lone, hostns::utf8_policy::display), "a\xEF\xBF\xBD"
                                                                   "b");
    EXPECT_EQ(hostns::to_utf8(lone), "a\xED\xB0\x80"
                                     "b");
    // An encoded surrogate is a name's lone surrogate, but three bad bytes for display.
    EXPECT_EQ(hostns::from_utf8("\xED\xB0\x80"), std::u16string(1, char16_t(0xDC00)));
    EXPECT_EQ(hostns::from_utf8("\xED\xB0\x80", hostns::utf8_policy::display),
              u"\uFFFD\uFFFD\uFFFD");
    // One U+FFFD per maximal ill-formed subpart, in both policies.
    EXPECT_EQ(hostns::from_utf8("A\xE4\xB8"), u"A\uFFFD") << "cut short at the end";
    EXPECT_EQ(hostns::from_utf8("\xE4\xB8"
                                "A\xF4\x90\x80\x80"),
              u"\uFFFDA\uFFFD\uFFFD\uFFFD\uFFFD")
        << "cut short by a letter; above U+10FFFF";
    EXPECT_TRUE(hostns::is_utf8("\xE4\xBF\x9D\xF0\x9D\x84\x9E\xEF\xBF\xBD"));
    for (const char* bad : {"\xC0\xAF", "\xED\xA0\x80", "\xE4\xBF", "\xF4\x90\x80\x80", "\xFF"})
        EXPECT_FALSE(hostns::is_utf8(bad)) << bad;
}

// Unicode's simple uppercase facts as a 1:1 table over the BMP keeps them, and the two it leaves
// out; written out here rather than derived from the generated table.
TEST(Text, UpcaseIsOneToOneOverTheBmp)
{
    const std::pair<char16_t, char16_t> facts[] = {
        {u'a', u'A'},     {u'ä', u'Ä'},     {u'é', u'É'},     {0x00FF, 0x0178},
        {0x01C5, 0x01C4}, {0x01C6, 0x01C4}, {u'ς', u'Σ'},     {u'ё', u'Ё'},
        {u'ａ', u'Ａ'},   {0x00DF, 0x00DF}, {0x0131, 0x0131}, {0x017F, 0x017F},
        {u'İ', u'İ'},     {u'Ä', u'Ä'},     {0xD800, 0xD800}, {u'中', u'中'},
    };
    for (auto [in, out] : facts)
        EXPECT_EQ(int(hostns::upcase(in)), int(out)) << std::hex << int(in);
    EXPECT_TRUE(hostns::iequal(u"ÄÉÎÕÜ ÿ", u"äéîõü Ÿ"));
    EXPECT_FALSE(hostns::iequal(u"ı", u"I")) << "no second spelling of an ASCII name";
    EXPECT_TRUE(hostns::istarts_with(u"\\DEVICE\\Äx", u"\\device\\ä"));
}

TEST(Text, FolderEntriesMatchIgnoringCase)
{
    char pattern[] = "/tmp/lockbin-fold-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    for (const char* name : {"Äb É.lkb", "caf\xE9", "s\xED\xA0\x80"})
        std::ofstream(dir + "/" + name) << "x";
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(hostns::find_entry_ignoring_case(fd, "äB é.LKB"), "Äb É.lkb");
    EXPECT_EQ(hostns::find_entry_ignoring_case(fd, "CAF\xE9"), "caf\xE9");
    EXPECT_EQ(hostns::find_entry_ignoring_case(fd, "caf\xC9"), "")
        << "bytes that are not UTF-8 match only themselves";
    EXPECT_EQ(hostns::find_entry_ignoring_case(fd, "S\xED\xA0\x80"), "s\xED\xA0\x80");
    EXPECT_EQ(hostns::find_entry_ignoring_case(fd, "S\xED\xA0\x81"), "");
    EXPECT_EQ(hostns::find_entry_ignoring_case(fd, ".."), "");
    ::close(fd);
    std::filesystem::remove_all(dir);
}

TEST(Text, DosPathsToNtForm)
{
    auto nt = [](std::u16string_view dos) {
        std::u16string out;
        Status s = hostns::dos_to_nt(dos, out);
        return s == Status::ok ? out : u"<" + std::u16string(1, char16_t('0' + int(s))) + u">";
    };
    EXPECT_EQ(nt(u"C:\\a\\..\\b"), u"\\??\\C:\\b");
    EXPECT_EQ(nt(u"c:/x//y/./z"), u"\\??\\C:\\x\\y\\z");
    EXPECT_EQ(nt(u"D:\\..\\..\\etc"), u"\\??\\D:\\etc") << "never above the drive";
    EXPECT_EQ(nt(u"Z:"), u"\\??\\Z:\\");
    EXPECT_EQ(nt(u"\\\\?\\C:\\x\\..\\y"), u"\\??\\C:\\x\\..\\y") << "verbatim";
    EXPECT_EQ(nt(u"\\\\.\\ZELRedAv"), u"\\??\\ZELRedAv");
    EXPECT_EQ(nt(u"\\\\server\\share"),
              u"<" + std::u16string(1, char16_t('0' + int(Status::unsupported))) + u">");
    std::u16string out;
    EXPECT_EQ(hostns::dos_to_nt(u"relative\\x", out), Status::path_not_found);
    EXPECT_EQ(hostns::dos_to_nt(u"1:\\x", out), Status::path_not_found);
}

class Root : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/lockbin-hostns-XXXXXX";
        base_ = mkdtemp(pattern);
        for (const char* d : {"/home", "/disk", "/disk10", "/vault"})
            std::filesystem::create_directories(base_ + d);
        ns_ = Namespace(base_ + "/root", geteuid());
    }
    void TearDown() override { std::filesystem::remove_all(base_); }

    hostns::Resolution resolve(std::u16string_view nt) const { return ns_.nt_to_host(nt); }

    std::string base_;
    Namespace ns_{"/nonexistent", 0};
};

TEST_F(Root, LinksChainSessionFirstThenGlobal)
{
    ASSERT_EQ(ns_.publish_volume(u"\\Device\\HarddiskVolume1", base_ + "/disk"), 0);
    ASSERT_EQ(ns_.publish_volume(u"\\Device\\HarddiskVolume10", base_ + "/disk10"), 0);
    ASSERT_EQ(ns_.publish_global(u"E:", u"\\Device\\HarddiskVolume10"), 0);
    ASSERT_EQ(ns_.define(u"D:", u"\\??\\C:\\home\\u"), 0);

    auto r = resolve(u"\\??\\D:\\Lockbin\\v.lkb");
    ASSERT_EQ(r.status, Status::ok);
    EXPECT_EQ(r.host_path, base_ + "/disk/home/u/Lockbin/v.lkb");
    EXPECT_EQ(r.device, u"\\Device\\HarddiskVolume1");
    EXPECT_EQ(r.drive_target, u"\\??\\C:\\home\\u");

    EXPECT_EQ(resolve(u"\\??\\E:\\x").host_path, base_ + "/disk10/x")
        << "HarddiskVolume1 is not a prefix of HarddiskVolume10";
    EXPECT_EQ(resolve(u"\\DosDevices\\e:\\x").host_path, base_ + "/disk10/x");
    EXPECT_EQ(resolve(u"\\Device\\HARDDISKVOLUME10").host_path, base_ + "/disk10");

    // A session definition shadows the global one, except through \GLOBAL??.
    ASSERT_EQ(ns_.define(u"e:", u"\\Device\\HarddiskVolume1"), 0);
    EXPECT_EQ(resolve(u"\\??\\E:\\x").host_path, base_ + "/disk/x");
    EXPECT_EQ(resolve(u"\\GLOBAL??\\E:\\x").host_path, base_ + "/disk10/x");
    EXPECT_EQ(resolve(u"\\??\\Global\\E:\\x").host_path, base_ + "/disk10/x");
    EXPECT_EQ(resolve(u"\\DosDevices\\Global\\E:").host_path, base_ + "/disk10");
    EXPECT_EQ(ns_.remove(u"E:"), 0);
    EXPECT_EQ(resolve(u"\\??\\E:\\x").host_path, base_ + "/disk10/x");
    EXPECT_EQ(ns_.remove(u"E:"), ENOENT);
}

TEST_F(Root, ResolutionFailuresAreTold)
{
    EXPECT_EQ(resolve(u"\\??\\Q:\\x").status, Status::name_not_found);
    EXPECT_EQ(resolve(u"\\Device\\Nothing\\x").status, Status::path_not_found);
    EXPECT_EQ(resolve(u"C:\\x").status, Status::path_not_found) << "not an NT path";
    ASSERT_EQ(ns_.publish_global(u"Z:", u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskZ"), 0);
    EXPECT_EQ(resolve(u"\\??\\Z:\\x").status, Status::not_ready) << "no file system mounted";
    ASSERT_EQ(ns_.publish_volume(u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskZ", base_ + "/vault"),
              0);
    EXPECT_EQ(resolve(u"\\??\\Z:\\x").host_path, base_ + "/vault/x");

    EXPECT_EQ(resolve(u"\\??\\C:\\a\\..\\..\\etc").status, Status::invalid_name);
    EXPECT_EQ(resolve(u"\\??\\C:\\.").status, Status::invalid_name);

    ASSERT_EQ(ns_.define(u"L:", u"\\??\\M:\\a"), 0);
    ASSERT_EQ(ns_.define(u"M:", u"\\??\\L:\\b"), 0);
    EXPECT_EQ(resolve(u"\\??\\L:\\x").status, Status::too_many_links);

    EXPECT_EQ(ns_.define(u"a\\b", u"\\Device\\X"), EINVAL);
    EXPECT_EQ(ns_.define(u"..", u"\\Device\\X"), EINVAL);
    EXPECT_EQ(ns_.define(u"K:", u""), EINVAL);
    EXPECT_EQ(ns_.publish_volume(u"NotADevice", "/"), EINVAL);
    EXPECT_EQ(ns_.publish_volume(u"\\Device\\X", "relative"), EINVAL);
}

TEST_F(Root, NamesIgnoreCaseAndSurviveEscaping)
{
    ASSERT_EQ(ns_.define(u"z:", u"\\Device\\A"), 0);
    EXPECT_EQ(ns_.query(u"Z:"), u"\\Device\\A");
    EXPECT_TRUE(std::filesystem::is_symlink(ns_.session_dir() + "/Z:")) << "drives upper-cased";
    ASSERT_EQ(ns_.define(u"ZELRedAv", u"\\Device\\ZELRedAv"), 0);
    EXPECT_EQ(ns_.query(u"zelredav"), u"\\Device\\ZELRedAv");
    ASSERT_EQ(ns_.define(u"zelREDAV", u"\\Device\\Other"), 0);
    EXPECT_EQ(ns_.query(u"ZELRedAv"), u"\\Device\\Other") << "one definition per name";

    std::u16string odd = u"\\Device\\50%/Disk";
    ASSERT_EQ(ns_.publish_volume(odd, base_ + "/vault"), 0);
    EXPECT_EQ(ns_.volume_folder(u"\\device\\50%/disk"), base_ + "/vault");
    EXPECT_EQ(ns_.volume_folder(u"\\Device\\50%"), std::nullopt);
    EXPECT_EQ(ns_.volume_folder(u"\\Device\\HarddiskVolume1"), "/") << "built in";

    auto names = ns_.names();
    EXPECT_EQ(std::count(names.begin(), names.end(), u"C:"), 1);
    EXPECT_EQ(std::count(names.begin(), names.end(), u"Z:"), 1);
    EXPECT_EQ(ns_.drive_mask(), (1u << 2) | (1u << 25));
}

TEST_F(Root, SessionDefaultsFromTheDrivesFile)
{
    std::string file = base_ + "/drives";
    std::ofstream(file) << "# comment\n"
                        << "e: " << base_ << "/vault   # trailing comment\n"
                        << "F: relative/ignored\n"
                        << "D: none\n"
                        << "C: /elsewhere\n";
    ASSERT_EQ(ns_.ensure_session_defaults(base_ + "/home", file), 0);
    EXPECT_EQ(ns_.query_session(u"D:"), std::nullopt) << "D: switched off";
    EXPECT_EQ(ns_.query_session(u"F:"), std::nullopt);
    EXPECT_EQ(ns_.query_session(u"C:"), std::nullopt) << "C: is the host's, never a folder";
    auto e = resolve(u"\\??\\E:\\sub");
    ASSERT_EQ(e.status, Status::ok);
    EXPECT_EQ(e.host_path, base_ + "/vault/sub");

    Namespace other(base_ + "/root2", geteuid());
    ASSERT_EQ(other.ensure_session_defaults(base_ + "/home", base_ + "/missing"), 0);
    EXPECT_EQ(other.nt_to_host(u"\\??\\D:\\x").host_path, base_ + "/home/x");
    ASSERT_EQ(other.remove(u"D:"), 0);
    ASSERT_EQ(other.ensure_session_defaults(base_ + "/home", base_ + "/missing"), 0);
    EXPECT_EQ(other.query_session(u"D:"), std::nullopt) << "written once per session";
}

TEST_F(Root, ASessionFolderOfAnotherUserIsNotTrusted)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give the folder to another user";
    Namespace user(base_ + "/root", 4242);
    ASSERT_EQ(user.define(u"K:", u"\\Device\\Mine"), 0) << "the service sets up a user's session";
    EXPECT_EQ(user.query(u"K:"), u"\\Device\\Mine");
    struct stat st;
    ASSERT_EQ(stat((base_ + "/root/sessions/4242").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 4242u);

    // Someone else's folder under that user's number.
    ASSERT_EQ(chown((base_ + "/root/sessions/4242/DosDevices").c_str(), 999, 999), 0);
    EXPECT_EQ(user.query(u"K:"), std::nullopt);
}

} // namespace
