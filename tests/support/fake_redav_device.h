// A stand-in for the driver's control device: it publishes "ZELRedAv" in the runtime folder,
// listens on the device's control socket as the service does, records every request as it
// arrives and answers with a status and output chosen per control code.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeRedAvDevice {
public:
    struct Request {
        uint32_t code;
        std::vector<uint8_t> input;
        uint32_t output_length;
    };
    struct Reply {
        int32_t status = 0; // NTSTATUS
        uint64_t information = 0;
        std::vector<uint8_t> output; // sent only up to the caller's output length
    };

    explicit FakeRedAvDevice(const std::string& root);
    ~FakeRedAvDevice();

    bool listening() const { return listen_fd_ >= 0; }
    // Requests of this code get `reply`; every other code gets STATUS_SUCCESS and no output.
    void set_reply(uint32_t code, Reply reply);
    std::vector<Request> requests() const;
    // Waits (a few seconds at most) until the client has closed every connection it opened.
    bool wait_all_closed() const;

private:
    void serve();
    void serve_connection(int fd);

    int listen_fd_ = -1;
    int stop_fd_ = -1;
    std::thread thread_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::map<uint32_t, Reply> replies_;
    std::vector<Request> requests_;
    int open_connections_ = 0;
};
