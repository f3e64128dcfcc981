// Opening and closing a 2 GiB NTFS vault through the manager's operations, as the user waits for
// them: open from the password given to the drive's file system mounted, close from the command
// to the drive gone. The service host of this build runs as a child over a private runtime
// folder under $BENCH_DIR (default /var/tmp). Needs root and /dev/fuse. Target: median of 20
// under 0.3 s each.
#include "bench_service.h"
#include "drive_holders.h"
#include "format_volume.h"
#include "vault_operations.h"

#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <memory>

namespace {

bool mounted_at(const std::string& folder)
{
    struct stat here {
    }, parent{};
    return !folder.empty() && stat(folder.c_str(), &here) == 0 &&
           stat((folder + "/..").c_str(), &parent) == 0 && here.st_dev != parent.st_dev;
}

// One formatted vault for every benchmark of the run, closed between them.
struct Fixture {
    std::string work = bench_service::work_folder();
    std::unique_ptr<bench_service::Service> service;
    RedAvClient client;
    VaultCatalogue catalogue;
    std::string error;

    Fixture()
    {
        if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0) {
            error = "needs root and /dev/fuse";
            return;
        }
        service = std::make_unique<bench_service::Service>(work);
        if (!client.IsDriverPresent() || chdir(work.c_str()) != 0) {
            error = "the service did not start";
            return;
        }
        CreateInput in;
        in.name = u"bench";
        in.path = bench_service::dos_path(work) + u"\\bench.lkb";
        in.sizeText = u"2";
        in.password = in.confirmation = u"benchmark";
        Outcome o = CreateVault(catalogue, client, in, nullptr);
        std::atomic<int32_t> progress{0};
        if (o.result != OpResult::Done ||
            !FormatVolume(o.letter, &progress, u"bench", true, 0, 50) ||
            CloseVault(catalogue, client, u"bench", nullptr).result != OpResult::Done)
            error = "the vault could not be made";
    }
};

Fixture& fixture()
{
    static Fixture f;
    return f;
}

// Opens the vault and waits for its file system; the letter, or 0.
WCHAR open_vault(Fixture& f)
{
    Outcome o = OpenVault(f.catalogue, f.client, u"bench", [](const VaultRecord&) {
        return std::optional<std::u16string>(u"benchmark");
    });
    if (o.result != OpResult::Done)
        return 0;
    while (!mounted_at(DriveHostFolder(o.letter)))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return o.letter;
}

void BM_OpenVault(benchmark::State& state)
{
    Fixture& f = fixture();
    if (!f.error.empty()) {
        state.SkipWithError(f.error.c_str());
        return;
    }
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        WCHAR letter = open_vault(f);
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (!letter ||
            CloseVault(f.catalogue, f.client, u"bench", nullptr).result != OpResult::Done) {
            state.SkipWithError("open or close failed");
            break;
        }
    }
}

void BM_CloseVault(benchmark::State& state)
{
    Fixture& f = fixture();
    if (!f.error.empty()) {
        state.SkipWithError(f.error.c_str());
        return;
    }
    for (auto _ : state) {
        WCHAR letter = open_vault(f);
        auto start = std::chrono::steady_clock::now();
        bool closed =
            letter && CloseVault(f.catalogue, f.client, u"bench", nullptr).result == OpResult::Done;
        state.SetIterationTime(
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        if (!closed) {
            state.SkipWithError("open or close failed");
            break;
        }
    }
}

BENCHMARK(BM_OpenVault)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(20)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CloseVault)
    ->UseManualTime()
    ->Iterations(1)
    ->Repetitions(20)
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
