// ZwReadFile, ZwWriteFile and ZwFlushBuffersFile.
#include "host_internal.h"
#include "zw_aligned.h"
#include "zw_internal.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace ntos::detail {

namespace {

constexpr ULONG sector = 512;
// ByteOffset values that stand for "the current byte offset" and "the end of the file".
constexpr LONGLONG use_file_pointer = -2; // HighPart -1, LowPart FILE_USE_FILE_POINTER_POSITION
constexpr LONGLONG write_to_end = -1;     // HighPart -1, LowPart FILE_WRITE_TO_END_OF_FILE

// Event handle of an asynchronous-style call: cleared before the transfer, set after it.
struct completion_event {
    PVOID event = nullptr;
    ~completion_event()
    {
        if (event) {
            KeSetEvent(static_cast<PRKEVENT>(event), 0, FALSE);
            ObDereferenceObject(event);
        }
    }
};

NTSTATUS take_event(HANDLE handle, completion_event* out)
{
    if (!handle)
        return STATUS_SUCCESS;
    NTSTATUS status = ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType,
                                                KernelMode, &out->event, nullptr);
    if (NT_SUCCESS(status))
        KeClearEvent(static_cast<PRKEVENT>(out->event));
    return status;
}

// O_DIRECT needs buffers aligned to the block size; callers' buffers (pool blocks) are not.
struct aligned_buffer {
    void* data = nullptr;
    explicit aligned_buffer(size_t length)
    {
        if (posix_memalign(&data, 4096, length ? length : sector) != 0)
            data = nullptr;
    }
    ~aligned_buffer() { std::free(data); }
};

