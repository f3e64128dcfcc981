// A catalogue and a driver client beside a fake control device, with the test's folder as the
// current directory (where "Lockbin.xml" is written), and questions answered from a script.
#pragma once

#include "client_fixture.h"
#include "service_process.h"

#include "hostns/hostns.h"
#include "vault_operations.h"

#include <unistd.h>

#include <deque>
#include <fstream>
#include <sstream>

constexpr uint32_t kQueryVolume = 0x8520E404;
constexpr uint32_t kMountNewDisk = 0x8520E40C;
constexpr uint32_t kMountExistDisk = 0x8520E410;
constexpr uint32_t kDismount = 0x8520E414;

class OpsTest : public ClientTest {
protected:
    void SetUp() override
    {
        ClientTest::SetUp();
        char* here = ::getcwd(nullptr, 0);
        old_cwd_ = here ? here : "/";
        std::free(here);
        ASSERT_EQ(::chdir(base_.c_str()), 0);
    }
    void TearDown() override
    {
        (void)!::chdir(old_cwd_.c_str());
        ClientTest::TearDown();
    }

    // "C:\..." of a host path: C: is the host's root.
    static std::u16string dos(const std::string& host) { return lockbin_test::dos_path(host); }
    void use_letter(char16_t letter)
    {
        ASSERT_EQ(hostns::Namespace().define(std::u16string{letter, u':'}, u"\\??\\C:\\tmp"), 0);
    }
    std::string config_text() const
    {
        std::ifstream in(base_ + "/Lockbin.xml");
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // The driver reports a volume at the letter whose container is `path` (DOS form on C:).
    void report_volume(char16_t letter, const std::u16string& path)
    {
        std::vector<uint8_t> b(1064);
        b[0] = uint8_t(letter);
        std::u16string device = u"\\Device\\HarddiskVolume1" + path.substr(2);
        for (size_t i = 0; i < device.size(); ++i) {
            b[522 + 2 * i] = uint8_t(device[i]);
            b[523 + 2 * i] = uint8_t(device[i] >> 8);
        }
        device_->set_reply(kQueryVolume, {0, 1064, b});
    }
    std::vector<FakeRedAvDevice::Request> requests_of(uint32_t code) const
    {
        std::vector<FakeRedAvDevice::Request> out;
        for (auto& r : device_->requests())
            if (r.code == code)
                out.push_back(r);
        return out;
    }

    // Answers questions in order from `answers_` and records them; no answer left means No.
    AskFn ask()
    {
        return [this](MessageId id, const std::u16string& text, const std::u16string& detail) {
            asked_.push_back(id);
            asked_text_.push_back(text);
            details_.push_back(detail);
            if (answers_.empty())
                return false;
            bool yes = answers_.front();
            answers_.pop_front();
            return yes;
        };
    }

    VaultCatalogue catalogue_;
    std::deque<bool> answers_;
    std::vector<MessageId> asked_;
    std::vector<std::u16string> asked_text_, details_;
    std::string old_cwd_;
};
