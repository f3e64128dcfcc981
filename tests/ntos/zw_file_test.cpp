// Zw file services on host volumes: paths, dispositions, sharing, transfers, information.
#include "host_env_test.h"
#include "zw_internal.h"

#include <ntifs.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <atomic>
#include <sstream>
#include <thread>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using host_env::nt_data;
using host_env::us;

namespace {

constexpr ULONG sync_options = FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
constexpr ACCESS_MASK rw = GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE;

struct opened {
    NTSTATUS status;
    HANDLE handle;
    IO_STATUS_BLOCK iosb;
};

opened open(const std::u16string& path, ACCESS_MASK access, ULONG share, ULONG disposition,
            ULONG options = sync_options,
            ULONG attributes = OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE)
{
    UNICODE_STRING name = us(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, attributes, nullptr, nullptr);
    opened o{};
    o.iosb.Information = 0xdead;
    o.status = ZwCreateFile(&o.handle, access, &oa, &o.iosb, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                            disposition, options, nullptr, 0);
    return o;
}

std::string host_path(const std::string& relative)
{
    return host_env::start().data + "/" + relative;
}

void write_host(const std::string& relative, const std::string& text)
{
    std::ofstream(host_path(relative), std::ios::binary | std::ios::trunc) << text;
}

std::string read_host(const std::string& relative)
{
    std::ifstream in(host_path(relative), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

NTSTATUS write_at(HANDLE h, const void* data, ULONG length, LONGLONG offset,
                  ULONG_PTR* done = nullptr)
{
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    NTSTATUS s = ZwWriteFile(h, nullptr, nullptr, nullptr, &iosb, const_cast<void*>(data), length,
                             &at, nullptr);
    if (done)
        *done = iosb.Information;
    return s;
}

NTSTATUS read_at(HANDLE h, void* data, ULONG length, LONGLONG offset, ULONG_PTR* done = nullptr)
{
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER at;
    at.QuadPart = offset;
    NTSTATUS s = ZwReadFile(h, nullptr, nullptr, nullptr, &iosb, data, length, &at, nullptr);
    if (done)
        *done = iosb.Information;
    return s;
}

class ZwFile : public ::testing::Test {
protected:
    void SetUp() override { host_env::start(); }
};

} // namespace

TEST_F(ZwFile, DispositionsOnMissingAndExistingFiles)
{
    struct row {
        ULONG disposition;
        NTSTATUS missing_status;
        ULONG_PTR missing_info;
        NTSTATUS existing_status;
        ULONG_PTR existing_info;
        bool keeps_content;
    };
    const row rows[] = {
        {FILE_SUPERSEDE, STATUS_SUCCESS, FILE_CREATED, STATUS_SUCCESS, FILE_SUPERSEDED, false},
        {FILE_OPEN, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST, STATUS_SUCCESS, FILE_OPENED,
         true},
        {FILE_CREATE, STATUS_SUCCESS, FILE_CREATED, STATUS_OBJECT_NAME_COLLISION, FILE_EXISTS,
         true},
        {FILE_OPEN_IF, STATUS_SUCCESS, FILE_CREATED, STATUS_SUCCESS, FILE_OPENED, true},
        {FILE_OVERWRITE, STATUS_OBJECT_NAME_NOT_FOUND, FILE_DOES_NOT_EXIST, STATUS_SUCCESS,
         FILE_OVERWRITTEN, false},
        {FILE_OVERWRITE_IF, STATUS_SUCCESS, FILE_CREATED, STATUS_SUCCESS, FILE_OVERWRITTEN, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.disposition);
        std::string name = "disp" + std::to_string(r.disposition);
        ::unlink(host_path(name).c_str());
        opened o = open(nt_data(name), rw, 0, r.disposition);
        EXPECT_EQ(o.status, r.missing_status);
        EXPECT_EQ(o.iosb.Information, r.missing_info);
        EXPECT_EQ(::access(host_path(name).c_str(), F_OK) == 0, NT_SUCCESS(r.missing_status));
        if (NT_SUCCESS(o.status))
            ZwClose(o.handle);

        write_host(name, "previous");
        o = open(nt_data(name), rw, 0, r.disposition);
        EXPECT_EQ(o.status, r.existing_status);
        EXPECT_EQ(o.iosb.Information, r.existing_info);
        EXPECT_EQ(read_host(name), r.keeps_content ? "previous" : "");
        if (NT_SUCCESS(o.status))
            ZwClose(o.handle);
    }
}

TEST_F(ZwFile, PathsResolveThroughDriveLinksAndDevices)
{
    write_host("paths.txt", "x");
    std::string absolute = host_path("paths.txt");
    std::u16string through_c = u"\\??\\C:" + host_env::u16(absolute);
    for (char16_t& c : through_c)
        if (c == u'/')
            c = u'\\';
    for (const std::u16string& path :
         {through_c, nt_data("paths.txt"), std::u16string(u"\\GLOBAL??\\E:\\paths.txt"),
          std::u16string(u"\\DosDevices\\E:\\PATHS.TXT"),
          std::u16string(u"\\Device\\HarddiskVolume2\\Paths.Txt")}) {
        opened o = open(path, GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ, FILE_OPEN);
        EXPECT_EQ(o.status, STATUS_SUCCESS) << std::string(path.begin(), path.end());
        if (NT_SUCCESS(o.status))
            ZwClose(o.handle);
    }

    // Case folding only when the caller asks for it.
    EXPECT_EQ(open(nt_data("PATHS.TXT"), GENERIC_READ | SYNCHRONIZE, 0, FILE_OPEN, sync_options,
                   OBJ_KERNEL_HANDLE)
                  .status,
              STATUS_OBJECT_NAME_NOT_FOUND);
    // Beyond ASCII the fold is the user-mode layer's too, and a lone surrogate names the same
    // host bytes there.
    ::mkdir(host_path("Äb").c_str(), 0700);
    write_host("Äb/Été.lkb", "e");
    opened folded = open(u"\\??\\E:\\äB\\éTÉ.LKB", GENERIC_READ | SYNCHRONIZE, 0, FILE_OPEN);
    EXPECT_EQ(folded.status, STATUS_SUCCESS);
    if (NT_SUCCESS(folded.status))
        ZwClose(folded.handle);
    write_host("Idx", "i");
    EXPECT_EQ(open(u"\\??\\E:\\ıdx", GENERIC_READ | SYNCHRONIZE, 0, FILE_OPEN).status,
              STATUS_OBJECT_NAME_NOT_FOUND);
    opened lone =
        open(u"\\??\\E:\\s" + std::u16string(1, char16_t(0xD800)) + u".bin", rw, 0, FILE_CREATE);
    EXPECT_EQ(lone.status, STATUS_SUCCESS);
    if (NT_SUCCESS(lone.status))
        ZwClose(lone.handle);
    EXPECT_EQ(::access(host_path("s\xED\xA0\x80.bin").c_str(), F_OK), 0);

    EXPECT_EQ(open(nt_data("missing/paths.txt"), rw, 0, FILE_OPEN_IF).status,
              STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(open(nt_data("paths.txt/below"), rw, 0, FILE_OPEN_IF).status,
              STATUS_OBJECT_PATH_NOT_FOUND);
    EXPECT_EQ(open(nt_data("../escape"), rw, 0, FILE_OPEN_IF).status, STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(open(nt_data("a:stream"), rw, 0, FILE_OPEN_IF).status, STATUS_OBJECT_NAME_INVALID);
    // A drive that does not exist is a missing folder on the way.
    EXPECT_EQ(open(u"\\??\\Q:\\nothing", rw, 0, FILE_OPEN_IF).status, STATUS_OBJECT_PATH_NOT_FOUND);

    ::mkdir(host_path("folder").c_str(), 0700);
    EXPECT_EQ(open(nt_data("folder"), rw, 0, FILE_OPEN).status, STATUS_FILE_IS_A_DIRECTORY);

    // A folder handle roots relative names below it; new folders come from FILE_DIRECTORY_FILE.
    ::rmdir(host_path("folder/made").c_str());
    opened folder = open(nt_data("folder"), GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ, FILE_OPEN,
                         FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
    ASSERT_EQ(folder.status, STATUS_SUCCESS);
    std::u16string leaf = u"made";
    UNICODE_STRING leaf_name = us(leaf);
    OBJECT_ATTRIBUTES relative;
    InitializeObjectAttributes(&relative, &leaf_name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE,
                               folder.handle, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE made = nullptr;
    ASSERT_EQ(ZwCreateFile(&made, GENERIC_READ | SYNCHRONIZE, &relative, &iosb, nullptr, 0, 0,
                           FILE_CREATE, FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT, nullptr,
                           0),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, ULONG_PTR(FILE_CREATED));
    struct stat st;
    EXPECT_EQ(::stat(host_path("folder/made").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    char byte;
    LARGE_INTEGER zero{};
    EXPECT_EQ(ZwReadFile(made, nullptr, nullptr, nullptr, &iosb, &byte, 1, &zero, nullptr),
              STATUS_INVALID_DEVICE_REQUEST);
    ZwClose(made);
    ZwClose(folder.handle);
    EXPECT_EQ(open(nt_data("paths.txt"), GENERIC_READ | SYNCHRONIZE, 0, FILE_OPEN,
                   FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT)
                  .status,
              STATUS_NOT_A_DIRECTORY);
}

TEST_F(ZwFile, ShareModesBetweenHandles)
{
    write_host("shared.lkb", std::string(1024, 'c'));
    opened writer = open(nt_data("shared.lkb"), rw, 0, FILE_OPEN);
    ASSERT_EQ(writer.status, STATUS_SUCCESS);
    EXPECT_EQ(open(nt_data("shared.lkb"), rw, 0, FILE_OPEN).status, STATUS_SHARING_VIOLATION);
    EXPECT_EQ(open(nt_data("shared.lkb"), GENERIC_READ | SYNCHRONIZE,
                   FILE_SHARE_READ | FILE_SHARE_WRITE, FILE_OPEN)
                  .status,
              STATUS_SHARING_VIOLATION);
    // Opening for attributes only takes no data access and never conflicts.
    opened attributes =
        open(nt_data("shared.lkb"), FILE_READ_ATTRIBUTES | SYNCHRONIZE, 0, FILE_OPEN);
    EXPECT_EQ(attributes.status, STATUS_SUCCESS);
    ZwClose(attributes.handle);
    ZwClose(writer.handle);

    opened reader =
        open(nt_data("shared.lkb"), GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ, FILE_OPEN);
    ASSERT_EQ(reader.status, STATUS_SUCCESS);
    opened second =
        open(nt_data("shared.lkb"), GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ, FILE_OPEN);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(open(nt_data("shared.lkb"), rw, FILE_SHARE_READ, FILE_OPEN).status,
              STATUS_SHARING_VIOLATION);
    // A refused overwrite must not have truncated the file.
    EXPECT_EQ(open(nt_data("shared.lkb"), rw, FILE_SHARE_READ, FILE_OVERWRITE).status,
              STATUS_SHARING_VIOLATION);
    EXPECT_EQ(read_host("shared.lkb").size(), 1024u);
    ZwClose(second.handle);
    ZwClose(reader.handle);

    opened again = open(nt_data("shared.lkb"), rw, 0, FILE_OPEN);
    EXPECT_EQ(again.status, STATUS_SUCCESS);
    ZwClose(again.handle);
}

TEST_F(ZwFile, ExclusiveOpensStayExclusiveUnderConcurrency)
{
    write_host("contended.lkb", "x");
    std::atomic<int> holders{0}, most{0}, granted{0}, refused{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                opened o = open(nt_data("contended.lkb"), rw, 0, FILE_OPEN);
                if (o.status == STATUS_SUCCESS) {
                    int now = ++holders;
                    int seen = most.load();
                    while (now > seen && !most.compare_exchange_weak(seen, now)) {
                    }
                    ++granted;
                    --holders;
                    ZwClose(o.handle);
                } else if (o.status == STATUS_SHARING_VIOLATION) {
                    ++refused;
                }
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(most.load(), 1);
    EXPECT_EQ(granted + refused, 8 * 200);
    EXPECT_GT(granted.load(), 0);
    // Every handle is gone, so the file opens exclusively again.
    opened last = open(nt_data("contended.lkb"), rw, 0, FILE_OPEN);
    EXPECT_EQ(last.status, STATUS_SUCCESS);
    ZwClose(last.handle);
}

TEST_F(ZwFile, ReadsAndWritesAtOffsets)
{
    opened o = open(nt_data("rw.bin"), rw, 0, FILE_OVERWRITE_IF);
    ASSERT_EQ(o.status, STATUS_SUCCESS);
    ULONG_PTR done = 0;
    EXPECT_EQ(write_at(o.handle, "hello", 5, 10, &done), STATUS_SUCCESS);
    EXPECT_EQ(done, 5u);
    EXPECT_EQ(read_host("rw.bin"), std::string(10, '\0') + "hello");

    char buffer[32] = {};
    EXPECT_EQ(read_at(o.handle, buffer, sizeof buffer, 8, &done), STATUS_SUCCESS);
    EXPECT_EQ(done, 7u); // short read up to the end of file
    EXPECT_EQ(std::string(buffer, 7), std::string(2, '\0') + "hello");
    EXPECT_EQ(read_at(o.handle, buffer, 4, 15, &done), STATUS_END_OF_FILE);
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(read_at(o.handle, buffer, 4, 1000, &done), STATUS_END_OF_FILE);
    EXPECT_EQ(read_at(o.handle, buffer, 0, 1000, &done), STATUS_SUCCESS);
    EXPECT_EQ(read_at(o.handle, buffer, 4, -5, &done), STATUS_INVALID_PARAMETER);

    // Without an offset a synchronous handle goes on from its current byte offset.
    IO_STATUS_BLOCK iosb{};
    FILE_POSITION_INFORMATION position{};
    position.CurrentByteOffset.QuadPart = 10;
    ASSERT_EQ(
        ZwSetInformationFile(o.handle, &iosb, &position, sizeof position, FilePositionInformation),
        STATUS_SUCCESS);
    EXPECT_EQ(ZwReadFile(o.handle, nullptr, nullptr, nullptr, &iosb, buffer, 2, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(
        ZwReadFile(o.handle, nullptr, nullptr, nullptr, &iosb, buffer + 2, 3, nullptr, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    ASSERT_EQ(ZwQueryInformationFile(o.handle, &iosb, &position, sizeof position,
                                     FilePositionInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(position.CurrentByteOffset.QuadPart, 15);
    ZwClose(o.handle);

    opened reader = open(nt_data("rw.bin"), GENERIC_READ | SYNCHRONIZE, FILE_SHARE_READ, FILE_OPEN);
    ASSERT_EQ(reader.status, STATUS_SUCCESS);
    EXPECT_EQ(write_at(reader.handle, "x", 1, 0), STATUS_ACCESS_DENIED);
    ZwClose(reader.handle);
}

TEST_F(ZwFile, UnbufferedHandlesKeepTheSectorRule)
{
    opened o = open(nt_data("direct.bin"), rw, 0, FILE_OVERWRITE_IF,
                    sync_options | FILE_NO_INTERMEDIATE_BUFFERING | FILE_RANDOM_ACCESS);
    ASSERT_EQ(o.status, STATUS_SUCCESS);
    // A pool-like buffer that is not page-aligned still goes through.
    std::vector<char> storage(3 * 512 + 16);
    char* buffer = storage.data() + 16;
    for (int i = 0; i < 1024; ++i)
        buffer[i] = static_cast<char>(i * 7);
    EXPECT_EQ(write_at(o.handle, buffer, 1024, 512), STATUS_SUCCESS);
    EXPECT_EQ(write_at(o.handle, buffer, 100, 512), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(write_at(o.handle, buffer, 512, 100), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(read_at(o.handle, buffer, 512, 7), STATUS_INVALID_PARAMETER);

    std::string stored = read_host("direct.bin");
    ASSERT_EQ(stored.size(), 1536u);
    EXPECT_EQ(std::memcmp(stored.data() + 512, buffer, 1024), 0);
    char back[1024];
    ULONG_PTR done = 0;
    EXPECT_EQ(read_at(o.handle, back, 1024, 512, &done), STATUS_SUCCESS);
    EXPECT_EQ(done, 1024u);
    EXPECT_EQ(std::memcmp(back, buffer, 1024), 0);

    IO_STATUS_BLOCK iosb{};
    FILE_ALIGNMENT_INFORMATION alignment{};
    EXPECT_EQ(ZwQueryInformationFile(o.handle, &iosb, &alignment, sizeof alignment,
                                     FileAlignmentInformation),
              STATUS_SUCCESS);
    // Direct I/O (and with it the 512-byte buffer alignment) exactly where the host takes it.
    int probe = ::open(host_path("direct.bin").c_str(), O_RDONLY | O_DIRECT);
    bool host_direct = probe >= 0;
    if (probe >= 0)
        ::close(probe);
    EXPECT_EQ(alignment.AlignmentRequirement,
              host_direct ? ULONG(FILE_512_BYTE_ALIGNMENT) : ULONG(FILE_BYTE_ALIGNMENT));
    ZwClose(o.handle);
}

// Creates an empty host file and tells whether the host opens it for direct I/O.
bool direct_io_on(const std::string& relative)
{
    write_host(relative, "");
    int probe = ::open(host_path(relative).c_str(), O_RDONLY | O_DIRECT);
    if (probe >= 0)
        ::close(probe);
    return probe >= 0;
}

// A sole writer's unbuffered writes over holes are widened to whole host blocks; whatever path
// a write takes, the bytes around it must stay as they were. Checked against a model of the file
// over sequential runs (where the last written block is reused), scattered sectors, a write inside
// one block, the file's last partial block, and a cut and regrown file.
TEST_F(ZwFile, UnbufferedWritesKeepTheirNeighbours)
{
    if (!direct_io_on("edges.bin"))
        GTEST_SKIP() << "the test folder's file system has no direct I/O";

    for (ULONG share : {ULONG(0), ULONG(FILE_SHARE_READ | FILE_SHARE_WRITE)}) {
        SCOPED_TRACE(share ? "shared writer" : "sole writer");
        const size_t size = 256 * 1024 + 1024; // ends inside a host block
        // Data in every other 16 KiB, holes between: writes over both kinds of block.
        std::string model(size, '\0');
        write_host("edges.bin", "");
        ASSERT_EQ(::truncate(host_path("edges.bin").c_str(), off_t(size)), 0);
        {
            int fd = ::open(host_path("edges.bin").c_str(), O_WRONLY);
            ASSERT_GE(fd, 0);
            for (size_t at = 0; at < size; at += 32 * 1024) {
                for (size_t i = at; i < at + 16 * 1024 && i < size; ++i)
                    model[i] = static_cast<char>(i * 131 + i / 4096);
                size_t n = std::min<size_t>(16 * 1024, size - at);
                ASSERT_EQ(::pwrite(fd, model.data() + at, n, off_t(at)), ssize_t(n));
            }
            ::close(fd);
        }
        opened o = open(nt_data("edges.bin"), rw, share, FILE_OPEN,
                        sync_options | FILE_NO_INTERMEDIATE_BUFFERING);
        ASSERT_EQ(o.status, STATUS_SUCCESS);

        uint32_t seed = 7;
        auto next = [&seed] { return seed = seed * 1103515245 + 12345, (seed >> 8) & 0xffff; };
        auto put = [&](size_t at, size_t length) {
            std::string data(length, '\0');
            for (char& c : data)
                c = static_cast<char>(next());
            ASSERT_EQ(write_at(o.handle, data.data(), ULONG(length), LONGLONG(at)), STATUS_SUCCESS)
                << at << "+" << length;
            model.replace(at, length, data);
        };
        for (size_t at = 512; at + 8192 <= 128 * 1024; at += 8192)
            put(at, 8192); // sequential, 512 bytes off every block
        for (int i = 0; i < 60; ++i) {
            size_t length = 512 * (1 + next() % 24);
            size_t at = 512 * (next() % ((size - length) / 512));
            put(at, length);
        }
        put(4096 + 1024, 512);  // inside one block
        put(size - 1536, 1536); // up to the end of the file
        ASSERT_EQ(read_host("edges.bin"), model);

        // Cut and grown again, so that all past the cut is a hole: a sequential write there must
        // not bring back bytes of the block the write before it kept.
        IO_STATUS_BLOCK iosb{};
        FILE_END_OF_FILE_INFORMATION eof{};
        auto cut_and_regrow = [&](size_t at) {
            for (size_t to : {at, size}) {
                eof.EndOfFile.QuadPart = LONGLONG(to);
                ASSERT_EQ(ZwSetInformationFile(o.handle, &iosb, &eof, sizeof eof,
                                               FileEndOfFileInformation),
                          STATUS_SUCCESS);
            }
            std::fill(model.begin() + at, model.end(), '\0');
        };
        cut_and_regrow(8192);
        put(9216, 8192); // ends inside the block at 16 KiB
        cut_and_regrow(16384);
        put(17408, 1024); // starts inside it
        ZwClose(o.handle);
        EXPECT_EQ(read_host("edges.bin"), model);
    }
}

// A sole reader's sequential unbuffered reads are read ahead; a read must still return what
// the file holds at that moment: after writes into the stretch read ahead, after the file was
// cut below it, and at the end of the file.
TEST_F(ZwFile, UnbufferedSequentialReadsSeeEveryChange)
{
    if (!direct_io_on("ahead.bin"))
        GTEST_SKIP() << "the test folder's file system has no direct I/O";

    const size_t chunk = 64 * 1024;
    std::string model(40 * chunk + 4096, '\0');
    for (size_t i = 0; i < model.size(); ++i)
        model[i] = static_cast<char>(i * 7 + i / 512);
    write_host("ahead.bin", model);
    opened o =
        open(nt_data("ahead.bin"), rw, 0, FILE_OPEN, sync_options | FILE_NO_INTERMEDIATE_BUFFERING);
    ASSERT_EQ(o.status, STATUS_SUCCESS);

    void* raw = nullptr;
    ASSERT_EQ(posix_memalign(&raw, 4096, 2 * chunk), 0);
    std::unique_ptr<char, decltype(&std::free)> buffer(static_cast<char*>(raw), &std::free);
    auto read_next = [&](size_t at) {
        ULONG_PTR done = 0;
        NTSTATUS status = read_at(o.handle, buffer.get(), ULONG(chunk), LONGLONG(at), &done);
        return std::make_pair(status, std::string(buffer.get(), done));
    };
    std::string patch(4096, 'w');
    for (size_t at = 0; at < 30 * chunk; at += chunk) {
        auto [status, got] = read_next(at);
        ASSERT_EQ(status, STATUS_SUCCESS) << at;
        ASSERT_EQ(got, model.substr(at, chunk)) << "read at " << at;
        if ((at / chunk) % 3 == 1) {
            // Into the stretch the next read asks for, once it has surely been read ahead.
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
            size_t into = at + chunk + 4096 * (at / chunk % 8);
            ASSERT_EQ(write_at(o.handle, patch.data(), ULONG(patch.size()), LONGLONG(into)),
                      STATUS_SUCCESS);
            model.replace(into, patch.size(), patch);
            patch[0]++;
        }
    }

    // Cut inside the next stretch: the read comes back short, the one after finds nothing.
    IO_STATUS_BLOCK iosb{};
    FILE_END_OF_FILE_INFORMATION eof{};
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    eof.EndOfFile.QuadPart = LONGLONG(30 * chunk + 8192);
    ASSERT_EQ(ZwSetInformationFile(o.handle, &iosb, &eof, sizeof eof, FileEndOfFileInformation),
              STATUS_SUCCESS);
    auto [cut_status, cut] = read_next(30 * chunk);
    EXPECT_EQ(cut_status, STATUS_SUCCESS);
    EXPECT_EQ(cut, model.substr(30 * chunk, 8192));
    EXPECT_EQ(read_next(31 * chunk).first, STATUS_END_OF_FILE);
    // Closed while a stretch may still be on its way.
    read_next(0);
    read_next(chunk);
    ZwClose(o.handle);
}

TEST_F(ZwFile, SizeInformationAndSparseContainers)
{
    opened o = open(nt_data("sparse.lkb"), rw, 0, FILE_OVERWRITE_IF);
    ASSERT_EQ(o.status, STATUS_SUCCESS);
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(ZwFsControlFile(o.handle, nullptr, nullptr, nullptr, &iosb, FSCTL_SET_SPARSE, nullptr,
                              0, nullptr, 0),
              STATUS_SUCCESS);
    FILE_END_OF_FILE_INFORMATION eof{};
    eof.EndOfFile.QuadPart = (20LL << 30) + 1024;
    ASSERT_EQ(ZwSetInformationFile(o.handle, &iosb, &eof, sizeof eof, FileEndOfFileInformation),
              STATUS_SUCCESS);
    FILE_STANDARD_INFORMATION standard{};
    ASSERT_EQ(ZwQueryInformationFile(o.handle, &iosb, &standard, sizeof standard,
                                     FileStandardInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, sizeof standard);
    EXPECT_EQ(standard.EndOfFile.QuadPart, (20LL << 30) + 1024);
    EXPECT_FALSE(standard.Directory);
    struct stat st;
    ASSERT_EQ(::stat(host_path("sparse.lkb").c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, 1 << 20);
    FILE_BASIC_INFORMATION basic{};
    ASSERT_EQ(ZwQueryInformationFile(o.handle, &iosb, &basic, sizeof basic, FileBasicInformation),
              STATUS_SUCCESS);
    EXPECT_TRUE(basic.FileAttributes & FILE_ATTRIBUTE_SPARSE_FILE);
    ZwClose(o.handle);

    // Without the sparse mark a new end of file is allocated, as the platform allocates it.
    o = open(nt_data("full.lkb"), rw, 0, FILE_OVERWRITE_IF);
    ASSERT_EQ(o.status, STATUS_SUCCESS);
    eof.EndOfFile.QuadPart = 8 << 20;
    ASSERT_EQ(ZwSetInformationFile(o.handle, &iosb, &eof, sizeof eof, FileEndOfFileInformation),
              STATUS_SUCCESS);
    ASSERT_EQ(::stat(host_path("full.lkb").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 8 << 20);
    EXPECT_GE(st.st_blocks * 512, 8 << 20);
    eof.EndOfFile.QuadPart = 1024;
    ASSERT_EQ(ZwSetInformationFile(o.handle, &iosb, &eof, sizeof eof, FileEndOfFileInformation),
              STATUS_SUCCESS);
    EXPECT_EQ(read_host("full.lkb").size(), 1024u);

    EXPECT_EQ(ZwQueryInformationFile(o.handle, &iosb, &standard, sizeof standard - 1,
                                     FileStandardInformation),
              STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_EQ(
        ZwQueryInformationFile(o.handle, &iosb, &standard, sizeof standard, FileStreamInformation),
        STATUS_INVALID_INFO_CLASS);
    eof.EndOfFile.QuadPart = -1;
    EXPECT_EQ(ZwSetInformationFile(o.handle, &iosb, &eof, sizeof eof, FileEndOfFileInformation),
              STATUS_INVALID_PARAMETER);
    // Host files have no volume to lock.
    EXPECT_EQ(ZwFsControlFile(o.handle, nullptr, nullptr, nullptr, &iosb, FSCTL_LOCK_VOLUME,
                              nullptr, 0, nullptr, 0),
              STATUS_INVALID_DEVICE_REQUEST);
    ZwClose(o.handle);
}

TEST_F(ZwFile, BadArgumentsAndHandlesAreRefused)
{
    std::u16string path = nt_data("bad.bin");
    UNICODE_STRING name = us(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE h = nullptr;
    EXPECT_EQ(ZwCreateFile(nullptr, rw, &oa, &iosb, nullptr, 0, 0, FILE_OPEN_IF, sync_options,
                           nullptr, 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(
        ZwCreateFile(&h, rw, &oa, nullptr, nullptr, 0, 0, FILE_OPEN_IF, sync_options, nullptr, 0),
        STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwCreateFile(&h, rw, &oa, &iosb, nullptr, 0, 0, 6, sync_options, nullptr, 0),
              STATUS_INVALID_PARAMETER);
    // Synchronous handles need SYNCHRONIZE in the access asked for.
    EXPECT_EQ(ZwCreateFile(&h, GENERIC_READ | GENERIC_WRITE, &oa, &iosb, nullptr, 0, 0,
                           FILE_OPEN_IF, sync_options, nullptr, 0),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwCreateFile(&h, rw, &oa, &iosb, nullptr, 0, 0, FILE_OPEN_IF,
                           FILE_DIRECTORY_FILE | FILE_NON_DIRECTORY_FILE, nullptr, 0),
              STATUS_INVALID_PARAMETER);
    UNICODE_STRING odd = name;
    odd.Length = 3;
    oa.ObjectName = &odd;
    EXPECT_EQ(
        ZwCreateFile(&h, rw, &oa, &iosb, nullptr, 0, 0, FILE_OPEN_IF, sync_options, nullptr, 0),
        STATUS_OBJECT_NAME_INVALID);

    char buffer[16];
    HANDLE bogus = reinterpret_cast<HANDLE>(0x7ff0);
    EXPECT_EQ(ZwReadFile(bogus, nullptr, nullptr, nullptr, &iosb, buffer, 16, nullptr, nullptr),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwQueryInformationFile(bogus, &iosb, buffer, 16, FilePositionInformation),
              STATUS_INVALID_HANDLE);

    opened o = open(nt_data("bad.bin"), rw, 0, FILE_OVERWRITE_IF);
    ASSERT_EQ(o.status, STATUS_SUCCESS);
    LARGE_INTEGER at{};
    EXPECT_EQ(ZwReadFile(o.handle, nullptr, nullptr, nullptr, &iosb, nullptr, 16, &at, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwReadFile(o.handle, nullptr, nullptr, nullptr, nullptr, buffer, 16, &at, nullptr),
              STATUS_INVALID_PARAMETER);
    ZwClose(o.handle);
    // A closed handle is gone.
    EXPECT_EQ(ZwReadFile(o.handle, nullptr, nullptr, nullptr, &iosb, buffer, 16, &at, nullptr),
              STATUS_INVALID_HANDLE);

    // Not a file handle.
    OBJECT_ATTRIBUTES dir_oa;
    UNICODE_STRING dir_name = us(u"\\Device");
    InitializeObjectAttributes(&dir_oa, &dir_name, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE directory = nullptr;
    ASSERT_EQ(ZwOpenDirectoryObject(&directory, DIRECTORY_ALL_ACCESS, &dir_oa), STATUS_SUCCESS);
    EXPECT_EQ(ZwReadFile(directory, nullptr, nullptr, nullptr, &iosb, buffer, 16, &at, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(directory);
}

#if defined(LOCKBIN_CHECKED)
TEST_F(ZwFile, CallsAtRaisedIrqlAbortInCheckedBuilds)
{
    EXPECT_DEATH(
        {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            open(nt_data("irql.bin"), rw, 0, FILE_OPEN_IF);
        },
        "ZwCreateFile called at IRQL 2");
}
#endif

TEST_F(ZwFile, FullHostFileSystemsReportDiskFull)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    std::string small = host_path("small");
    ::mkdir(small.c_str(), 0700);
    if (::mount("lockbin-test", small.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    struct unmount {
        std::string path;
        ~unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } on_exit{small};

    // An allocation that cannot be reserved leaves no file behind.
    LARGE_INTEGER allocation;
    allocation.QuadPart = 4 << 20;
    std::u16string path = nt_data("small/reserved.lkb");
    UNICODE_STRING name = us(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                               nullptr);
    IO_STATUS_BLOCK iosb{};
    HANDLE h = nullptr;
    EXPECT_EQ(ZwCreateFile(&h, rw, &oa, &iosb, &allocation, FILE_ATTRIBUTE_NORMAL, 0, FILE_CREATE,
                           sync_options, nullptr, 0),
              STATUS_DISK_FULL);
    EXPECT_NE(::access((small + "/reserved.lkb").c_str(), F_OK), 0);

    opened o = open(nt_data("small/full.lkb"), rw, 0, FILE_OVERWRITE_IF);
    ASSERT_EQ(o.status, STATUS_SUCCESS);
    FILE_END_OF_FILE_INFORMATION eof{};
    eof.EndOfFile.QuadPart = 4 << 20;
    EXPECT_EQ(ZwSetInformationFile(o.handle, &iosb, &eof, sizeof eof, FileEndOfFileInformation),
              STATUS_DISK_FULL);
    std::vector<char> data(64 << 10, 'd');
    NTSTATUS status = STATUS_SUCCESS;
    for (LONGLONG at = 0; NT_SUCCESS(status) && at < (4 << 20); at += data.size())
        status = write_at(o.handle, data.data(), ULONG(data.size()), at);
    EXPECT_EQ(status, STATUS_DISK_FULL);
    ZwClose(o.handle);
}

// A container's holes hold host space for writes a cache in front of it already took: a write
// that finds the host full gets it and lands, and a closed container keeps none of it.
TEST_F(ZwFile, ContainersHoldSpaceInTheirHolesForAFullHost)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    std::string small = host_path("held");
    ::mkdir(small.c_str(), 0700);
    if (::mount("lockbin-test", small.c_str(), "tmpfs", 0, "size=8m") != 0)
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    struct unmount {
        std::string path;
        ~unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } on_exit{small};
    constexpr uint64_t margin = 1 << 20;
    auto allocated = [&](const char* name) {
        struct stat st {};
        ::stat((small + "/" + name).c_str(), &st);
        return uint64_t(st.st_blocks) * 512;
    };
    auto sparse_container = [&](const char* name) {
        opened o = open(nt_data(std::string("held/") + name), rw, 0, FILE_OVERWRITE_IF,
                        sync_options | FILE_NO_INTERMEDIATE_BUFFERING);
        IO_STATUS_BLOCK iosb{};
        EXPECT_EQ(ZwFsControlFile(o.handle, nullptr, nullptr, nullptr, &iosb, FSCTL_SET_SPARSE,
                                  nullptr, 0, nullptr, 0),
                  STATUS_SUCCESS);
        FILE_END_OF_FILE_INFORMATION eof{};
        eof.EndOfFile.QuadPart = (16 << 20) + 1024;
        EXPECT_EQ(ZwSetInformationFile(o.handle, &iosb, &eof, sizeof eof, FileEndOfFileInformation),
                  STATUS_SUCCESS);
        return o.handle;
    };
    std::vector<char> sector(512, 's');

    HANDLE first = sparse_container("first.lkb");
    ASSERT_EQ(write_at(first, sector.data(), 512, 0), STATUS_SUCCESS);
    EXPECT_FALSE(ntos::detail::zw_space_short(margin));
    EXPECT_GE(allocated("first.lkb"), margin);
    ZwClose(first);
    EXPECT_LT(allocated("first.lkb"), margin);

    HANDLE second = sparse_container("second.lkb");
    ASSERT_EQ(write_at(second, sector.data(), 512, 0), STATUS_SUCCESS);
    EXPECT_FALSE(ntos::detail::zw_space_short(margin));
    // Someone else takes the rest of the host.
    int filler = ::open((small + "/filler").c_str(), O_CREAT | O_WRONLY, 0600);
    std::vector<char> block(64 << 10, 'f');
    while (::write(filler, block.data(), block.size()) > 0) {
    }
    ::close(filler);
    std::vector<char> data(256 << 10, 'w');
    EXPECT_EQ(write_at(second, data.data(), ULONG(data.size()), 1 << 20), STATUS_SUCCESS);
    std::vector<char> back(data.size());
    ASSERT_EQ(read_at(second, back.data(), ULONG(back.size()), 1 << 20), STATUS_SUCCESS);
    EXPECT_EQ(back, data);
    // The held space is gone: the host is short until it is held again.
    EXPECT_TRUE(ntos::detail::zw_space_short(margin));
    ZwClose(second);
}