NTSTATUS transfer(host_file* host, bool write, char* buffer, ULONG length, off_t offset,
                  ULONG* done)
{
    *done = 0;
    while (*done < length) {
        ssize_t n = write ? ::pwrite(host->fd, buffer + *done, length - *done, offset + *done)
                          : ::pread(host->fd, buffer + *done, length - *done, offset + *done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return zw_status_of_errno(errno);
        if (n == 0) {
            if (write)
                return STATUS_DISK_FULL;
            break; // end of file
        }
        *done += static_cast<ULONG>(n);
    }
    return STATUS_SUCCESS;
}

// Pool blocks are not page-aligned; O_DIRECT takes only aligned buffers.
NTSTATUS transfer_bounced(host_file* host, bool write, PVOID buffer, ULONG length, off_t offset,
                          ULONG* done)
{
    if (!host->direct || reinterpret_cast<uintptr_t>(buffer) % 4096 == 0)
        return transfer(host, write, static_cast<char*>(buffer), length, offset, done);
    aligned_buffer bounce(length);
    if (!bounce.data)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (write)
        std::memcpy(bounce.data, buffer, length);
    NTSTATUS status = transfer(host, write, static_cast<char*>(bounce.data), length, offset, done);
    if (!write)
        std::memcpy(buffer, bounce.data, *done);
    return status;
}

// A direct write that does not cover whole host blocks makes the host file system serialise it
// and, over a hole, fall back to a buffered write plus a flush of its own: a container's
// sectors sit 512 bytes off the host's 4 KiB blocks, and that ran at a fifteenth of the aligned
// rate. A sole writer may instead write whole blocks: the edge blocks are read (or taken from the
// last write's end, for a sequential writer), patched and written with the rest in one call.
// False when the write is better left as it is: it would reach past the end of the file, or
// every block it touches already holds data.
bool widened_write(host_file* host, const char* buffer, ULONG length, off_t offset,
                   NTSTATUS* status, ULONG* done)
{
    const uint64_t block = host->host_block;
    const uint64_t start = static_cast<uint64_t>(offset) / block * block;
    const uint64_t end = (static_cast<uint64_t>(offset) + length + block - 1) / block * block;
    struct stat st;
    if (::fstat(host->fd, &st) != 0 || end > static_cast<uint64_t>(st.st_size))
        return false;
    // Over blocks that hold data the host copes well enough, and the edge reads would cost a
    // random writer more than they save.
    const off_t hole = ::lseek(host->fd, static_cast<off_t>(start), SEEK_HOLE);
    if (hole < 0 || static_cast<uint64_t>(hole) >= end)
        return false;

    thread_local aligned_scratch scratch;
    uint8_t* whole = scratch.get(end - start);
    if (!whole) {
        *done = 0;
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return true;
    }
    auto read_edge = [&](uint64_t at) {
        uint8_t* into = whole + (at - start);
        if (at == host->edge_offset) {
            std::memcpy(into, host->edge.data(), block);
            return STATUS_SUCCESS;
        }
        ULONG got = 0;
        NTSTATUS s = transfer(host, false, reinterpret_cast<char*>(into), static_cast<ULONG>(block),
                              static_cast<off_t>(at), &got);
        if (NT_SUCCESS(s) && got < block)
            std::memset(into + got, 0, block - got);
        return s;
    };

    *done = 0;
    *status = STATUS_SUCCESS;
    if (start < static_cast<uint64_t>(offset))
        *status = read_edge(start);
    // The tail block, unless it is the head block and was read just now.
    const uint64_t last = end - block;
    if (NT_SUCCESS(*status) && static_cast<uint64_t>(offset) + length < end &&
        (last != start || start == static_cast<uint64_t>(offset)))
        *status = read_edge(last);
    if (!NT_SUCCESS(*status))
        return true;
    std::memcpy(whole + (offset - start), buffer, length);

    ULONG wrote = 0;
    *status = transfer(host, true, reinterpret_cast<char*>(whole), static_cast<ULONG>(end - start),
                       static_cast<off_t>(start), &wrote);
    if (NT_SUCCESS(*status)) {
        host->edge.assign(whole + (last - start), whole + (last - start) + block);
        host->edge_offset = last;
        *done = length;
    } else {
        host->edge_offset = UINT64_MAX;
    }
    return true;
}

NTSTATUS write_data(host_file* host, const char* buffer, ULONG length, LONGLONG offset, ULONG* done)
{
    NTSTATUS status = STATUS_SUCCESS;
    std::shared_lock<std::shared_mutex> shared(host->widen_lock, std::defer_lock);
    if (host->host_block) {
        const uint64_t block = host->host_block;
        if ((offset % block || length % block) && length <= UINT32_MAX - 2 * block) {
            std::unique_lock<std::shared_mutex> alone(host->widen_lock);
            if (widened_write(host, buffer, length, offset, &status, done))
                return status;
        }
        shared.lock();
        // Any other write may change the block a widened write kept.
        host->edge_offset = UINT64_MAX;
    }
    return transfer_bounced(host, true, const_cast<char*>(buffer), length, offset, done);
}

NTSTATUS host_read_write(PFILE_OBJECT file, host_file* host, ACCESS_MASK granted, bool write,
                         PVOID buffer, ULONG length, PLARGE_INTEGER byte_offset,
                         PIO_STATUS_BLOCK iosb)
{
    iosb->Information = 0;
    if (host->directory)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!(granted & (write ? (FILE_WRITE_DATA | FILE_APPEND_DATA) : FILE_READ_DATA)))
        return STATUS_ACCESS_DENIED;
    if (!buffer && length)
        return STATUS_INVALID_PARAMETER;

    std::unique_lock<std::mutex> position(host->position_lock, std::defer_lock);
    LONGLONG offset;
    bool from_pointer = !byte_offset || byte_offset->QuadPart == use_file_pointer;
    if (from_pointer) {
        if (!host->synchronous)
            return STATUS_INVALID_PARAMETER;
        position.lock();
        offset = file->CurrentByteOffset.QuadPart;
    } else if (write && byte_offset->QuadPart == write_to_end) {
        struct stat st;
        if (::fstat(host->fd, &st) != 0)
            return zw_status_of_errno(errno);
        offset = st.st_size;
    } else {
        offset = byte_offset->QuadPart;
    }
    if (offset < 0)
        return STATUS_INVALID_PARAMETER;
    if (host->unbuffered && (offset % sector || length % sector))
        return STATUS_INVALID_PARAMETER;
    if (length == 0)
        return STATUS_SUCCESS;

    zw_space_watch(host);
    ULONG done = 0;
    NTSTATUS status;
    if (write) {
        direct_read_ahead::change changing(host->ahead.get());
        status = write_data(host, static_cast<const char*>(buffer), length, offset, &done);
        // Writes that a cache in front of the volume already took must still land: the space
        // held for them is given back and the write tried once more.
        if (status == STATUS_DISK_FULL && zw_space_give_back(host))
            status = write_data(host, static_cast<const char*>(buffer), length, offset, &done);
        zw_space_written(host, uint64_t(offset), length);
    } else if (host->ahead && host->ahead->read(buffer, length, offset, &done)) {
        status = STATUS_SUCCESS;
    } else {
        status = transfer_bounced(host, false, buffer, length, offset, &done);
    }
    // Nothing at all to read: the offset is at or past the end of the file.
    if (!write && NT_SUCCESS(status) && done == 0)
        return STATUS_END_OF_FILE;
    iosb->Information = done;
    if (host->synchronous && NT_SUCCESS(status)) {
        if (!position.owns_lock())
            position.lock();
        file->CurrentByteOffset.QuadPart = offset + done;
    }
    return status;
}

