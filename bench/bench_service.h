// The service host of this build (LOCKBIN_ZELVIRDK) for whole-stack benchmarks: started as a
// child over a private runtime folder under $BENCH_DIR (default /var/tmp), stopped and removed
// with the object. Needs root and /dev/fuse for vaults.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace bench_service {

inline std::string work_folder()
{
    const char* dir = std::getenv("BENCH_DIR");
    std::string base = dir && *dir ? dir : "/var/tmp";
    std::string pattern = base + "/lockbin-bench-XXXXXX";
    return mkdtemp(pattern.data()) ? pattern : std::string();
}

class Service {
public:
    explicit Service(const std::string& work) : work_(work)
    {
        setenv("LOCKBIN_ROOT", (work + "/run").c_str(), 1);
        setenv("LOCKBIN_STATE", (work + "/state").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (work + "/config").c_str(), 1);
        std::system(("mkdir -p '" + work + "/config/lockbin' && echo 'D: none' > '" + work +
                     "/config/lockbin/drives'")
                        .c_str());
        std::string log = work + "/zelvirdk.log";
        pid_ = fork();
        if (pid_ == 0) {
            if (!freopen(log.c_str(), "w", stderr))
                _exit(126);
            execl(LOCKBIN_ZELVIRDK, "zelvirdk", static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 1500 && !running(log); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    ~Service()
    {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        std::system(("rm -rf '" + work_ + "'").c_str());
    }

private:
    static bool running(const std::string& log)
    {
        std::ifstream in(log);
        std::stringstream s;
        s << in.rdbuf();
        return s.str().find("zelvirdk: running") != std::string::npos;
    }

    std::string work_;
    pid_t pid_ = -1;
};

inline std::u16string dos_path(const std::string& host)
{
    std::u16string out = u"C:";
    for (char c : host)
        out += c == '/' ? u'\\' : char16_t(c);
    return out;
}

} // namespace bench_service
