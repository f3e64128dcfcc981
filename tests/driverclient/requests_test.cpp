// The control requests as the device receives them, byte for byte, and the volume query's
// decoding, against a fake control device on a temporary runtime folder.
#include "client_fixture.h"

#include "handle_table.h"

#include <cstring>
#include <memory>
#include <string>

namespace {

// Control codes and offsets as the driver's protocol publishes them, written out here rather than
// taken from the shared header, so a slip in either shows.
constexpr uint32_t kQueryVolume = 0x8520E404;
constexpr uint32_t kMountNewDisk = 0x8520E40C;
constexpr uint32_t kMountExistDisk = 0x8520E410;
constexpr uint32_t kDismount = 0x8520E414;
constexpr int32_t kStatusUnsuccessful = int32_t(0xC0000001);

uint64_t le(const std::vector<uint8_t>& b, size_t offset, size_t size)
{
    uint64_t v = 0;
    for (size_t i = 0; i < size; ++i)
        v |= uint64_t(b.at(offset + i)) << (8 * i);
    return v;
}

void put(std::vector<uint8_t>& b, size_t offset, uint64_t value, size_t size)
{
    for (size_t i = 0; i < size; ++i)
        b.at(offset + i) = uint8_t(value >> (8 * i));
}

void put_text(std::vector<uint8_t>& b, size_t offset, const std::u16string& text)
{
    for (size_t i = 0; i < text.size(); ++i)
        put(b, offset + 2 * i, text[i], 2);
}

// The zero-terminated text of a path field of `chars` code units; fails the test when the field
// holds no terminator.
std::u16string field_text(const std::vector<uint8_t>& b, size_t offset, size_t chars)
{
    std::u16string text;
    for (size_t i = 0; i < chars; ++i) {
        char16_t c = char16_t(le(b, offset + 2 * i, 2));
        if (c == 0)
            return text;
        text += c;
    }
    ADD_FAILURE() << "field at " << offset << " is not zero-terminated";
    return text;
}

bool all_zero(const std::vector<uint8_t>& b, size_t from, size_t to)
{
    for (size_t i = from; i < to; ++i)
        if (b.at(i) != 0)
            return false;
    return true;
}

std::vector<BYTE> key_block()
{
    std::vector<BYTE> key(128);
    for (size_t i = 0; i < key.size(); ++i)
        key[i] = BYTE(0xA0 ^ i);
    return key;
}

TEST_F(ClientTest, DriverPresenceOpensAndClosesWithoutARequest)
{
    EXPECT_TRUE(client_.IsDriverPresent());
    EXPECT_TRUE(device_->wait_all_closed());
    EXPECT_EQ(device_->opens(), 1);
    EXPECT_TRUE(device_->requests().empty());
}

TEST_F(ClientTest, ExistingDiskRequestCarriesEveryFieldAtItsOffset)
{
    const std::u16string path = u"E:\\vaults\\保险箱.lkb";
    const std::vector<BYTE> key = key_block();
    ASSERT_TRUE(client_.MountExistDisk(u'e', path, true, true, key.data(), 128, false));

    auto r = only_request();
    EXPECT_EQ(r.code, kMountExistDisk);
    EXPECT_EQ(r.output_length, 0u);
    ASSERT_EQ(r.input.size(), 680u);
    EXPECT_EQ(le(r.input, 0, 2), u'e') << "the letter goes on as the caller gave it";
    EXPECT_EQ(field_text(r.input, 2, 260), path);
    EXPECT_TRUE(all_zero(r.input, 2 + 2 * path.size(), 536)) << "path rest, reserved, DiskSize";
    EXPECT_EQ(r.input[536], 0) << "NoSparse";
    EXPECT_EQ(r.input[537], 1) << "IsReadOnly";
    EXPECT_EQ(r.input[538], 1) << "IsEncrypt";
    EXPECT_EQ(r.input[539], 0);
    EXPECT_EQ(le(r.input, 540, 4), 128u);
    EXPECT_TRUE(std::equal(key.begin(), key.end(), r.input.begin() + 544));
    EXPECT_TRUE(all_zero(r.input, 672, 680)) << "eight zero bytes follow the key";
}

TEST_F(ClientTest, NewDiskRequestJoinsTheSizeHalvesAndSendsNoSparse)
{
    const std::vector<BYTE> key = key_block();
    ASSERT_TRUE(client_.MountNewDisk(u'Z', u"C:\\v\\a.lkb", 0x89ABCDEFu, 0x01234567u, true, true,
                                     key.data(), 128, false));
    ASSERT_TRUE(client_.MountNewDisk(u'Y', u"C:\\v\\b.lkb", 1u << 30, 0, false, false, key.data(),
                                     16, false));

    auto requests = device_->requests();
    ASSERT_EQ(requests.size(), 2u);
    const auto& a = requests[0].input;
    EXPECT_EQ(requests[0].code, kMountNewDisk);
    ASSERT_EQ(a.size(), 680u);
    EXPECT_EQ(le(a, 528, 8), 0x0123456789ABCDEFull);
    EXPECT_EQ(a[536], 1) << "NoSparse";
    EXPECT_EQ(a[537], 0) << "IsReadOnly is not a new disk's";
    EXPECT_EQ(a[538], 1);

    const auto& b = requests[1].input;
    ASSERT_EQ(b.size(), 568u) << "552 + the key length given";
    EXPECT_EQ(le(b, 528, 8), 1ull << 30);
    EXPECT_EQ(b[536], 0);
    EXPECT_EQ(b[538], 0);
    EXPECT_EQ(le(b, 540, 4), 16u);
    EXPECT_TRUE(std::equal(key.begin(), key.begin() + 16, b.begin() + 544));
    EXPECT_TRUE(all_zero(b, 560, 568));
}

TEST_F(ClientTest, MountWithoutKeyBytesSendsNoKey)
{
    const std::vector<BYTE> key = key_block();
    ASSERT_TRUE(client_.MountExistDisk(u'F', u"C:\\a.lkb", false, true, nullptr, 0, false));
    ASSERT_TRUE(client_.MountExistDisk(u'F', u"C:\\a.lkb", false, true, key.data(), 0, false));
    // A length without bytes must not become a key of zeros that the driver would accept.
    ASSERT_TRUE(client_.MountExistDisk(u'F', u"C:\\a.lkb", false, true, nullptr, 128, false));

    auto requests = device_->requests();
    ASSERT_EQ(requests.size(), 3u);
    for (const auto& r : requests) {
        ASSERT_EQ(r.input.size(), 552u);
        EXPECT_EQ(le(r.input, 540, 4), 0u);
        EXPECT_TRUE(all_zero(r.input, 544, 552));
    }
}

TEST_F(ClientTest, LongPathsAreCutTo259CodeUnitsAndStayTerminated)
{
    struct Case {
        size_t length;
        size_t sent;
    };
    for (Case c : {Case{258, 258}, Case{259, 259}, Case{260, 259}, Case{300, 259}}) {
        std::u16string path = u"C:\\";
        while (path.size() < c.length)
            path += char16_t(u'a' + path.size() % 26);
        ASSERT_TRUE(client_.MountExistDisk(u'G', path, false, true, nullptr, 0, false));
        auto r = device_->requests().back();
        ASSERT_EQ(r.input.size(), 552u);
        EXPECT_EQ(field_text(r.input, 2, 260), path.substr(0, c.sent)) << c.length;
        EXPECT_TRUE(all_zero(r.input, 2 + 2 * c.sent, 528)) << c.length;
    }
    // An embedded zero ends the path: nothing after it reaches the request.
    std::u16string with_zero = u"C:\\a.lkb";
    with_zero += u'\0';
    with_zero += u"junk";
    ASSERT_TRUE(client_.MountExistDisk(u'G', with_zero, false, true, nullptr, 0, false));
    auto r = device_->requests().back();
    EXPECT_EQ(field_text(r.input, 2, 260), u"C:\\a.lkb");
    EXPECT_TRUE(all_zero(r.input, 2 + 2 * 8, 528));
}

TEST_F(ClientTest, DismountSendsLetterForceAndAZeroByte)
{
    ASSERT_TRUE(client_.DisMount(u'K', false));
    ASSERT_TRUE(client_.DisMount(u'k', true));
    auto requests = device_->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].code, kDismount);
    EXPECT_EQ(requests[0].output_length, 0u);
    EXPECT_EQ(requests[0].input, (std::vector<uint8_t>{'K', 0, 0, 0}));
    EXPECT_EQ(requests[1].input, (std::vector<uint8_t>{'k', 0, 1, 0}));
}

