// The manager's start: from exec to the main window shown (published in the session, as a second
// copy would find it), with the news window and a news server that refuses or never answers, and
// without the news window; and the memory the manager holds (RSS), its browser processes apart.
// Runs the built Lockbin against the built service host over a private runtime folder, offscreen
// unless DISPLAY is set. Target: the main window within 0.5 s whatever the news server does.
#include "windows.h"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
constexpr char16_t kTitle[] = u"岚泽禾zavor系统软件 V2.0";

std::string read_text(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A private service, data folder and session for every run of the benchmark binary.
struct Environment {
    std::string base, error;
    pid_t service = -1;
    int refusing_port = 0, silent_port = 0;
    int silent_fd = -1;

    Environment()
    {
        if (std::string(LOCKBIN_PROGRAM).empty()) {
            error = "the manager is not part of this build";
            return;
        }
        char pattern[] = "/tmp/lockbin-start-bench-XXXXXX";
        base = mkdtemp(pattern);
        for (const char* sub : {"/run", "/state", "/data", "/xdg"})
            std::filesystem::create_directories(base + sub);
        std::filesystem::permissions(base + "/xdg", std::filesystem::perms::owner_all);
        setenv("LOCKBIN_ROOT", (base + "/run").c_str(), 1);
        setenv("LOCKBIN_STATE", (base + "/state").c_str(), 1);
        setenv("XDG_RUNTIME_DIR", (base + "/xdg").c_str(), 1);
        if (!getenv("DISPLAY"))
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
        std::ofstream(base + "/data/Lockbin.xml")
            << "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<update "
               "fmtver=\"1\"><Config>"
            << "<NotRemind>0</NotRemind><DefaultPath>C:\\tmp</DefaultPath></Config><LockbinList>"
            << "<Lockbin><Name>甲</Name><Path>C:\\tmp\\a.lkb</Path><Letter autoassign=\"1\">X"
            << "</Letter></Lockbin><Lockbin><Name>乙</Name><Path>C:\\tmp\\b.lkb</Path>"
            << "<Letter autoassign=\"0\">Y</Letter></Lockbin></LockbinList></update>\n";

        const std::string log = base + "/service.log";
        service = fork();
        if (service == 0) {
            FILE* out = freopen(log.c_str(), "w", stderr);
            (void)out;
            execl(LOCKBIN_ZELVIRDK, "zelvirdk", static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 1000 && read_text(log).find("zelvirdk: running") == std::string::npos;
             ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (read_text(log).find("zelvirdk: running") == std::string::npos)
            error = "the service did not start: " + read_text(log);

        // A port that refuses, and one that accepts connections and never answers.
        refusing_port = listen_port(false);
        silent_port = listen_port(true);
    }

    int listen_port(bool keep)
    {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        if (keep) {
            listen(fd, 64);
            silent_fd = fd;
        } else {
            close(fd);
        }
        return ntohs(address.sin_port);
    }

    ~Environment()
    {
        if (service > 0) {
            kill(service, SIGTERM);
            waitpid(service, nullptr, 0);
        }
        if (silent_fd >= 0)
            close(silent_fd);
        std::error_code ignored;
        if (!base.empty())
            std::filesystem::remove_all(base, ignored);
    }
};

Environment& environment()
{
    static Environment e;
    return e;
}

// Resident memory in KiB of a process, and of every process below it.
long rss_kib(pid_t pid)
{
    std::istringstream status(read_text("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

long descendants_rss_kib(pid_t parent)
{
    long total = 0;
    DIR* proc = opendir("/proc");
    while (dirent* entry = proc ? readdir(proc) : nullptr) {
        const pid_t pid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
        if (pid <= 0)
            continue;
        std::istringstream stat(read_text("/proc/" + std::to_string(pid) + "/stat"));
        std::string skip;
        pid_t ppid = 0;
        // pid (comm) state ppid: comm holds no blank for the processes counted here.
        stat >> skip >> skip >> skip >> ppid;
        if (ppid == parent)
            total += rss_kib(pid) + descendants_rss_kib(pid);
    }
    if (proc)
        closedir(proc);
    return total;
}

enum class News { refused, silent, off };

void BM_StartToMainWindow(benchmark::State& state)
{
    Environment& env = environment();
    if (!env.error.empty()) {
        state.SkipWithError(env.error.c_str());
        return;
    }
    const News news = static_cast<News>(state.range(0));
    const int port = news == News::silent ? env.silent_port : env.refusing_port;
    double rss = 0, browser = 0, worst = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        pid_t child = fork();
        if (child == 0) {
            if (chdir((env.base + "/data").c_str()) != 0)
                _exit(126);
            setenv("LOCKBIN_SERVER", ("http://127.0.0.1:" + std::to_string(port)).c_str(), 1);
            if (news == News::off)
                setenv("LOCKBIN_NEWS_WINDOW", "off", 1);
            FILE* out = freopen("/dev/null", "w", stderr);
            (void)out;
            execl(LOCKBIN_PROGRAM, "Lockbin", static_cast<char*>(nullptr));
            _exit(127);
        }
        bool shown = false;
        while (!shown && Clock::now() - start < std::chrono::seconds(20)) {
            shown = FindWindowW(nullptr, kTitle) != nullptr;
            if (!shown)
                std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        worst = std::max(worst, seconds);
        if (!shown) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
            state.SkipWithError("the main window did not appear in 20 s");
            return;
        }
        // Memory once the browser (if any) has started and the page has failed or hangs.
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        rss = rss_kib(child) / 1024.0;
        browser = descendants_rss_kib(child) / 1024.0;
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
        state.ResumeTiming();
    }
    state.counters["worst_s"] = worst;
    state.counters["manager_rss_MiB"] = rss;
    state.counters["browser_procs_rss_MiB"] = browser;
}

BENCHMARK(BM_StartToMainWindow)
    ->ArgName("news_refused0_silent1_off2")
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
