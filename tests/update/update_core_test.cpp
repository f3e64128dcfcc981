// The version query, the signed download of the setup program and its start.
#include "local_server.h"
#include "setup_download.h"
#include "signing.h"
#include "update_check.h"

#include "common/text_encoding.h"

#include <chrono>
#include <thread>
#include <vector>

namespace {

TEST(UpdateVersion, PageFormatAndDisplay)
{
    EXPECT_EQ(ParseVersionPage("version=2001\n"), 2001u);
    EXPECT_EQ(ParseVersionPage("<html><!--\n  version=2001 \r\n--></html>"), 2001u);
    EXPECT_EQ(ParseVersionPage("\xEF\xBB\xBFversion=7"), 7u);
    EXPECT_EQ(ParseVersionPage("release=9\nversion=3\nversion=4\n"), 3u);
    for (const char* bad : {"", "version=", "version=12a", "version=-1", "version=4294967296",
                            "myversion=5", "VERSION=5"})
        EXPECT_EQ(ParseVersionPage(bad), 0u) << bad;

    EXPECT_EQ(FormatVersion(2000), u"2.0.00");
    EXPECT_EQ(FormatVersion(2001), u"2.0.01");
    EXPECT_EQ(FormatVersion(12345), u"1.2.34");
}

TEST(UpdateVersion, LatestVersionComesFromTheServerEachTime)
{
    REQUIRE_SERVER();
    const LocalServer& server = LocalServer::Get();
    server.Put("lockbin/update.html", "<p>Lockbin</p>\nversion=2001\n");
    EXPECT_EQ(GetLatestVersion(server.Base()), 2001u);
    server.Put("lockbin/update.html", "version=2002\n");
    EXPECT_EQ(GetLatestVersion(server.Base()), 2002u);
    // A page served without a length counts as well.
    EXPECT_EQ(GetLatestVersion(server.Base() + "/nolength"), 2002u);
    server.Remove("lockbin/update.html");
    EXPECT_EQ(GetLatestVersion(server.Base()), 0u);
    EXPECT_EQ(GetLatestVersion("http://127.0.0.1:1"), 0u);
}

struct Recorder : DownloadEvents {
    std::vector<std::string> events;
    void Connecting() override { events.push_back("connecting"); }
    void Downloading() override { events.push_back("downloading"); }
    void Done() override { events.push_back("done"); }
    void Failed(const std::u16string& status) override
    {
        events.push_back("failed:" + WideToUtf8(status));
    }
};

std::vector<std::string> g_started;
bool RecordStart(const std::string& path)
{
    g_started.push_back(path);
    return true;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class SetupDownloadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_SERVER();
        if (geteuid() != 0)
            GTEST_SKIP() << "a trusted keys file must belong to root: run the tests as root";
        char dir[] = "/tmp/lockbin-target-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        target = dir;
        std::ofstream(target + "/LockbinSetup.exe") << "old setup";
        setup = std::string(300000, 's') + "end";
        server.Put("lockbin/lockbinsetup.exe", setup);
        server.Put("lockbin/lockbinsetup.exe.sig", signer.Sign(setup));
        g_started.clear();
    }
    void TearDown() override
    {
        if (!target.empty())
            std::filesystem::remove_all(target);
    }

    bool Run(const std::string& base, int timeoutMs = 5000)
    {
        DownloadSettings settings;
        settings.baseUrl = base;
        settings.targetFolder = target;
        settings.keysFile = keys.Path();
        settings.receiveTimeoutMs = timeoutMs;
        settings.startDelayMs = 0;
        SetupDownload download(settings);
        download.start = &RecordStart;
        return download.Run(recorder);
    }
    size_t FilesInTarget() const
    {
        size_t n = 0;
        for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(target))
            ++n;
        return n;
    }
    void ExpectOldFileKept()
    {
        EXPECT_EQ(ReadFile(target + "/LockbinSetup.exe"), "old setup");
        EXPECT_EQ(FilesInTarget(), 1u) << "a temporary file was left behind";
        EXPECT_TRUE(g_started.empty());
    }

    const LocalServer& server = LocalServer::Get();
    TestSigner signer;
    KeysFile keys{"# test signer\n" + signer.PublicHex() + "\n"};
    std::string target, setup;
    Recorder recorder;
};

TEST_F(SetupDownloadTest, VerifiedDownloadReplacesTheSetupAndStartsIt)
{
    ASSERT_TRUE(Run(server.Base()));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"connecting", "downloading", "done"}));
    EXPECT_TRUE(ReadFile(target + "/LockbinSetup.exe") == setup);
    EXPECT_EQ(FilesInTarget(), 1u);
    EXPECT_EQ(access((target + "/LockbinSetup.exe").c_str(), X_OK), 0);
    EXPECT_EQ(g_started, (std::vector<std::string>{target + "/LockbinSetup.exe"}));
}

