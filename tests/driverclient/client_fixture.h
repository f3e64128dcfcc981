// A client beside a fake control device on a temporary runtime folder; every test ends with no
// device handle left open and every connection closed.
#pragma once

#include "fake_redav_device.h"
#include "test_runtime.h"

#include "redav_client.h"

#include <memory>

constexpr int32_t kStatusUnsuccessful = int32_t(0xC0000001);

inline std::vector<BYTE> key_block()
{
    std::vector<BYTE> key(128);
    for (size_t i = 0; i < key.size(); ++i)
        key[i] = BYTE(0xA0 ^ i);
    return key;
}

// QueryVolume's out-parameters, preset so that a write to any of them shows.
struct QueryOut {
    std::u16string device = u"untouched", path = u"untouched";
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

// The process's open handles: a leaked device handle shows in the count.
inline DWORD open_handles()
{
    DWORD count = 0;
    EXPECT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &count));
    return count;
}

class ClientTest : public TestRuntime {
protected:
    void SetUp() override
    {
        TestRuntime::SetUp();
        device_ = std::make_unique<FakeRedAvDevice>(root_);
        ASSERT_TRUE(device_->listening());
        handles_before_ = open_handles();
    }

    void TearDown() override
    {
        EXPECT_EQ(open_handles(), handles_before_) << "a device handle leaked";
        EXPECT_TRUE(device_->wait_all_closed());
        device_.reset();
        TestRuntime::TearDown();
    }

    FakeRedAvDevice::Request only_request()
    {
        auto requests = device_->requests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? FakeRedAvDevice::Request{} : requests.front();
    }

    RedAvClient client_;
    std::unique_ptr<FakeRedAvDevice> device_;
    DWORD handles_before_ = 0;
};