NTSTATUS read_write(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                    PLARGE_INTEGER ByteOffset, bool write)
{
    if (!IoStatusBlock || ApcRoutine || (!Buffer && Length))
        return STATUS_INVALID_PARAMETER;
    file_ref ref;
    NTSTATUS status = zw_reference_file(FileHandle, &ref);
    if (!NT_SUCCESS(status))
        return status;
    completion_event event;
    status = take_event(Event, &event);
    if (!NT_SUCCESS(status))
        return status;
    if (host_file* host = zw_host_file(ref.file)) {
        status = host_read_write(ref.file, host, ref.granted, write, Buffer, Length, ByteOffset,
                                 IoStatusBlock);
        IoStatusBlock->Status = status;
        return status;
    }
    if (!(ref.granted & (write ? (FILE_WRITE_DATA | FILE_APPEND_DATA) : FILE_READ_DATA))) {
        IoStatusBlock->Status = STATUS_ACCESS_DENIED;
        IoStatusBlock->Information = 0;
        return STATUS_ACCESS_DENIED;
    }
    LONGLONG offset = ByteOffset ? ByteOffset->QuadPart : ref.file->CurrentByteOffset.QuadPart;
    status = zw_device_read_write(ref.file, write, Buffer, Length, offset, IoStatusBlock);
    if (NT_SUCCESS(status) && (ref.file->Flags & FO_SYNCHRONOUS_IO))
        ref.file->CurrentByteOffset.QuadPart = offset + IoStatusBlock->Information;
    return status;
}

} // namespace

NTSTATUS zw_reference_file(HANDLE handle, file_ref* ref)
{
    void* body = nullptr;
    NTSTATUS status = ob_reference_by_handle(handle, object_kind::file, &body, &ref->granted);
    if (NT_SUCCESS(status))
        ref->file = static_cast<PFILE_OBJECT>(body);
    return status;
}

} // namespace ntos::detail

using namespace ntos::detail;

NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                    PLARGE_INTEGER ByteOffset, PULONG Key)
{
    host_passive_only("ZwReadFile");
    return read_write(FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length, ByteOffset,
                      false);
}

NTSTATUS ZwWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                     PLARGE_INTEGER ByteOffset, PULONG Key)
{
    host_passive_only("ZwWriteFile");
    return read_write(FileHandle, Event, ApcRoutine, IoStatusBlock, Buffer, Length, ByteOffset,
                      true);
}

NTSTATUS ZwFlushBuffersFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock)
{
    host_passive_only("ZwFlushBuffersFile");
    if (!IoStatusBlock)
        return STATUS_INVALID_PARAMETER;
    file_ref ref;
    NTSTATUS status = zw_reference_file(FileHandle, &ref);
    if (!NT_SUCCESS(status))
        return status;
    IoStatusBlock->Information = 0;
    if (host_file* host = zw_host_file(ref.file)) {
        if (!(ref.granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)))
            status = STATUS_ACCESS_DENIED;
        else
            status = ::fsync(host->fd) == 0 ? STATUS_SUCCESS : zw_status_of_errno(errno);
        IoStatusBlock->Status = status;
        return status;
    }
    return zw_device_flush(ref.file, IoStatusBlock);
}