TEST_F(SetupDownloadTest, SignatureThatDoesNotVerifyKeepsTheOldFile)
{
    const std::string unsigned_status = "failed:" + WideToUtf8(kStatusUnsigned);
    const std::vector<std::string> refused = {"connecting", "downloading", unsigned_status};

    TestSigner stranger;
    server.Put("lockbin/lockbinsetup.exe.sig", stranger.Sign(setup));
    EXPECT_FALSE(Run(server.Base()));
    EXPECT_EQ(recorder.events, refused);
    ExpectOldFileKept();

    // A valid signature of other content, a short one, none at all.
    recorder.events.clear();
    server.Put("lockbin/lockbinsetup.exe.sig", signer.Sign(setup + "x"));
    EXPECT_FALSE(Run(server.Base()));
    server.Put("lockbin/lockbinsetup.exe.sig", signer.Sign(setup).substr(0, 63));
    EXPECT_FALSE(Run(server.Base()));
    server.Remove("lockbin/lockbinsetup.exe.sig");
    EXPECT_FALSE(Run(server.Base()));
    EXPECT_EQ(recorder.events.back(), unsigned_status);
    ExpectOldFileKept();
}

TEST_F(SetupDownloadTest, BrokenTransfersKeepTheOldFile)
{
    EXPECT_FALSE(Run(server.Base() + "/truncate"));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"connecting", "downloading", "failed:"}));
    ExpectOldFileKept();

    recorder.events.clear();
    EXPECT_FALSE(Run(server.Base() + "/nolength"));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"connecting", "failed:"}));
    ExpectOldFileKept();

    // 404: the status text never got past connecting.
    recorder.events.clear();
    server.Remove("lockbin/lockbinsetup.exe");
    EXPECT_FALSE(Run(server.Base()));
    EXPECT_EQ(recorder.events, (std::vector<std::string>{"connecting", "failed:"}));
    ExpectOldFileKept();
}

TEST_F(SetupDownloadTest, StalledServerIsBoundedByTheReceiveTimeout)
{
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(Run(server.Base() + "/stall", 300));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(recorder.events.back(), "failed:");
    ExpectOldFileKept();
}

TEST_F(SetupDownloadTest, CancelAbortsAWaitingTransfer)
{
    DownloadSettings settings;
    settings.baseUrl = server.Base() + "/stall";
    settings.targetFolder = target;
    settings.keysFile = keys.Path();
    SetupDownload download(settings);
    download.start = &RecordStart;
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        download.Cancel();
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(download.Run(recorder));
    canceller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(download.Cancelled());
    ExpectOldFileKept();
}

TEST(UpdateKeys, OnlyARootOnlyKeysFileAddsKeys)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "making files that belong to root or to another user needs root";
    TestSigner signer;
    const std::string data = "setup program bytes";
    const std::string signature = signer.Sign(data);
    auto verifies = [&](const std::string& file) {
        return VerifySetupSignature(data.data(), data.size(),
                                    reinterpret_cast<const uint8_t*>(signature.data()),
                                    signature.size(), TrustedUpdateKeys(file.c_str()));
    };

    KeysFile keys("not a key\n" + signer.PublicHex() + "  # the signer\n");
    ASSERT_TRUE(verifies(keys.Path()));
    EXPECT_FALSE(VerifySetupSignature("setup program bytez", data.size(),
                                      reinterpret_cast<const uint8_t*>(signature.data()),
                                      signature.size(), TrustedUpdateKeys(keys.Path().c_str())));

    const std::string link = keys.Folder() + "/link";
    ASSERT_EQ(symlink(keys.Path().c_str(), link.c_str()), 0);
    EXPECT_FALSE(verifies(link));

    chmod(keys.Path().c_str(), 0664);
    EXPECT_FALSE(verifies(keys.Path()));
    chmod(keys.Path().c_str(), 0644);
    chmod(keys.Folder().c_str(), 0770);
    EXPECT_FALSE(verifies(keys.Path()));
    chmod(keys.Folder().c_str(), 0700);
    ASSERT_EQ(chown(keys.Path().c_str(), 65534, 65534), 0);
    EXPECT_FALSE(verifies(keys.Path()));
    EXPECT_FALSE(verifies("relative/update-keys"));
}

TEST(UpdateStart, RunasAsRootStartsTheFileDirectly)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "as another user the start goes through pkexec and a password prompt";
    char dir[] = "/tmp/lockbin-runas-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string folder = dir, script = folder + "/LockbinSetup.exe";
    std::ofstream(script) << "#!/bin/sh\nid -u > \"$(dirname \"$0\")/ran.tmp\"\n"
                          << "mv \"$(dirname \"$0\")/ran.tmp\" \"$(dirname \"$0\")/ran\"\n";
    chmod(script.c_str(), 0755);
    ASSERT_TRUE(StartSetupElevated(script));
    for (int i = 0; i < 300 && access((folder + "/ran").c_str(), F_OK) != 0; ++i)
        usleep(10000);
    EXPECT_EQ(ReadFile(folder + "/ran"), "0\n");
    EXPECT_FALSE(StartSetupElevated(folder + "/missing"));
    std::filesystem::remove_all(folder);
}

} // namespace
