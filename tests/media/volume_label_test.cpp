// The volume label that names a drive's folder, read from NTFS images that mkntfs made. A
// volume holds whatever its owner wrote, so a damaged record gives no label, never a read
// beyond the record.
#include "bridge_fsmount_media.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using ntos::detail::ntfs_volume_label;

class VolumeLabel : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (std::system("command -v mkntfs >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "needs mkntfs (package ntfs-3g)";
        char name[] = "/tmp/lockbin-label.XXXXXX";
        int fd = ::mkstemp(name);
        ASSERT_GE(fd, 0);
        ::close(fd);
        image_ = name;
    }
    void TearDown() override
    {
        if (!image_.empty())
            ::unlink(image_.c_str());
    }

    std::vector<char> make(const std::string& label)
    {
        std::string command = "truncate -s 8M '" + image_ + "' && mkntfs -q -F -Q -s 512 -L '" +
                              label + "' '" + image_ + "' >/dev/null 2>&1";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        std::ifstream in(image_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::u16string label_of(const std::vector<char>& bytes)
    {
        std::ofstream(image_, std::ios::binary | std::ios::trunc).write(bytes.data(), bytes.size());
        int fd = ::open(image_.c_str(), O_RDONLY | O_CLOEXEC);
        std::u16string label = ntfs_volume_label(fd);
        ::close(fd);
        return label;
    }
    // Where the UTF-16LE text first occurs: the label's value in the $Volume record.
    static size_t find(const std::vector<char>& bytes, const std::u16string& text)
    {
        std::string pattern;
        for (char16_t c : text)
            pattern += {char(c & 0xff), char(c >> 8)};
        auto at = std::search(bytes.begin(), bytes.end(), pattern.begin(), pattern.end());
        return at == bytes.end() ? std::string::npos : size_t(at - bytes.begin());
    }

    std::string image_;
};

TEST_F(VolumeLabel, ReadsTheLabelMkntfsWrote)
{
    EXPECT_EQ(label_of(make("保险箱 1")), u"保险箱 1");
    EXPECT_EQ(label_of(make("")), u"");
}

TEST_F(VolumeLabel, DamagedOrForeignVolumesGiveNoLabel)
{
    const std::vector<char> good = make("Damaged");
    size_t value = find(good, u"Damaged");
    ASSERT_NE(value, std::string::npos);
    ASSERT_EQ(label_of(good), u"Damaged");

    // A value length reaching far beyond the record (the resident header puts it 8 bytes
    // before the value, which follows the 24-byte header).
    std::vector<char> bytes = good;
    for (int i = 0; i < 4; ++i)
        bytes[value - 8 + i] = char(0xff);
    EXPECT_EQ(label_of(bytes), u"");

    // A sector of the record whose last two bytes do not match the update sequence.
    bytes = good;
    std::string magic = "FILE";
    size_t record =
        size_t(std::find_end(good.begin(), good.begin() + value, magic.begin(), magic.end()) -
               good.begin());
    ASSERT_LT(record, value);
    bytes[record + 510] ^= 0x5a;
    EXPECT_EQ(label_of(bytes), u"");

    // No NTFS at all, or only its boot sector.
    EXPECT_EQ(label_of(std::vector<char>(4096, 0)), u"");
    EXPECT_EQ(label_of(std::vector<char>(good.begin(), good.begin() + 512)), u"");
}

} // namespace
