#include "common/vendor_server.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

struct EnvGuard {
    EnvGuard()
    {
        if (const char* v = std::getenv("LOCKBIN_SERVER"))
            saved = v, had = true;
        unsetenv("LOCKBIN_SERVER");
    }
    ~EnvGuard()
    {
        if (had)
            setenv("LOCKBIN_SERVER", saved.c_str(), 1);
        else
            unsetenv("LOCKBIN_SERVER");
    }
    std::string saved;
    bool had = false;
};

std::string temp_file_with(const std::string& text)
{
    char name[] = "/tmp/lockbin-server-XXXXXX";
    const int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    return name;
}

} // namespace

TEST(VendorServer, EnvironmentThenSystemFileThenDefault)
{
    EnvGuard guard;
    const std::string file = temp_file_with("http://10.0.0.7:8080/\nignored second line\n");
    EXPECT_EQ(VendorServerBaseUrl(file.c_str()), "http://10.0.0.7:8080");
    setenv("LOCKBIN_SERVER", "http://127.0.0.1:8000", 1);
    EXPECT_EQ(VendorServerBaseUrl(file.c_str()), "http://127.0.0.1:8000");
    setenv("LOCKBIN_SERVER", "", 1);
    EXPECT_EQ(VendorServerBaseUrl(file.c_str()), "http://10.0.0.7:8080");
    unlink(file.c_str());
    EXPECT_EQ(VendorServerBaseUrl(file.c_str()), kVendorServerDefault);
    const std::string empty = temp_file_with("\n");
    EXPECT_EQ(VendorServerBaseUrl(empty.c_str()), kVendorServerDefault);
    unlink(empty.c_str());
}

TEST(VendorServer, ParsesHostAndPort)
{
    VendorServerAddress a;
    ASSERT_TRUE(ParseVendorServer("http://127.0.0.1:8000", a));
    EXPECT_EQ(a.host, "127.0.0.1");
    EXPECT_EQ(a.port, 8000u);
    EXPECT_FALSE(a.secure);
    ASSERT_TRUE(ParseVendorServer("https://updates.example.org/base", a));
    EXPECT_EQ(a.host, "updates.example.org");
    EXPECT_EQ(a.port, 443u);
    EXPECT_TRUE(a.secure);
    EXPECT_FALSE(ParseVendorServer("ftp://x", a));
    EXPECT_FALSE(ParseVendorServer("http://:80", a));
    EXPECT_FALSE(ParseVendorServer("http://host:0", a));
    EXPECT_FALSE(ParseVendorServer("http://host:99999", a));
}
