// A runtime folder with a fake control device (the driver's stand-in), a private session folder
// and a working folder for "Lockbin.xml", for the main window and start-up tests.
#pragma once

#include "../driverclient/fake_redav_device.h"
#include "../driverclient/test_runtime.h"

#include "windows.h"

#include "redav_ioctl.h"
#include "vault_catalogue.h"

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

inline constexpr uint32_t kQueryVolume = IOCTL_REDAV_QUERY_VOLUME;

class GuiTest : public TestRuntime {
protected:
    void SetUp() override
    {
        TestRuntime::SetUp();
        work_ = base_ + "/work";
        std::filesystem::create_directories(work_);
        std::filesystem::create_directories(base_ + "/xdg");
        std::filesystem::permissions(base_ + "/xdg", std::filesystem::perms::owner_all);
        old_xdg_ = getenv("XDG_RUNTIME_DIR") ? getenv("XDG_RUNTIME_DIR") : "";
        setenv("XDG_RUNTIME_DIR", (base_ + "/xdg").c_str(), 1);
        char cwd[4096];
        old_cwd_ = getcwd(cwd, sizeof cwd) ? cwd : "/";
        ASSERT_EQ(chdir(work_.c_str()), 0);
    }
    void TearDown() override
    {
        device_.reset();
        (void)!chdir(old_cwd_.c_str());
        setenv("XDG_RUNTIME_DIR", old_xdg_.c_str(), 1);
        TestRuntime::TearDown();
    }

    void start_driver()
    {
        device_ = std::make_unique<FakeRedAvDevice>(root_);
        ASSERT_TRUE(device_->listening());
    }

    // The driver answers every volume query with this container (device form) and size.
    void answer_queries(const std::u16string& devicePath, uint64_t size)
    {
        REDAV_VOLUME_INFO info{};
        info.VolumeLetter = u'Q';
        std::memcpy(info.FilePath, devicePath.data(), devicePath.size() * 2);
        info.FileSize = static_cast<LONGLONG>(size);
        info.IsEncrypt = 1;
        std::vector<uint8_t> bytes(sizeof info);
        std::memcpy(bytes.data(), &info, sizeof info);
        device_->set_reply(kQueryVolume, {0, sizeof info, bytes});
    }

    // The DOS path on C: (the host's "/") of a host path.
    static std::string dos_of(const std::string& host)
    {
        std::string dos = "C:";
        for (char c : host)
            dos += c == '/' ? '\\' : c;
        return dos;
    }

    void write_config(const std::string& vaults, const std::string& defaultPath = "")
    {
        std::ofstream(work_ + "/Lockbin.xml")
            << "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update fmtver=\"1\">"
            << "<Config><NotRemind>1</NotRemind><DefaultPath>" << defaultPath
            << "</DefaultPath></Config><LockbinList>" << vaults << "</LockbinList></update>\n";
    }

    static std::string vault(const std::string& name, const std::string& path,
                             const std::string& letter, int autoassign,
                             const std::string& description = "")
    {
        return "<Lockbin loadtype=\"0\"><Name>" + name + "</Name><Path>" + path +
               "</Path><Description>" + description + "</Description><Letter autoassign=\"" +
               std::to_string(autoassign) + "\">" + letter +
               "</Letter><Password remember=\"0\"></Password></Lockbin>";
    }

    std::string work_;
    std::unique_ptr<FakeRedAvDevice> device_;

private:
    std::string old_xdg_, old_cwd_;
};
