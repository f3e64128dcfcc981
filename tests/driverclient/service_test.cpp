// The client against the real service: the zelvirdk host built in this tree, started as a child
// over a temporary runtime and state folder.
#include "service_fixture.h"

namespace {

using service_fixture::read_text;
using service_fixture::ServiceTest;

TEST_F(ServiceTest, QueriesOfLettersWithoutAVaultFail)
{
    std::u16string device = u"untouched", path = u"untouched";
    LARGE_INTEGER size{};
    size.QuadPart = 77;
    BYTE cdrom = 7, ro = 7, encrypt = 7;
    DWORD state = 7;
    // E: has no volume; C: is an ordinary disk, not one of the driver's.
    for (WCHAR letter : {u'E', u'C'}) {
        EXPECT_FALSE(client_.QueryVolume(letter, device, path, size, cdrom, ro, encrypt, state))
            << char(letter);
    }
    EXPECT_EQ(device, u"untouched");
    EXPECT_EQ(path, u"untouched");
    EXPECT_EQ(size.QuadPart, 77);
    EXPECT_EQ(cdrom + ro + encrypt, 21);
    EXPECT_EQ(state, 7u);
    EXPECT_FALSE(client_.DisMount(u'E', true));
}

TEST_F(ServiceTest, NewVaultMountsQueriesAndDismounts)
{
    if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0)
        GTEST_SKIP() << "mounting a volume needs root and /dev/fuse";
    const std::string container = base_ + "/vault.lkb";
    std::vector<BYTE> key(128, 0);
    for (int i = 0; i < 20; ++i)
        key[i] = BYTE(0x31 + 7 * i);
    const WCHAR letter = client_.FindFreeLetter(true);
    ASSERT_NE(letter, 0);
    const ULONGLONG disk_size = 16ull << 20;

    ASSERT_TRUE(client_.MountNewDisk(letter, dos_path(container), DWORD(disk_size), 0, false, true,
                                     key.data(), 128, true))
        << read_text(log_);
    EXPECT_FALSE(client_.IsLetterFree(letter));

    std::u16string device, path;
    LARGE_INTEGER size{};
    BYTE cdrom = 7, ro = 7, encrypt = 7;
    DWORD state = 7;
    ASSERT_TRUE(client_.QueryVolume(letter, device, path, size, cdrom, ro, encrypt, state));
    EXPECT_EQ(device, std::u16string(u"\\Device\\ZELVirtualDisk\\ZELVirtualDisk") + letter);
    EXPECT_EQ(path, u"\\Device\\HarddiskVolume1" + dos_path(container).substr(2))
        << "the driver reports the container in device form";
    EXPECT_EQ(ULONGLONG(size.QuadPart), disk_size);
    EXPECT_EQ(cdrom, 0);
    EXPECT_EQ(ro, 0);
    EXPECT_EQ(encrypt, 1);
    EXPECT_EQ(state, 0u);

    ASSERT_TRUE(client_.DisMount(letter, false)) << read_text(log_);
    EXPECT_FALSE(client_.QueryVolume(letter, device, path, size, cdrom, ro, encrypt, state));
    EXPECT_TRUE(client_.IsLetterFree(letter)) << "neither the session's nor the driver's link";
    std::ifstream file(container, std::ios::binary | std::ios::ate);
    EXPECT_EQ(ULONGLONG(file.tellg()), disk_size + 1024) << "two hidden sectors around the disk";

    // The same container again: refused with another key, mounted read-only with its own.
    std::vector<BYTE> wrong = key;
    wrong[0] ^= 1;
    EXPECT_FALSE(
        client_.MountExistDisk(letter, dos_path(container), false, true, wrong.data(), 128, true));
    EXPECT_TRUE(client_.IsLetterFree(letter)) << "a failed mount leaves no definition";
    ASSERT_TRUE(
        client_.MountExistDisk(letter, dos_path(container), true, true, key.data(), 128, true))
        << read_text(log_);
    ASSERT_TRUE(client_.QueryVolume(letter, device, path, size, cdrom, ro, encrypt, state));
    EXPECT_EQ(ro, 1);
    EXPECT_EQ(ULONGLONG(size.QuadPart), disk_size);
    ASSERT_TRUE(client_.DisMount(letter, true));
    EXPECT_TRUE(client_.IsLetterFree(letter));
}

} // namespace
