// The sector routines over real container files: what lands in the file, what comes back.
#include <gtest/gtest.h>

#include <ntifs.h>
#include <ntos_host.h>

#include "devext.h"
#include "diskrw.h"
#include "private_host.h"
#include "sector_reference.h"

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<UCHAR>;
using sector_reference::Reference;

// Containers live in the binary's private folder, with the layer's host side started over it.
const std::string& container_folder()
{
    lockbin_test::start_private_host();
    return lockbin_test::private_folder();
}

// C: is the host's root, so a host path is reachable as \??\C:<path>.
std::u16string nt_path(const std::string& host)
{
    std::u16string out = u"\\??\\C:";
    for (char c : host) {
        out += c == '/' ? u'\\' : char16_t(c);
    }
    return out;
}

Bytes read_host(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    std::string text = s.str();
    return Bytes(text.begin(), text.end());
}

Bytes random_bytes(std::mt19937& rng, size_t n)
{
    Bytes out(n);
    for (auto& b : out) {
        b = (UCHAR)rng();
    }
    return out;
}

// A volume record over a container opened as the volume layer opens it (read-write, unbuffered,
// synchronous), with key material when a key is given.
struct Container {
    std::string path;
    DEVICE_EXTENSION ext{};
    BLOWFISH_CTX bf{};
    Bytes table = Bytes(DISKRW_TABLE_SIZE);

    Container(const std::string& name, const Bytes* key,
              ACCESS_MASK access = GENERIC_READ | GENERIC_WRITE)
        : path(container_folder() + "/" + name)
    {
        std::u16string nt = nt_path(path);
        UNICODE_STRING us;
        RtlInitUnicodeString(&us, nt.c_str());
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &us, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                                   nullptr);
        IO_STATUS_BLOCK iosb;
        NTSTATUS status = ZwCreateFile(&ext.FileHandle, access | SYNCHRONIZE, &oa, &iosb, nullptr,
                                       FILE_ATTRIBUTE_NORMAL, 0, FILE_OPEN_IF, 0x868, nullptr, 0);
        EXPECT_EQ(status, STATUS_SUCCESS) << name;
        if (key != nullptr) {
            DeriveVolumeKeyMaterial(key->data(), (ULONG)key->size(), &bf, table.data());
            ext.IsEncrypt = TRUE;
            ext.BlowFish = &bf;
            ext.EncryptSectors = table.data();
        }
    }
    ~Container()
    {
        if (ext.FileHandle != nullptr) {
            ZwClose(ext.FileHandle);
        }
    }

    NTSTATUS write(LONGLONG offset, Bytes data)
    {
        return DiskRW_Write(&ext, offset, data.data(), (ULONG)data.size());
    }

    Bytes stored(size_t offset, size_t length) const
    {
        Bytes all = read_host(path);
        if (all.size() < offset + length) {
            return {};
        }
        return Bytes(all.begin() + offset, all.begin() + offset + length);
    }
};

Bytes manager_key(std::mt19937& rng)
{
    Bytes key = random_bytes(rng, 20);
    key.resize(128, 0);
    return key;
}

TEST(DiskRWIo, EncryptedWritesStoreTheTransformAtTheirFileOffset)
{
    std::mt19937 rng(10);
    Bytes key = manager_key(rng);
    Reference ref(key);
    Container c("enc.lkb", &key);

    // Virtual-disk sectors 0..19 from file offset 512: across the table's end at sector 15.
    Bytes data = random_bytes(rng, 20 * 512);
    Bytes buffer = data;
    ASSERT_EQ(DiskRW_Write(&c.ext, 512, buffer.data(), (ULONG)buffer.size()), STATUS_SUCCESS);
    Bytes stored = c.stored(512, data.size());
    EXPECT_EQ(stored, ref.encrypt(512, data));
    // The write ciphers the caller's buffer in place, and nothing lands before the run.
    EXPECT_EQ(buffer, stored);
    EXPECT_EQ(c.stored(0, 512), Bytes(512, 0));

    // Reading back any whole-sector piece of it returns the data.
    for (auto [first, count] : {std::pair{0, 20}, {3, 1}, {14, 3}, {15, 5}, {19, 1}}) {
        Bytes back(512 * count, 0xCC);
        ASSERT_EQ(DiskRW_Read(&c.ext, 512 + 512 * first, back.data(), (ULONG)back.size()),
                  STATUS_SUCCESS);
        EXPECT_EQ(back, Bytes(data.begin() + 512 * first, data.begin() + 512 * (first + count)))
            << first << "+" << count;
    }
}

