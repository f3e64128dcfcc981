// The download of a new setup program: fetch it into a temporary file beside the target, fetch
// its detached signature, verify, and only then rename it over "LockbinSetup.exe" and start it
// elevated. Runs on the download thread; Cancel() may be called from any other.
#pragma once

#include "setup_signature.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

// What the window learns of the download, in this order: Connecting once the session is open,
// Downloading once the server answered 200 with a length, then Done or Failed. A failure before
// Connecting, or one that keeps the last status, passes an empty text; otherwise the text to show.
class DownloadEvents {
public:
    virtual ~DownloadEvents() = default;
    virtual void Connecting() = 0;
    virtual void Downloading() = 0;
    virtual void Done() = 0;
    virtual void Failed(const std::u16string& status) = 0;
};

struct DownloadSettings {
    std::string baseUrl;                     // the vendor's server
    std::string targetFolder;                // host folder of the updater's executable
    std::string keysFile = kTrustedKeysFile; // further trusted keys, root-only
    int receiveTimeoutMs = 30000;            // longest silence of the server
    int startDelayMs = 1000;                 // pause between Done and the start
    uint64_t maxSize = 256ull * 1024 * 1024; // a larger announced length is refused
};

// Starts the file elevated through the shell ("runas"): directly when this process is root,
// else through pkexec.
// Does not wait for it. False when it could not be started.
bool StartSetupElevated(const std::string& path);

class SetupDownload {
public:
    explicit SetupDownload(DownloadSettings settings);

    // The whole download; returns true when the setup program was saved, verified and started.
    bool Run(DownloadEvents& events);
    // Ends a running download soon: the transfer in progress is aborted and nothing is started.
    void Cancel();
    bool Cancelled() const { return cancelled_; }

    // How the file is started; tests replace it.
    bool (*start)(const std::string& path) = &StartSetupElevated;

private:
    class Client;
    friend class Client;
    // GETs a path of the server and hands its body to `store`; the setup program must come with
    // its announced length, the signature within its fixed size.
    bool Fetch(Client& client, const char* path, DownloadEvents& events,
               const std::function<bool(const char*, size_t)>& store, uint64_t& size, bool setup);
    void OnHandle(void* handle, bool created);

    DownloadSettings settings_;
    std::atomic<bool> cancelled_{false};
    std::mutex lock_;
    std::condition_variable wake_;
    void* liveHandle_ = nullptr; // the last HINTERNET created, closed by Cancel()
};
