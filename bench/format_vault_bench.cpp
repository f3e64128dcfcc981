// A new vault of the default 20 G, from the mount-new request to its NTFS drive mounted: what the
// user waits for after "创建" (without the backup). The service host of this build runs as a
// child over a private runtime folder; containers go to $BENCH_DIR (default /var/tmp). Needs root
// and /dev/fuse. Target: median under 2 s. Counters: the container's allocated bytes after the
// format (du) and the distinct progress values the format reported.
#include "bench_service.h"
#include "format_volume.h"
#include "redav_client.h"

#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>

namespace {

using bench_service::dos_path;
using bench_service::Service;
using bench_service::work_folder;

// Records every percentage the format writes, as the dialog's timer would see them.
class Watch {
public:
    explicit Watch(std::atomic<int32_t>& progress) : progress_(progress)
    {
        thread_ = std::thread([this] {
            while (!stop_) {
                seen_.insert(progress_.load());
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
    }
    size_t stop()
    {
        stop_ = true;
        thread_.join();
        seen_.insert(progress_.load());
        seen_.erase(0);
        return seen_.size();
    }

private:
    std::atomic<int32_t>& progress_;
    std::atomic<bool> stop_{false};
    std::set<int32_t> seen_;
    std::thread thread_;
};

void BM_NewVaultFormattedAndMounted(benchmark::State& state)
{
    if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0) {
        state.SkipWithError("needs root and /dev/fuse");
        return;
    }
    std::string work = work_folder();
    Service service(work);
    RedAvClient client;
    if (!client.IsDriverPresent()) {
        state.SkipWithError("the service did not start");
        return;
    }
    const ULONGLONG size = 20ull << 30;
    std::vector<BYTE> key(128, 0);
    key[0] = 1;
    int round = 0;
    double allocated = 0, values = 0;
    for (auto _ : state) {
        std::string container = work + "/vault" + std::to_string(round++) + ".lkb";
        WCHAR letter = client.FindFreeLetter(true);
        std::atomic<int32_t> progress{0};
        auto start = std::chrono::steady_clock::now();
        bool ok = client.MountNewDisk(letter, dos_path(container), DWORD(size), DWORD(size >> 32),
                                      false, true, key.data(), 128, true);
        Watch watch(progress);
        ok = ok && FormatVolume(letter, &progress, u"默认保险箱1", true, 0, 50);
        auto end = std::chrono::steady_clock::now();
        values = double(watch.stop());
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        struct stat st {};
        stat(container.c_str(), &st);
        allocated = double(st.st_blocks) * 512;
        client.DisMount(letter, true);
        unlink(container.c_str());
        if (!ok) {
            state.SkipWithError("mount-new or format failed");
            break;
        }
    }
    state.counters["du_bytes"] = allocated;
    state.counters["progress_values"] = values;
}
BENCHMARK(BM_NewVaultFormattedAndMounted)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(5)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