TEST(DiskRWIo, SameKeySameCiphertextAndZerosAreHidden)
{
    std::mt19937 rng(11);
    Bytes key = manager_key(rng);
    Container a("same-a.lkb", &key), b("same-b.lkb", &key);
    Bytes zeros(1024, 0), data = random_bytes(rng, 2048);
    ASSERT_EQ(a.write(512, zeros), STATUS_SUCCESS);
    ASSERT_EQ(b.write(512, zeros), STATUS_SUCCESS);
    ASSERT_EQ(a.write(4096, data), STATUS_SUCCESS);
    ASSERT_EQ(b.write(4096, data), STATUS_SUCCESS);
    EXPECT_EQ(read_host(a.path), read_host(b.path));
    EXPECT_NE(a.stored(512, 512), Bytes(512, 0));
    EXPECT_NE(a.stored(1024, 512), Bytes(512, 0));
}

TEST(DiskRWIo, UnencryptedVolumeStoresAndReturnsDataUnchanged)
{
    std::mt19937 rng(12);
    Container c("plain.lkb", nullptr);
    Bytes data = random_bytes(rng, 3 * 512);
    Bytes buffer = data;
    ASSERT_EQ(DiskRW_Write(&c.ext, 1024, buffer.data(), (ULONG)buffer.size()), STATUS_SUCCESS);
    EXPECT_EQ(buffer, data);
    EXPECT_EQ(c.stored(1024, data.size()), data);
    Bytes back(data.size());
    ASSERT_EQ(DiskRW_Read(&c.ext, 1024, back.data(), (ULONG)back.size()), STATUS_SUCCESS);
    EXPECT_EQ(back, data);
    // Alignment is the file system's business here: the unbuffered handle refuses it.
    EXPECT_EQ(DiskRW_Read(&c.ext, 1000, back.data(), 512), STATUS_INVALID_PARAMETER);
}

TEST(DiskRWIo, FailedReadIsNotDecryptedAndFailedWriteReportsItsStatus)
{
    std::mt19937 rng(13);
    Bytes key = manager_key(rng);
    Container c("fail.lkb", &key);
    ASSERT_EQ(c.write(512, random_bytes(rng, 1024)), STATUS_SUCCESS);

    // Past the end of the file: the read fails and the buffer is left alone, not "decrypted".
    Bytes buffer(1024, 0x5A);
    EXPECT_EQ(DiskRW_Read(&c.ext, 8192, buffer.data(), (ULONG)buffer.size()), STATUS_END_OF_FILE);
    EXPECT_EQ(buffer, Bytes(1024, 0x5A));

    // A read-only handle: the write's own status comes back and the file is unchanged.
    std::string roPath = container_folder() + "/readonly.lkb";
    std::ofstream(roPath, std::ios::binary) << std::string(2048, 'r');
    Container ro("readonly.lkb", &key, GENERIC_READ);
    EXPECT_EQ(ro.write(512, Bytes(512, 1)), STATUS_ACCESS_DENIED);
    EXPECT_EQ(read_host(roPath), Bytes(2048, 'r'));
}

TEST(DiskRWIo, EncryptedVolumeRefusesRunsOffTheSectorGrid)
{
    std::mt19937 rng(14);
    Bytes key = manager_key(rng);
    Container c("grid.lkb", &key);
    Bytes data = random_bytes(rng, 1024);
    ASSERT_EQ(c.write(512, data), STATUS_SUCCESS);
    Bytes before = read_host(c.path);

    Bytes buffer = data;
    EXPECT_EQ(DiskRW_Write(&c.ext, 512, buffer.data(), 1000), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DiskRW_Write(&c.ext, 516, buffer.data(), 512), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(buffer, data); // refused before anything was ciphered
    EXPECT_EQ(read_host(c.path), before);
    EXPECT_EQ(DiskRW_Read(&c.ext, -512, buffer.data(), 512), STATUS_INVALID_PARAMETER);
}

} // namespace
