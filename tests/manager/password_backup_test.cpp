#include "password_backup.h"

#include "test_root.h"

#include <openssl/evp.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>
#include <vector>

namespace {

std::vector<unsigned char> read_all(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The oracle: OpenSSL's AES-256-GCM over the same key and 96-bit IV, encrypting, no AAD.
std::vector<unsigned char> openssl_gcm(const std::vector<unsigned char>& plain)
{
    unsigned char key[32] = "Rq7#Lw2!Tz9@Kx4$Mp8&Vn3*Hb6^Jd1";
    const unsigned char iv[12] = {'g', '5', 'W', '!', 's', '8', 'P', '@', 'k', '2', 'D', '#'};
    std::vector<unsigned char> out(plain.size() + 16);
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    int n = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key, iv), 1);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, out.data(), &n, plain.data(), int(plain.size())), 1);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(size_t(n));
    return out;
}

class PasswordBackup : public TestRoot {};

TEST_F(PasswordBackup, CiphertextMatchesAnIndependentAesGcm)
{
    struct Case {
        std::u16string password;
        std::vector<unsigned char> utf16le; // written out by hand
    };
    const Case cases[] = {
        {u"abcd", {'a', 0, 'b', 0, 'c', 0, 'd', 0}},
        {u"密码", {0xC6, 0x5B, 0x01, 0x78}},
        // U+1D11E is two code units: four bytes of ciphertext.
        {u"\U0001D11E", {0x34, 0xD8, 0x1E, 0xDD}},
        // Longer than one AES block, so the counter moves on.
        {u"correct horse battery staple",
         {'c', 0, 'o', 0, 'r', 0, 'r', 0, 'e', 0, 'c', 0, 't', 0, ' ', 0, 'h', 0, 'o', 0,
          'r', 0, 's', 0, 'e', 0, ' ', 0, 'b', 0, 'a', 0, 't', 0, 't', 0, 'e', 0, 'r', 0,
          'y', 0, ' ', 0, 's', 0, 't', 0, 'a', 0, 'p', 0, 'l', 0, 'e', 0}},
    };
    int i = 0;
    for (const Case& c : cases) {
        std::string name = "backup" + std::to_string(i++) + ".lkbkey";
        ASSERT_TRUE(WritePasswordBackup(c.password, u"T:\\" + hostns::from_utf8(name)));
        std::vector<unsigned char> file = read_all(host(name));
        ASSERT_EQ(file.size(), 512 + c.utf16le.size());
        EXPECT_EQ(std::vector<unsigned char>(file.begin() + 512, file.end()),
                  openssl_gcm(c.utf16le))
            << name;
    }
    EXPECT_EQ(read_all(host("backup0.lkbkey")).size(), 520u);
}

TEST_F(PasswordBackup, FillerDiffersBetweenBackupsAndNoFileIsReplaced)
{
    ASSERT_TRUE(WritePasswordBackup(u"secret", u"T:\\one.lkbkey"));
    // The filler is seeded with the tick count: let it move on.
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(WritePasswordBackup(u"secret", u"T:\\two.lkbkey"));
    std::vector<unsigned char> one = read_all(host("one.lkbkey"));
    std::vector<unsigned char> two = read_all(host("two.lkbkey"));
    ASSERT_EQ(one.size(), 524u);
    ASSERT_EQ(two.size(), 524u);
    EXPECT_NE(std::vector<unsigned char>(one.begin(), one.begin() + 512),
              std::vector<unsigned char>(two.begin(), two.begin() + 512));
    EXPECT_EQ(std::vector<unsigned char>(one.begin() + 512, one.end()),
              std::vector<unsigned char>(two.begin() + 512, two.end()));

    EXPECT_FALSE(WritePasswordBackup(u"other", u"T:\\one.lkbkey"));
    EXPECT_EQ(read_all(host("one.lkbkey")), one) << "an existing file is never overwritten";
}

std::vector<std::u16string> shown;
bool record_shown(LPCWSTR path)
{
    shown.push_back(path);
    return true;
}

TEST_F(PasswordBackup, BackupStepSaysWhereOrThatItFailed)
{
    shown.clear();
    std::filesystem::create_directories(volume_ + "/keys");
    PasswordBackupOutcome none = BackupVaultPassword(u"", u"保险箱", u"pass", record_shown);
    EXPECT_TRUE(none.path.empty());
    EXPECT_TRUE(none.message.empty()) << "a cancelled picker shows nothing";

    PasswordBackupOutcome ok = BackupVaultPassword(u"T:\\keys", u"保险箱", u"pass", record_shown);
    EXPECT_EQ(ok.path, u"T:\\keys\\保险箱.lkbkey");
    EXPECT_EQ(ok.message, u"密码成功备份到 T:\\keys\\保险箱.lkbkey，请妥善保管!");
    EXPECT_FALSE(ok.errorIcon);
    EXPECT_EQ(read_all(host("keys/保险箱.lkbkey")).size(), 520u);
    EXPECT_EQ(shown, std::vector<std::u16string>{ok.path});

    PasswordBackupOutcome again =
        BackupVaultPassword(u"T:\\keys\\", u"保险箱", u"pass", record_shown);
    EXPECT_EQ(again.message, u"创建备份密码失败!");
    EXPECT_TRUE(again.errorIcon);
    PasswordBackupOutcome missing =
        BackupVaultPassword(u"T:\\none", u"保险箱", u"pass", record_shown);
    EXPECT_EQ(missing.message, u"创建备份密码失败!");
    EXPECT_EQ(shown.size(), 1u) << "only a written file is shown";
}

} // namespace
