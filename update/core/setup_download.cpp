#include "setup_download.h"

#include "update_check.h"
#include "xhttp_client.h"

#include "hostpath.h"
#include "trusted_files.h"

#include <chrono>

namespace {

constexpr DWORD kChunk = 64 * 1024;

} // namespace

// The client of one download: its status callback tells the download which handle to close
// when it is cancelled.
class SetupDownload::Client : public XHttpClient {
public:
    explicit Client(SetupDownload& owner) : owner(owner) {}
    // Closing reports each handle to OnStatus, which must still find a Client.
    ~Client() override { Close(); }
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
    const std::u16string dosPath = HostPathToDosPath(path);
    if (dosPath.empty())
        return false;
    const HINSTANCE result =
        ShellExecuteW(nullptr, u"runas", dosPath.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    return reinterpret_cast<INT_PTR>(result) > 32;
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

    // The download goes to a temporary file beside the target and replaces it only once it is
    // complete and verified; a broken transfer leaves the old file as it was.
    win32::ReplacementFile setup(settings_.targetFolder, kSetupFileName);
    uint64_t size = 0;
    auto toFile = [&](const char* data, size_t n) { return setup.Write(data, n); };
    if (!setup.Ok() || !Fetch(client, kSetupPath, events, toFile, size, true)) {
        events.Failed(u"");
        return false;
    }

    std::string signature;
    uint64_t signatureSize = 0;
    auto toMemory = [&](const char* data, size_t n) {
        signature.append(data, n);
        return true;
    };
    bool verified = false;
    if (Fetch(client, kSetupSignaturePath, events, toMemory, signatureSize, false) &&
        signature.size() == kSignatureSize) {
        size_t mapped = 0;
        const void* data = setup.View(mapped);
        verified =
            data && mapped == size &&
            VerifySetupSignature(data, mapped, reinterpret_cast<const uint8_t*>(signature.data()),
                                 signature.size(), TrustedUpdateKeys(settings_.keysFile.c_str()));
    }
    if (cancelled_) {
        events.Failed(u"");
        return false;
    }
    if (!verified) {
        events.Failed(kStatusUnsigned);
        return false;
    }
    if (!setup.Commit(true)) {
        events.Failed(u"");
        return false;
    }
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
