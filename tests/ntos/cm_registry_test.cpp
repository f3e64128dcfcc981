// Registry services over the store in the state folder.
#include "host_env_test.h"

#include <ntifs.h>

#include <cstring>
#include <vector>

using host_env::us;

namespace {

const std::u16string service = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet";

NTSTATUS create(const std::u16string& path, HANDLE* key, ULONG options = REG_OPTION_NON_VOLATILE,
                ULONG* disposition = nullptr, HANDLE root = nullptr,
                ACCESS_MASK access = KEY_ALL_ACCESS)
{
    UNICODE_STRING name = us(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    return ZwCreateKey(key, access, &oa, 0, nullptr, options, disposition);
}

NTSTATUS open(const std::u16string& path, HANDLE* key, ACCESS_MASK access = KEY_READ)
{
    UNICODE_STRING name = us(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    return ZwOpenKey(key, access, &oa);
}

NTSTATUS set_dword(HANDLE key, const std::u16string& value, ULONG data)
{
    UNICODE_STRING name = us(value);
    return ZwSetValueKey(key, &name, 0, REG_DWORD, &data, sizeof data);
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        host_env::start();
        ASSERT_EQ(create(service, &base_), STATUS_SUCCESS);
    }
    void TearDown() override { ZwClose(base_); }
    HANDLE base_ = nullptr;
};

} // namespace

TEST_F(Registry, KeysAreCreatedOneLevelAtATimeAndIgnoreCase)
{
    HANDLE key = nullptr;
    ULONG disposition = 0;
    // The parent must exist, as for the platform's ZwCreateKey.
    EXPECT_EQ(create(service + u"\\Services\\absent\\Parameters", &key),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(create(service + u"\\Services", &key, 0, &disposition), STATUS_SUCCESS);
    ZwClose(key);
    ASSERT_EQ(create(service + u"\\Services\\KeyTest", &key, 0, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    ZwClose(key);
    ASSERT_EQ(create(u"\\registry\\machine\\system\\currentcontrolset\\SERVICES\\keytest", &key, 0,
                     &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    ZwClose(key);

    // Relative to a key handle.
    HANDLE relative = nullptr;
    ASSERT_EQ(create(u"Services\\KEYTEST\\Sub", &relative, 0, &disposition, base_), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    ZwClose(relative);
    EXPECT_EQ(open(service + u"\\services\\keytest\\SUB", &key), STATUS_SUCCESS);
    ZwClose(key);

    EXPECT_EQ(open(service + u"\\Services\\Missing", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(create(service + u"\\Services\\", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(create(service + u"\\\\Services", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(create(u"\\REGISTRY\\USER\\S-1-5-18", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(create(u"\\REGISTRYX\\MACHINE", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(create(u"SYSTEM\\Relative", &key), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(create(u"\\Services", &key, 0, nullptr, base_), STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(create(service, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwCreateKey(&key, KEY_READ, nullptr, 0, nullptr, 0, nullptr),
              STATUS_INVALID_PARAMETER);
}

TEST_F(Registry, ValuesRoundTripWithThePlatformsBufferRules)
{
    HANDLE key = nullptr;
    ASSERT_EQ(create(service + u"\\ValueTest", &key), STATUS_SUCCESS);
    ASSERT_EQ(set_dword(key, u"Level", 0x80), STATUS_SUCCESS);
    ASSERT_EQ(set_dword(key, u"LEVEL", 0x40), STATUS_SUCCESS); // same value, other spelling

    std::u16string level = u"level";
    UNICODE_STRING name = us(level);
    ULONG needed = 0;
    // No buffer at all: too small, and the size of the whole record.
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, nullptr, 0, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 16u);
    alignas(8) UCHAR buffer[64];
    std::memset(buffer, 0xCC, sizeof buffer);
    // Fixed part fits, data does not: overflow with the header filled.
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, 12, &needed),
              STATUS_BUFFER_OVERFLOW);
    auto* partial = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer);
    EXPECT_EQ(partial->Type, ULONG(REG_DWORD));
    EXPECT_EQ(partial->DataLength, 4u);
    EXPECT_EQ(buffer[12], 0xCC);
    ASSERT_EQ(
        ZwQueryValueKey(key, &name, KeyValuePartialInformation, buffer, sizeof buffer, &needed),
        STATUS_SUCCESS);
    ULONG data = 0;
    std::memcpy(&data, partial->Data, 4);
    EXPECT_EQ(data, 0x40u);

    // The full record keeps the name as first written and aligns the data after it.
    ASSERT_EQ(ZwQueryValueKey(key, &name, KeyValueFullInformation, buffer, sizeof buffer, &needed),
              STATUS_SUCCESS);
    auto* full = reinterpret_cast<PKEY_VALUE_FULL_INFORMATION>(buffer);
    EXPECT_EQ(full->NameLength, 10u);
    EXPECT_EQ(std::u16string(full->Name, 5), u"Level");
    EXPECT_EQ(full->DataOffset, 32u);
    EXPECT_EQ(full->DataLength, 4u);
    EXPECT_EQ(needed, 36u);
    std::memcpy(&data, buffer + full->DataOffset, 4);
    EXPECT_EQ(data, 0x40u);
    EXPECT_EQ(ZwQueryValueKey(key, &name, KeyValueBasicInformation, buffer, 11, &needed),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(needed, 22u);

    // Binary data, the default value, a missing value.
    std::vector<UCHAR> blob(3000);
    for (size_t i = 0; i < blob.size(); ++i)
        blob[i] = static_cast<UCHAR>(i * 31);
    UNICODE_STRING empty = us(u"");
    ASSERT_EQ(ZwSetValueKey(key, &empty, 0, REG_BINARY, blob.data(), ULONG(blob.size())),
              STATUS_SUCCESS);
    std::vector<UCHAR> back(16 + blob.size());
    ASSERT_EQ(ZwQueryValueKey(key, &empty, KeyValuePartialInformation, back.data(),
                              ULONG(back.size()), &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(needed, 12 + blob.size());
    EXPECT_EQ(std::memcmp(back.data() + 12, blob.data(), blob.size()), 0);
    UNICODE_STRING missing = us(u"Missing");
    EXPECT_EQ(
        ZwQueryValueKey(key, &missing, KeyValuePartialInformation, buffer, sizeof buffer, &needed),
        STATUS_OBJECT_NAME_NOT_FOUND);

    // Enumeration sees both values; deleting one leaves the other.
    ULONG count = 0;
    while (ZwEnumerateValueKey(key, count, KeyValueBasicInformation, buffer, sizeof buffer,
                               &needed) == STATUS_SUCCESS)
        ++count;
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_SUCCESS);
    EXPECT_EQ(ZwDeleteValueKey(key, &name), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwEnumerateValueKey(key, 1, KeyValueBasicInformation, buffer, sizeof buffer, &needed),
              STATUS_NO_MORE_ENTRIES);
    ZwClose(key);
}

TEST_F(Registry, NamesBeyondPlainAsciiKeepTheirCaseRules)
{
    // Letters outside ASCII fold too; a value name may hold backslashes and be long.
    HANDLE key = nullptr;
    ASSERT_EQ(create(service + u"\\\u00C4rger-\u03A9", &key), STATUS_SUCCESS);
    ZwClose(key);
    ULONG disposition = 0;
    ASSERT_EQ(create(service + u"\\\u00E4RGER-\u03C9", &key, 0, &disposition), STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    std::u16string long_name(300, u'\u4E2D');
    long_name += u"\\tail";
    ASSERT_EQ(set_dword(key, long_name, 42), STATUS_SUCCESS);
    std::u16string other = long_name;
    other.back() = u'X'; // same long prefix, another name
    ASSERT_EQ(set_dword(key, other, 43), STATUS_SUCCESS);
    for (auto [name, expected] : {std::pair{long_name, 42u}, std::pair{other, 43u}}) {
        UNICODE_STRING counted = us(name);
        alignas(8) UCHAR buffer[32];
        ULONG needed = 0;
        ASSERT_EQ(ZwQueryValueKey(key, &counted, KeyValuePartialInformation, buffer, sizeof buffer,
                                  &needed),
                  STATUS_SUCCESS);
        ULONG data = 0;
        std::memcpy(&data, reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(buffer)->Data, 4);
        EXPECT_EQ(data, expected);
    }
    ZwClose(key);
}

TEST_F(Registry, HandlesAreCheckedForAccessAndKind)
{
    HANDLE writer = nullptr;
    ASSERT_EQ(create(service + u"\\AccessTest", &writer), STATUS_SUCCESS);
    ASSERT_EQ(set_dword(writer, u"Trace", 1), STATUS_SUCCESS);
    HANDLE reader = nullptr;
    ASSERT_EQ(open(service + u"\\AccessTest", &reader, KEY_READ), STATUS_SUCCESS);
    EXPECT_EQ(set_dword(reader, u"Trace", 2), STATUS_ACCESS_DENIED);
    HANDLE setter = nullptr;
    ASSERT_EQ(open(service + u"\\AccessTest", &setter, KEY_SET_VALUE), STATUS_SUCCESS);
    std::u16string trace = u"Trace";
    UNICODE_STRING name = us(trace);
    UCHAR buffer[32];
    ULONG needed = 0;
    EXPECT_EQ(
        ZwQueryValueKey(setter, &name, KeyValuePartialInformation, buffer, sizeof buffer, &needed),
        STATUS_ACCESS_DENIED);
    EXPECT_EQ(
        ZwQueryValueKey(reader, &name, KeyValuePartialInformation, buffer, sizeof buffer, nullptr),
        STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwQueryValueKey(reader, &name, static_cast<KEY_VALUE_INFORMATION_CLASS>(9), buffer,
                              sizeof buffer, &needed),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwSetValueKey(writer, &name, 0, REG_DWORD, nullptr, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwQueryValueKey(reinterpret_cast<HANDLE>(0x7ff4), &name, KeyValuePartialInformation,
                              buffer, sizeof buffer, &needed),
              STATUS_INVALID_HANDLE);
    ZwClose(setter);
    ZwClose(reader);
    ZwClose(writer);
    EXPECT_EQ(set_dword(writer, u"Trace", 3), STATUS_INVALID_HANDLE);

    // A key handle is not a file handle, nor the other way round.
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at{};
    HANDLE key = nullptr;
    ASSERT_EQ(open(service + u"\\AccessTest", &key), STATUS_SUCCESS);
    EXPECT_EQ(ZwReadFile(key, nullptr, nullptr, nullptr, &iosb, buffer, 4, &at, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(key);
}

TEST_F(Registry, VolatileKeysOnlyHoldVolatileChildren)
{
    HANDLE key = nullptr;
    ASSERT_EQ(create(service + u"\\VolatileTest", &key, REG_OPTION_VOLATILE), STATUS_SUCCESS);
    ZwClose(key);
    HANDLE child = nullptr;
    EXPECT_EQ(create(service + u"\\VolatileTest\\Kept", &child), STATUS_CHILD_MUST_BE_VOLATILE);
    ASSERT_EQ(create(service + u"\\VolatileTest\\Gone", &child, REG_OPTION_VOLATILE),
              STATUS_SUCCESS);
    EXPECT_EQ(set_dword(child, u"Value", 7), STATUS_SUCCESS);
    ZwClose(child);
    EXPECT_EQ(create(service + u"\\VolatileTest", &key, 0x40), STATUS_INVALID_PARAMETER);
}