TEST_F(ClientTest, FailedRequestsReportFalse)
{
    FakeRedAvDevice::Reply refused;
    refused.status = kStatusUnsuccessful;
    device_->set_reply(kMountExistDisk, refused);
    device_->set_reply(kMountNewDisk, refused);
    device_->set_reply(kDismount, refused);
    EXPECT_FALSE(client_.MountExistDisk(u'H', u"C:\\a.lkb", false, true, nullptr, 0, false));
    EXPECT_FALSE(client_.MountNewDisk(u'H', u"C:\\a.lkb", 4096, 0, false, true, nullptr, 0, false));
    EXPECT_FALSE(client_.DisMount(u'H', true));
    EXPECT_EQ(device_->requests().size(), 3u);
}

// A reply record laid out at the protocol's offsets.
std::vector<uint8_t> volume_info(char16_t letter, const std::u16string& device,
                                 const std::u16string& path, uint64_t size, uint8_t cdrom,
                                 uint8_t ro, uint8_t encrypt, uint32_t state)
{
    std::vector<uint8_t> b(1064);
    put(b, 0, letter, 2);
    put_text(b, 2, device);
    put_text(b, 522, path);
    put(b, 1048, size, 8);
    b[1056] = cdrom;
    b[1057] = ro;
    b[1058] = encrypt;
    b[1059] = 0xEE; // reserved: must not leak into a flag
    put(b, 1060, state, 4);
    return b;
}

