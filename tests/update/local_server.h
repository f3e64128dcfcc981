// The updater tests' web server: http_fixture.py over a private folder on 127.0.0.1, started
// once per test binary. Requests bypass any proxy of the environment.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

class LocalServer {
public:
    static LocalServer& Get()
    {
        static LocalServer server;
        return server;
    }

    bool Running() const { return port_ != 0; }
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::u16string Url(const std::string& path) const
    {
        const std::string url = Base() + path;
        return std::u16string(url.begin(), url.end());
    }
    const std::string& Root() const { return root_; }

    void Put(const std::string& relative, const std::string& content) const
    {
        const std::filesystem::path path = std::filesystem::path(root_) / relative;
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << content;
    }
    void Remove(const std::string& relative) const
    {
        std::filesystem::remove(std::filesystem::path(root_) / relative);
    }

    // Requests logged so far, and the last one as the server received it.
    size_t RequestCount() const
    {
        size_t n = 0;
        for ([[maybe_unused]] const auto& entry :
             std::filesystem::directory_iterator(root_ + "/log"))
            ++n;
        return n;
    }
    // Waits up to two seconds for the server to log more than `count` requests.
    bool WaitForRequests(size_t count) const
    {
        for (int i = 0; i < 200 && RequestCount() <= count; ++i)
            usleep(10000);
        return RequestCount() > count;
    }
    std::string LastRequest() const
    {
        char name[32];
        std::snprintf(name, sizeof(name), "/log/%04zu.req", RequestCount());
        std::ifstream in(root_ + name, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    LocalServer()
    {
        setenv("no_proxy", "127.0.0.1,localhost", 1);
        char folder[] = "/tmp/lockbin-http-XXXXXX";
        if (!mkdtemp(folder))
            return;
        root_ = folder;
        std::filesystem::create_directories(root_ + "/log");
        int out[2];
        if (pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            execlp("python3", "python3", LOCKBIN_HTTP_FIXTURE, root_.c_str(), nullptr);
            _exit(127);
        }
        close(out[1]);
        FILE* in = fdopen(out[0], "r");
        unsigned port = 0;
        if (in && std::fscanf(in, "%u", &port) == 1)
            port_ = port;
        if (in)
            std::fclose(in);
    }
    ~LocalServer()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (!root_.empty())
            std::filesystem::remove_all(root_);
    }

    std::string root_;
    pid_t pid_ = -1;
    unsigned port_ = 0;
};

#define REQUIRE_SERVER()                                                                           \
    do {                                                                                           \
        if (!LocalServer::Get().Running())                                                         \
            GTEST_SKIP() << "python3 could not start the local web server";                        \
    } while (0)
