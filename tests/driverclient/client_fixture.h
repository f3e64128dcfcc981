// A client beside a fake control device on a temporary runtime folder; every test ends with
// no device handle left open and every connection closed.
#pragma once

#include "fake_redav_device.h"
#include "test_runtime.h"

#include "handle_table.h"
#include "redav_client.h"

#include <memory>

class ClientTest : public TestRuntime {
protected:
    void SetUp() override
    {
        TestRuntime::SetUp();
        device_ = std::make_unique<FakeRedAvDevice>(root_);
        ASSERT_TRUE(device_->listening());
        handles_before_ = win32::detail::handle_count();
    }

    void TearDown() override
    {
        // No device handle outlives its operation.
        EXPECT_EQ(win32::detail::handle_count(), handles_before_);
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
    size_t handles_before_ = 0;
};
