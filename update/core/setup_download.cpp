#include "setup_download.h"

#include "update_check.h"
#include "xhttp_client.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

constexpr DWORD kChunk = 64 * 1024;

bool WriteAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// The folder the setup program goes to, opened once: every later step works relative to this
// handle. It must be one that only this user (or root) can change, else another local user could
// swap the verified file before it starts.
int OpenTargetFolder(const std::string& folder)
{
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return -1;
    struct stat st;
    if (fstat(dir, &st) != 0 || (st.st_uid != 0 && st.st_uid != geteuid()) ||
        (st.st_mode & (S_IWGRP | S_IWOTH))) {
        close(dir);
        return -1;
    }
    return dir;
}

// The temporary file beside the target, and everything that must go when the download does not
// end in a rename.
struct TempFile {
    int dir = -1;
    int fd = -1;
    std::string name;
    bool kept = false;

    bool Create()
    {
        static std::atomic<unsigned> counter{0};
        for (int attempt = 0; attempt < 16; ++attempt) {
            name = std::string(".") + kSetupFileName + "." + std::to_string(getpid()) + "." +
                   std::to_string(counter++) + ".part";
            fd =
                openat(dir, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd >= 0 || errno != EEXIST)
                return fd >= 0;
        }
        return false;
    }
    ~TempFile()
    {
        if (fd >= 0)
            close(fd);
        if (!kept && !name.empty())
            unlinkat(dir, name.c_str(), 0);
        if (dir >= 0)
            close(dir);
    }
};

} // namespace

// The client of one download: its status callback tells the download which handle to close
// when it is cancelled.
class SetupDownload::Client : public XHttpClient {
public:
    explicit Client(SetupDownload& owner) : owner(owner) {}
    SetupDownload& owner;

    static void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD)
    {
        if (!context || !info)
            return;
        auto* self = static_cast<Client*>(reinterpret_cast<XHttpClient*>(context));
        if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CREATED)
            self->owner.OnHandle(*static_cast<HINTERNET*>(info), true);
        else if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING)
            self->owner.OnHandle(*static_cast<HINTERNET*>(info), false);
    }
};

bool StartSetupElevated(const std::string& path)
{
    std::string program = path;
    std::string helper = "pkexec";
    char* root_argv[] = {program.data(), nullptr};
    char* user_argv[] = {helper.data(), program.data(), nullptr};
    char** argv = geteuid() == 0 ? root_argv : user_argv;
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv, environ) != 0)
        return false;
    // Nobody waits for the setup program; this only keeps it from lingering as a zombie.
    std::thread([pid] {
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }).detach();
    return true;
}

SetupDownload::SetupDownload(DownloadSettings settings) : settings_(std::move(settings)) {}

void SetupDownload::OnHandle(void* handle, bool created)
{
    if (created) {
        {
            std::lock_guard guard(lock_);
            if (!cancelled_) {
                liveHandle_ = handle;
                return;
            }
        }
        WinHttpCloseHandle(handle);
        return;
    }
    std::lock_guard guard(lock_);
    if (liveHandle_ == handle)
        liveHandle_ = nullptr;
}

void SetupDownload::Cancel()
{
    void* handle;
    {
        std::lock_guard guard(lock_);
        cancelled_ = true;
        handle = liveHandle_;
        liveHandle_ = nullptr;
    }
    wake_.notify_all();
    // Closing the handle from here aborts the transfer that the download thread is waiting on.
    if (handle)
        WinHttpCloseHandle(handle);
}

bool SetupDownload::Fetch(Client& client, const char* path, DownloadEvents& events,
                          const std::function<bool(const char*, size_t)>& store, uint64_t& size,
                          bool setup)
{
    if (cancelled_ || !client.OpenUrl(VendorUrl(settings_.baseUrl, path).c_str()) ||
        !client.SendRequest(RequestKind::Get) || client.GetStatusCode() != 200)
        return false;
    // The setup program must announce its length; the signature has a fixed one.
    const int64_t announced = client.GetContentLength();
    const uint64_t limit = setup ? settings_.maxSize : kSignatureSize;
    if (setup && (announced <= 0 || static_cast<uint64_t>(announced) > limit))
        return false;
    if (setup)
        events.Downloading();
    std::string chunk(kChunk, '\0');
    size = 0;
    for (;;) {
        DWORD read = 0;
        if (!client.ReadData(chunk.data(), kChunk, read))
            return false;
        if (read == 0)
            break;
        if (size + read > limit || !store(chunk.data(), read))
            return false;
        size += read;
    }
    return !setup || size == static_cast<uint64_t>(announced);
}

bool SetupDownload::Run(DownloadEvents& events)
{
    Client client(*this);
    if (!client.Open(kUpdateUserAgent, nullptr, nullptr, &Client::OnStatus) ||
        !client.SetTimeouts(0, 60000, 30000, settings_.receiveTimeoutMs)) {
        events.Failed(u"");
        return false;
    }
    events.Connecting();

    TempFile setup;
    setup.dir = OpenTargetFolder(settings_.targetFolder);
    uint64_t size = 0;
    auto toFile = [&](const char* data, size_t n) { return WriteAll(setup.fd, data, n); };
    if (setup.dir < 0 || !setup.Create() ||
        !Fetch(client, kSetupPath, events, toFile, size, true)) {
        events.Failed(u"");
        return false;
    }

    std::string signature;
    uint64_t signatureSize = 0;
    bool verified = false;
    auto toMemory = [&](const char* data, size_t n) {
        signature.append(data, n);
        return true;
    };
    if (Fetch(client, kSetupSignaturePath, events, toMemory, signatureSize, false) &&
        signature.size() == kSignatureSize) {
        void* data = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, setup.fd, 0);
        if (data != MAP_FAILED) {
            verified =
                VerifySetupSignature(data, size, reinterpret_cast<const uint8_t*>(signature.data()),
                                     kSignatureSize, TrustedUpdateKeys(settings_.keysFile.c_str()));
            munmap(data, size);
        }
    }
    if (cancelled_) {
        events.Failed(u"");
        return false;
    }
    if (!verified) {
        events.Failed(kStatusUnsigned);
        return false;
    }

    if (fchmod(setup.fd, 0755) != 0 || fsync(setup.fd) != 0 ||
        renameat(setup.dir, setup.name.c_str(), setup.dir, kSetupFileName) != 0) {
        events.Failed(u"");
        return false;
    }
    setup.kept = true;
    client.Close();
    events.Done();

    {
        std::unique_lock guard(lock_);
        if (wake_.wait_for(guard, std::chrono::milliseconds(settings_.startDelayMs),
                           [this] { return cancelled_.load(); }))
            return false;
    }
    return start(settings_.targetFolder + "/" + kSetupFileName);
}
