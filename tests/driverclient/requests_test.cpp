// The control requests as the device receives them, byte for byte, and the volume query's
// decoding, against a fake control device on a temporary runtime folder.
#include "client_fixture.h"

#include <string>

namespace {

// Codes and offsets as the driver's protocol publishes them, written out rather than taken from
// the shared header, so that a slip in either shows.
constexpr uint32_t kQueryVolume = 0x8520E404;
constexpr uint32_t kMountNewDisk = 0x8520E40C;
constexpr uint32_t kMountExistDisk = 0x8520E410;
constexpr uint32_t kDismount = 0x8520E414;

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

// The text of a path field of `chars` code units; a field without a terminator fails the test.
std::u16string field_text(const std::vector<uint8_t>& b, size_t offset, size_t chars)
{
    std::u16string text;
    for (size_t i = 0; i < chars; ++i) {
        if (char16_t c = char16_t(le(b, offset + 2 * i, 2)); c != 0)
            text += c;
        else
            return text;
    }
    ADD_FAILURE() << "field at " << offset << " is not zero-terminated";
    return text;
}

bool all_zero(const std::vector<uint8_t>& b, size_t from, size_t to)
{
    return std::all_of(b.begin() + from, b.begin() + to, [](uint8_t v) { return v == 0; });
}

TEST_F(ClientTest, ExistingDiskRequestCarriesEveryFieldAtItsOffset)
{
    EXPECT_TRUE(client_.IsDriverPresent());
    EXPECT_TRUE(device_->requests().empty()) << "presence is an open and a close, no request";

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
    EXPECT_EQ(b[536] | b[538], 0);
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
    // A length whose request would not fit a 32-bit size is refused before the key is read.
    EXPECT_FALSE(
        client_.MountExistDisk(u'F', u"C:\\a.lkb", false, true, key.data(), 0xFFFFFFF0u, false));
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
    for (auto [length, sent] : {std::pair{258, 258}, {259, 259}, {260, 259}, {300, 259}}) {
        std::u16string path = u"C:\\";
        while (path.size() < size_t(length))
            path += char16_t(u'a' + path.size() % 26);
        ASSERT_TRUE(client_.MountExistDisk(u'G', path, false, true, nullptr, 0, false));
        auto r = device_->requests().back();
        ASSERT_EQ(r.input.size(), 552u);
        EXPECT_EQ(field_text(r.input, 2, 260), path.substr(0, sent)) << length;
        EXPECT_TRUE(all_zero(r.input, 2 + 2 * sent, 528)) << length;
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

// A reply record laid out at the protocol's offsets.
std::vector<uint8_t> volume_info(const std::u16string& device, const std::u16string& path,
                                 uint64_t size, uint8_t cdrom, uint8_t ro, uint8_t encrypt,
                                 uint32_t state)
{
    std::vector<uint8_t> b(1064);
    put(b, 0, u'Q', 2);
    for (size_t i = 0; i < device.size(); ++i)
        put(b, 2 + 2 * i, device[i], 2);
    for (size_t i = 0; i < path.size(); ++i)
        put(b, 522 + 2 * i, path[i], 2);
    put(b, 1048, size, 8);
    b[1056] = cdrom;
    b[1057] = ro;
    b[1058] = encrypt;
    b[1059] = 0xEE; // reserved: must not leak into a flag
    put(b, 1060, state, 4);
    return b;
}

FakeRedAvDevice::Reply query_reply(std::vector<uint8_t> record, uint64_t information = 1064,
                                   int32_t status = 0)
{
    return {status, information, std::move(record)};
}

TEST_F(ClientTest, QueryDecodesTheRecordAtItsOffsets)
{
    device_->set_reply(kQueryVolume,
                       query_reply(volume_info(u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskQ",
                                               u"\\Device\\HarddiskVolume1\\home\\u\\保险箱.lkb",
                                               0x0000000123456789ull, 1, 0, 1, 2)));
    QueryOut out;
    ASSERT_TRUE(out.query(client_, u'q'));
    auto r = only_request();
    EXPECT_EQ(r.code, kQueryVolume);
    EXPECT_EQ(r.input, (std::vector<uint8_t>{'q', 0}));
    EXPECT_EQ(r.output_length, 1064u);
    EXPECT_EQ(out.device, u"\\Device\\ZELVirtualDisk\\ZELVirtualDiskQ");
    EXPECT_EQ(out.path, u"\\Device\\HarddiskVolume1\\home\\u\\保险箱.lkb");
    EXPECT_EQ(out.size.u.LowPart, 0x23456789u);
    EXPECT_EQ(out.size.u.HighPart, 1);
    EXPECT_EQ(out.cdrom, 1);
    EXPECT_EQ(out.ro, 0);
    EXPECT_EQ(out.encrypt, 1);
    EXPECT_EQ(out.state, 2u);

    // Fields filled to their last code unit, with no terminator of their own, end there.
    device_->set_reply(kQueryVolume,
                       query_reply(volume_info(std::u16string(260, u'd'), std::u16string(263, u'p'),
                                               0x4141414141414141ull, 0, 1, 1, 0)));
    ASSERT_TRUE(out.query(client_, u'R'));
    EXPECT_EQ(out.device, std::u16string(260, u'd'));
    EXPECT_EQ(out.path, std::u16string(263, u'p'));
}

TEST_F(ClientTest, FailedRequestsReportFalseAndQueryOutputsStayAlone)
{
    const auto record = volume_info(u"x", u"y", 1, 1, 1, 1, 1);
    FakeRedAvDevice::Reply refused{kStatusUnsuccessful, 0, {}};
    for (uint32_t code : {kMountExistDisk, kMountNewDisk, kDismount})
        device_->set_reply(code, refused);
    EXPECT_FALSE(client_.MountExistDisk(u'H', u"C:\\a.lkb", false, true, nullptr, 0, false));
    EXPECT_FALSE(client_.MountNewDisk(u'H', u"C:\\a.lkb", 4096, 0, false, true, nullptr, 0, false));
    EXPECT_FALSE(client_.DisMount(u'H', true));

    QueryOut out;
    device_->set_reply(kQueryVolume, query_reply(record, 0, kStatusUnsuccessful));
    EXPECT_FALSE(out.query(client_, u'S'));
    EXPECT_TRUE(out.untouched());
    // A reply shorter than the record would read as an empty volume of size 0.
    device_->set_reply(
        kQueryVolume,
        query_reply(std::vector<uint8_t>(record.begin(), record.begin() + 1000), 1000));
    EXPECT_FALSE(out.query(client_, u'S'));
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(device_->requests().size(), 5u);
}

// A runtime folder where no service ever ran.
class NoDriverTest : public TestRuntime {};

TEST_F(NoDriverTest, EveryOperationFailsAndNothingIsPublished)
{
    RedAvClient client;
    DWORD handles = open_handles();
    QueryOut out;
    const std::vector<BYTE> key = key_block();
    EXPECT_FALSE(client.IsDriverPresent());
    EXPECT_FALSE(client.MountExistDisk(u'T', u"C:\\a.lkb", false, true, key.data(), 128, true));
    EXPECT_FALSE(
        client.MountNewDisk(u'T', u"C:\\a.lkb", 1 << 20, 0, false, true, key.data(), 128, true));
    EXPECT_FALSE(client.DisMount(u'T', true));
    EXPECT_FALSE(out.query(client, u'T'));
    EXPECT_TRUE(out.untouched());
    EXPECT_EQ(open_handles(), handles);
    EXPECT_TRUE(client.IsLetterFree(u'T')) << "no session definition was made";
}

} // namespace
