// Throughput of the sector transform in both directions, on runs that stay in cache (64 KiB) and
// runs that stream from memory (64 MiB), next to memcpy of the same buffers and to the same
// transform built the plain way on OpenSSL's BF_ecb_encrypt. Prints MB/s and ratios at the end.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/blowfish.h>
#include <openssl/md5.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "diskrw.h"

namespace {

constexpr size_t kSmall = 64 << 10;
constexpr size_t kLarge = 64 << 20;
constexpr long long kFileOffset = 512; // the first sector of a disk container

// K as the derivation defines it, for expanding OpenSSL's key from the same mount key.
void derive_k(const UCHAR* key, size_t length, UCHAR* k)
{
    UCHAR d[16];
    MD5(key, length, d);
    for (int i = 0; i < 128; ++i) {
        k[i] = d[i % 16] ^ (UCHAR)(d[2 * (i / 16)] + d[2 * (i / 16) + 1]);
    }
}

struct KeyMaterial {
    BLOWFISH_CTX bf;
    std::vector<UCHAR> table = std::vector<UCHAR>(DISKRW_TABLE_SIZE);
    BF_KEY openssl;

    KeyMaterial()
    {
        UCHAR key[128] = {};
        for (int i = 0; i < 20; ++i) {
            key[i] = (UCHAR)(0x9E * i + 7);
        }
        DeriveVolumeKeyMaterial(key, sizeof(key), &bf, table.data());
        UCHAR k[128];
        derive_k(key, sizeof(key), k);
        BF_set_key(&openssl, sizeof(k), k);
    }
};

const KeyMaterial& keys()
{
    static KeyMaterial k;
    return k;
}

std::vector<UCHAR>& buffer(size_t size, int which)
{
    static std::map<std::pair<size_t, int>, std::vector<UCHAR>> buffers;
    auto& b = buffers[{size, which}];
    if (b.empty()) {
        b.resize(size);
        std::mt19937 rng(42 + which);
        for (auto& byte : b) {
            byte = (UCHAR)rng();
        }
    }
    return b;
}

// The transform as one first writes it: the XOR pass over the whole run (split at the table's
// end, like the driver's, so that both sides vectorise the XOR and the comparison is about the
// cipher), then OpenSSL's ECB on the two head blocks of every sector with each 32-bit word
// byte-reversed into and out of OpenSSL's big-endian order.
typedef UCHAR bytes16 __attribute__((vector_size(16)));

void openssl_xor(UCHAR* buf, size_t length, long long fileOffset)
{
    const UCHAR* table = keys().table.data();
    size_t at = (size_t)((unsigned long long)fileOffset % DISKRW_TABLE_SIZE) / 4 * 4;
    for (size_t done = 0; done < length;) {
        size_t run = std::min(length - done, (size_t)DISKRW_TABLE_SIZE - at);
        size_t i = 0;
        for (; i + 16 <= run; i += 16) {
            bytes16 d, t;
            memcpy(&d, buf + done + i, 16);
            memcpy(&t, table + at + i, 16);
            d ^= t;
            memcpy(buf + done + i, &d, 16);
        }
        for (; i < run; ++i) {
            buf[done + i] ^= table[at + i];
        }
        done += run;
        at = 0;
    }
}

void openssl_block(UCHAR* p, int direction)
{
    UCHAR be[8] = {p[3], p[2], p[1], p[0], p[7], p[6], p[5], p[4]};
    BF_ecb_encrypt(be, be, &keys().openssl, direction);
    const UCHAR le[8] = {be[3], be[2], be[1], be[0], be[7], be[6], be[5], be[4]};
    memcpy(p, le, 8);
}

void openssl_encrypt(UCHAR* buf, size_t length, long long fileOffset)
{
    openssl_xor(buf, length, fileOffset);
    for (size_t s = 0; s < length; s += DISKRW_SECTOR_SIZE) {
        openssl_block(buf + s, BF_ENCRYPT);
        openssl_block(buf + s + 8, BF_ENCRYPT);
    }
}

void openssl_decrypt(UCHAR* buf, size_t length, long long fileOffset)
{
    for (size_t s = 0; s < length; s += DISKRW_SECTOR_SIZE) {
        openssl_block(buf + s, BF_DECRYPT);
        openssl_block(buf + s + 8, BF_DECRYPT);
    }
    openssl_xor(buf, length, fileOffset);
}

// Both sides must compute the same bytes, or the comparison means nothing.
void check_baseline_agrees()
{
    std::vector<UCHAR> a = buffer(kSmall, 9), b = a;
    DiskRW_EncryptRun(&keys().bf, keys().table.data(), kFileOffset, a.data(), (ULONG)a.size());
    openssl_encrypt(b.data(), b.size(), kFileOffset);
    if (a != b) {
        fprintf(stderr, "baseline and driver transform disagree\n");
        exit(1);
    }
}

void BM_Memcpy(benchmark::State& state)
{
    size_t n = (size_t)state.range(0);
    auto& src = buffer(n, 0);
    auto& dst = buffer(n, 1);
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * n));
}

