// Read-ahead for unbuffered host files.
//
// A direct read waits for the disk and nothing overlaps it: a volume's worker reads, decrypts
// and answers one request after another, so the disk idles while the worker decrypts and the
// worker idles while the disk reads. For a handle that no other handle of the service may write
// (it shares no write access), a read that continues the one before it sets a helper thread
// reading the next stretch of the same length; a read of exactly that stretch is then served
// from it. Any write or size change through the handle in the meantime drops the stretch.
#pragma once

#include <ntifs.h>

#include <cstdint>
#include <memory>

namespace ntos::detail {

class direct_read_ahead {
public:
    // Works on its own duplicate of `fd`, so the handle may close while a read is under way.
    // Null when the descriptor cannot be duplicated.
    static std::unique_ptr<direct_read_ahead> create(int fd);
    ~direct_read_ahead();
    direct_read_ahead(const direct_read_ahead&) = delete;
    direct_read_ahead& operator=(const direct_read_ahead&) = delete;

    // True when the read was served from the stretch read ahead (*done bytes, short only at the
    // end of the file); false when the caller must read itself. Either way, plans the next
    // stretch for a sequential reader.
    bool read(void* buffer, ULONG length, uint64_t offset, ULONG* done);

    // Held around every write and size change of the file through the handle.
    class change {
    public:
        explicit change(direct_read_ahead* ahead);
        ~change();
        change(const change&) = delete;
        change& operator=(const change&) = delete;

    private:
        direct_read_ahead* ahead_;
    };

    // Reads shorter than this are left alone: the handover costs more than it saves.
    static constexpr ULONG minimum = 16 * 1024;
    static constexpr ULONG maximum = 4 * 1024 * 1024;

private:
    struct state;
    explicit direct_read_ahead(std::shared_ptr<state> s);
    // The helper thread's loop; it keeps the state alive until it has stopped.
    static void serve(std::shared_ptr<state> s);
    std::shared_ptr<state> state_;
};

} // namespace ntos::detail