struct QueryOut {
    std::u16string device = u"untouched";
    std::u16string path = u"untouched";
    LARGE_INTEGER size{};
    BYTE cdrom = 7, ro = 7, encrypt = 7;
    DWORD state = 7;

    bool query(const RedAvClient& client, WCHAR letter)
    {
        return client.QueryVolume(letter, device, path, size, cdrom, ro, encrypt, state);
    }
    bool untouched() const
    {
        return device == u"untouched" && path == u"untouched" && size.QuadPart == 0 && cdrom == 7 &&
               ro == 7 && encrypt == 7 && state == 7;
    }
};

TEST_F(ClientTest, QueryDecodesTheRecordAtItsOffsets)
{
    FakeRedAvDevice::Reply reply;
    reply.information = 1064;
    reply.output = volume_info(u'Q', u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskQ",
                               u"\\Device\\HarddiskVolume1\\home\\u\\保险箱.lkb",
                               0x0000000123456789ull, 1, 0, 1, 2);
    device_->set_reply(kQueryVolume, reply);

    QueryOut out;
    ASSERT_TRUE(out.query(client_, u'q'));
    auto r = only_request();
    EXPECT_EQ(r.code, kQueryVolume);
    EXPECT_EQ(r.input, (std::vector<uint8_t>{'q', 0}));
    EXPECT_EQ(r.output_length, 1064u);

    EXPECT_EQ(out.device, u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskQ");
    EXPECT_EQ(out.path, u"\\Device\\HarddiskVolume1\\home\\u\\保险箱.lkb");
    EXPECT_EQ(out.size.QuadPart, 0x0000000123456789ll);
    EXPECT_EQ(out.size.u.LowPart, 0x23456789u);
    EXPECT_EQ(out.size.u.HighPart, 1);
    EXPECT_EQ(out.cdrom, 1);
    EXPECT_EQ(out.ro, 0);
    EXPECT_EQ(out.encrypt, 1);
    EXPECT_EQ(out.state, 2u);
}

TEST_F(ClientTest, QueryReadsNoTextBeyondItsField)
{
    // Fields filled to the last code unit, without a terminator of their own.
    FakeRedAvDevice::Reply reply;
    reply.information = 1064;
    reply.output = volume_info(u'R', std::u16string(260, u'd'), std::u16string(263, u'p'),
                               0x4141414141414141ull, 0, 1, 1, 0);
    device_->set_reply(kQueryVolume, reply);
    QueryOut out;
    ASSERT_TRUE(out.query(client_, u'R'));
    EXPECT_EQ(out.device, std::u16string(260, u'd'));
    EXPECT_EQ(out.path, std::u16string(263, u'p'));
}

TEST_F(ClientTest, FailedOrShortQueryLeavesTheOutputsAlone)
{
    FakeRedAvDevice::Reply refused;
    refused.status = kStatusUnsuccessful;
    refused.output = volume_info(u'S', u"x", u"y", 1, 1, 1, 1, 1);
    device_->set_reply(kQueryVolume, refused);
    QueryOut out;
    EXPECT_FALSE(out.query(client_, u'S'));
    EXPECT_TRUE(out.untouched());

    FakeRedAvDevice::Reply shortReply;
    shortReply.information = 1000;
    shortReply.output = volume_info(u'S', u"x", u"y", 1, 1, 1, 1, 1);
    shortReply.output.resize(1000);
    device_->set_reply(kQueryVolume, shortReply);
    EXPECT_FALSE(out.query(client_, u'S'));
    EXPECT_TRUE(out.untouched());
}

// A runtime folder where no service ever ran.
class NoDriverTest : public TestRuntime {};

TEST_F(NoDriverTest, EveryOperationFailsAndNothingIsPublished)
{
    RedAvClient client;
    size_t handles = win32::detail::handle_count();
    QueryOut out;
    const std::vector<BYTE> key = key_block();
    EXPECT_FALSE(client.IsDriverPresent());
    EXPECT_FALSE(client.MountExistDisk(u'T', u"C:\\a.lkb", false, true, key.data(), 128, true));
    EXPECT_FALSE(
        client.MountNewDisk(u'T', u"C:\\a.lkb", 1 << 20, 0, false, true, key.data(), 128, true));
    EXPECT_FALSE(client.DisMount(u'T', true));
    EXPECT_FALSE(out.query(client, u'T'));
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(win32::detail::handle_count(), handles);
    WCHAR target[260];
    EXPECT_EQ(QueryDosDeviceW(u"T:", target, 260), 0u);
}

} // namespace