template <bool Encrypt> void BM_Driver(benchmark::State& state)
{
    size_t n = (size_t)state.range(0);
    auto& buf = buffer(n, 0);
    const KeyMaterial& k = keys();
    for (auto _ : state) {
        if (Encrypt) {
            DiskRW_EncryptRun(&k.bf, k.table.data(), kFileOffset, buf.data(), (ULONG)n);
        } else {
            DiskRW_DecryptRun(&k.bf, k.table.data(), kFileOffset, buf.data(), (ULONG)n);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * n));
}

template <bool Encrypt> void BM_OpenSsl(benchmark::State& state)
{
    size_t n = (size_t)state.range(0);
    auto& buf = buffer(n, 0);
    for (auto _ : state) {
        if (Encrypt) {
            openssl_encrypt(buf.data(), n, kFileOffset);
        } else {
            openssl_decrypt(buf.data(), n, kFileOffset);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * n));
}

BENCHMARK(BM_Memcpy)->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_Driver<true>)->Name("BM_DriverEncrypt")->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_Driver<false>)->Name("BM_DriverDecrypt")->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_OpenSsl<true>)->Name("BM_OpenSslEncrypt")->Arg(kSmall)->Arg(kLarge);
BENCHMARK(BM_OpenSsl<false>)->Name("BM_OpenSslDecrypt")->Arg(kSmall)->Arg(kLarge);

// Keeps the console output and remembers each run's rate for the summary; with repetitions the
// median stands for the benchmark, since other work on the machine only ever slows a run down.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> mbps;

    void ReportRuns(const std::vector<Run>& reports) override
    {
        ConsoleReporter::ReportRuns(reports);
        for (const Run& run : reports) {
            auto it = run.counters.find("bytes_per_second");
            if (run.error_occurred || it == run.counters.end()) {
                continue;
            }
            std::string name = run.run_name.str();
            if (run.run_type == Run::RT_Aggregate) {
                if (run.aggregate_name == "median") {
                    mbps[name] = it->second.value / 1e6;
                    medians_.insert(name);
                }
            } else if (!medians_.count(name)) {
                mbps[name] = it->second.value / 1e6;
            }
        }
    }

private:
    std::set<std::string> medians_;
};

} // namespace

int main(int argc, char** argv)
{
    // The machine is shared: by default repeat each case and interleave the repetitions at
    // random, so a burst of other work does not land on one side of a comparison. Flags given
    // on the command line come later and win.
    std::vector<char*> args{argv[0], (char*)"--benchmark_repetitions=5",
                            (char*)"--benchmark_enable_random_interleaving=true",
                            (char*)"--benchmark_report_aggregates_only=true"};
    args.insert(args.end(), argv + 1, argv + argc);
    int count = (int)args.size();
    benchmark::Initialize(&count, args.data());
    check_baseline_agrees();
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    printf("\n%-10s %-8s %12s %12s %12s %10s %10s\n", "run", "dir", "driver MB/s", "openssl MB/s",
           "memcpy MB/s", "vs openssl", "vs memcpy");
    for (size_t size : {kSmall, kLarge}) {
        std::string arg = "/" + std::to_string(size);
        double copy = reporter.mbps["BM_Memcpy" + arg];
        for (const char* dir : {"Encrypt", "Decrypt"}) {
            double mine = reporter.mbps[std::string("BM_Driver") + dir + arg];
            double base = reporter.mbps[std::string("BM_OpenSsl") + dir + arg];
            if (mine == 0 || base == 0) {
                continue; // filtered out on the command line
            }
            printf("%-10s %-8s %12.0f %12.0f %12.0f %9.2fx %9.2fx\n",
                   size == kSmall ? "64 KiB" : "64 MiB", dir, mine, base, copy, mine / base,
                   copy != 0 ? mine / copy : 0.0);
        }
    }
    benchmark::Shutdown();
    return 0;
}
