// ZwQueryInformationFile, ZwSetInformationFile, ZwFsControlFile and ZwDeviceIoControlFile.
#include "host_internal.h"
#include "zw_internal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ntos::detail {

namespace {

// 100 ns intervals between 1601-01-01 and 1970-01-01.
constexpr LONGLONG epoch_difference = 116444736000000000LL;

LONGLONG nt_time(const struct statx_timestamp& t)
{
    return epoch_difference + t.tv_sec * 10000000LL + t.tv_nsec / 100;
}

NTSTATUS done(PIO_STATUS_BLOCK iosb, NTSTATUS status, ULONG_PTR information)
{
    iosb->Status = status;
    iosb->Information = NT_SUCCESS(status) ? information : 0;
    return status;
}

NTSTATUS query_host(PFILE_OBJECT file, host_file* host, ACCESS_MASK granted, PVOID info,
                    ULONG length, FILE_INFORMATION_CLASS klass, PIO_STATUS_BLOCK iosb)
{
    struct statx sx;
    auto stat_now = [&] {
        return ::statx(host->fd, "", AT_EMPTY_PATH, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0
                   ? STATUS_SUCCESS
                   : zw_status_of_errno(errno);
    };
    switch (klass) {
    case FileBasicInformation: {
        if (length < sizeof(FILE_BASIC_INFORMATION))
            return done(iosb, STATUS_INFO_LENGTH_MISMATCH, 0);
        if (!(granted & FILE_READ_ATTRIBUTES))
            return done(iosb, STATUS_ACCESS_DENIED, 0);
        NTSTATUS status = stat_now();
        if (!NT_SUCCESS(status))
            return done(iosb, status, 0);
        FILE_BASIC_INFORMATION out{};
        out.CreationTime.QuadPart =
            nt_time((sx.stx_mask & STATX_BTIME) ? sx.stx_btime : sx.stx_mtime);
        out.LastAccessTime.QuadPart = nt_time(sx.stx_atime);
        out.LastWriteTime.QuadPart = nt_time(sx.stx_mtime);
        out.ChangeTime.QuadPart = nt_time(sx.stx_ctime);
        ULONG attributes = host->directory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE;
        if (!(sx.stx_mode & 0222))
            attributes |= FILE_ATTRIBUTE_READONLY;
        if (zw_share_sparse(host))
            attributes |= FILE_ATTRIBUTE_SPARSE_FILE;
        out.FileAttributes = attributes;
        std::memcpy(info, &out, sizeof out);
        return done(iosb, STATUS_SUCCESS, sizeof out);
    }
    case FileStandardInformation: {
        if (length < sizeof(FILE_STANDARD_INFORMATION))
            return done(iosb, STATUS_INFO_LENGTH_MISMATCH, 0);
        NTSTATUS status = stat_now();
        if (!NT_SUCCESS(status))
            return done(iosb, status, 0);
        FILE_STANDARD_INFORMATION out{};
        out.AllocationSize.QuadPart = static_cast<LONGLONG>(sx.stx_blocks) * 512;
        out.EndOfFile.QuadPart = host->directory ? 0 : static_cast<LONGLONG>(sx.stx_size);
        out.NumberOfLinks = sx.stx_nlink;
        out.DeletePending = FALSE;
        out.Directory = host->directory;
        std::memcpy(info, &out, sizeof out);
        return done(iosb, STATUS_SUCCESS, sizeof out);
    }
    case FilePositionInformation: {
        if (length < sizeof(FILE_POSITION_INFORMATION))
            return done(iosb, STATUS_INFO_LENGTH_MISMATCH, 0);
        FILE_POSITION_INFORMATION out{};
        {
            std::lock_guard<std::mutex> guard(host->position_lock);
            out.CurrentByteOffset = file->CurrentByteOffset;
        }
        std::memcpy(info, &out, sizeof out);
        return done(iosb, STATUS_SUCCESS, sizeof out);
    }
    case FileAlignmentInformation: {
        if (length < sizeof(FILE_ALIGNMENT_INFORMATION))
            return done(iosb, STATUS_INFO_LENGTH_MISMATCH, 0);
        // Direct I/O on the host wants block-aligned transfers; buffered files take any.
        FILE_ALIGNMENT_INFORMATION out{host->direct ? ULONG(FILE_512_BYTE_ALIGNMENT)
                                                    : ULONG(FILE_BYTE_ALIGNMENT)};
        std::memcpy(info, &out, sizeof out);
        return done(iosb, STATUS_SUCCESS, sizeof out);
    }
    default:
        return done(iosb, STATUS_INVALID_INFO_CLASS, 0);
    }
}

// Grows or shrinks the file. A file that is not sparse gets its new range allocated, as the
// platform allocates clusters for it; sparse files grow as holes.
NTSTATUS set_end_of_file(host_file* host, LONGLONG size)
{
    struct stat st;
    if (::fstat(host->fd, &st) != 0)
        return zw_status_of_errno(errno);
    if (size > st.st_size && !zw_share_sparse(host)) {
        if (::fallocate(host->fd, 0, st.st_size, size - st.st_size) == 0)
            return STATUS_SUCCESS;
        if (errno != EOPNOTSUPP)
            return zw_status_of_errno(errno);
    }
    return ::ftruncate(host->fd, size) == 0 ? STATUS_SUCCESS : zw_status_of_errno(errno);
}

NTSTATUS set_host(PFILE_OBJECT file, host_file* host, ACCESS_MASK granted, PVOID info, ULONG length,
                  FILE_INFORMATION_CLASS klass, PIO_STATUS_BLOCK iosb)
{
    // A size change may cut away the block a widened write kept, or a stretch read ahead.
    host->edge_offset = UINT64_MAX;
    direct_read_ahead::change changing(host->ahead.get());
    switch (klass) {
    case FilePositionInformation: {
        if (length < sizeof(FILE_POSITION_INFORMATION))
            return done(iosb, STATUS_INFO_LENGTH_MISMATCH, 0);
        FILE_POSITION_INFORMATION in;
        std::memcpy(&in, info, sizeof in);
        if (in.CurrentByteOffset.QuadPart < 0 ||
            (host->unbuffered && in.CurrentByteOffset.QuadPart % 512))
            return done(iosb, STATUS_INVALID_PARAMETER, 0);
        std::lock_guard<std::mutex> guard(host->position_lock);
        file->CurrentByteOffset = in.CurrentByteOffset;
        return done(iosb, STATUS_SUCCESS, 0);
    }
    case FileEndOfFileInformation: {
        if (length < sizeof(FILE_END_OF_FILE_INFORMATION))
            return done(iosb, STATUS_INFO_LENGTH_MISMATCH, 0);
        if (host->directory)
            return done(iosb, STATUS_INVALID_PARAMETER, 0);
        if (!(granted & FILE_WRITE_DATA))
            return done(iosb, STATUS_ACCESS_DENIED, 0);
        FILE_END_OF_FILE_INFORMATION in;
        std::memcpy(&in, info, sizeof in);
        if (in.EndOfFile.QuadPart < 0)
            return done(iosb, STATUS_INVALID_PARAMETER, 0);
        return done(iosb, set_end_of_file(host, in.EndOfFile.QuadPart), 0);
    }
    case FileAllocationInformation: {
        if (length < sizeof(FILE_ALLOCATION_INFORMATION))
            return done(iosb, STATUS_INFO_LENGTH_MISMATCH, 0);
        if (host->directory)
            return done(iosb, STATUS_INVALID_PARAMETER, 0);
        if (!(granted & FILE_WRITE_DATA))
            return done(iosb, STATUS_ACCESS_DENIED, 0);
        FILE_ALLOCATION_INFORMATION in;
        std::memcpy(&in, info, sizeof in);
        LONGLONG size = in.AllocationSize.QuadPart;
        if (size < 0)
            return done(iosb, STATUS_INVALID_PARAMETER, 0);
        struct stat st;
        if (::fstat(host->fd, &st) != 0)
            return done(iosb, zw_status_of_errno(errno), 0);
        // Less allocation than data cuts the file; more reserves space past its end.
        if (size < st.st_size)
            return done(
                iosb, ::ftruncate(host->fd, size) == 0 ? STATUS_SUCCESS : zw_status_of_errno(errno),
                0);
        if (size > st.st_size && ::fallocate(host->fd, FALLOC_FL_KEEP_SIZE, 0, size) != 0 &&
            errno != EOPNOTSUPP)
            return done(iosb, zw_status_of_errno(errno), 0);
        return done(iosb, STATUS_SUCCESS, 0);
    }
    default:
        return done(iosb, STATUS_INVALID_INFO_CLASS, 0);
    }
}

bool is_volume_control(ULONG code)
{
    return code == FSCTL_LOCK_VOLUME || code == FSCTL_UNLOCK_VOLUME ||
           code == FSCTL_DISMOUNT_VOLUME;
}

NTSTATUS set_sparse(host_file* host, ACCESS_MASK granted, PVOID input, ULONG input_length,
                    PIO_STATUS_BLOCK iosb)
{
    if (!(granted & (FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES)))
        return done(iosb, STATUS_ACCESS_DENIED, 0);
    if (input_length && !input)
        return done(iosb, STATUS_INVALID_PARAMETER, 0);
    if (host->directory)
        return done(iosb, STATUS_INVALID_PARAMETER, 0);
    bool sparse = input_length ? static_cast<PFILE_SET_SPARSE_BUFFER>(input)->SetSparse != 0 : true;
    if (!sparse && zw_share_sparse(host)) {
        // Leaving the sparse state allocates the holes.
        struct stat st;
        if (::fstat(host->fd, &st) != 0)
            return done(iosb, zw_status_of_errno(errno), 0);
        if (st.st_size > 0 && ::fallocate(host->fd, 0, 0, st.st_size) != 0 && errno != EOPNOTSUPP)
            return done(iosb, zw_status_of_errno(errno), 0);
    }
    zw_share_set_sparse(host, sparse);
    return done(iosb, STATUS_SUCCESS, 0);
}

} // namespace

} // namespace ntos::detail

using namespace ntos::detail;

NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                                PVOID FileInformation, ULONG Length,
                                FILE_INFORMATION_CLASS FileInformationClass)
{
    host_passive_only("ZwQueryInformationFile");
    if (!IoStatusBlock || !FileInformation)
        return STATUS_INVALID_PARAMETER;
    file_ref ref;
    NTSTATUS status = zw_reference_file(FileHandle, &ref);
    if (!NT_SUCCESS(status))
        return status;
    if (host_file* host = zw_host_file(ref.file))
        return query_host(ref.file, host, ref.granted, FileInformation, Length,
                          FileInformationClass, IoStatusBlock);
    return done(IoStatusBlock, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS ZwSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock,
                              PVOID FileInformation, ULONG Length,
                              FILE_INFORMATION_CLASS FileInformationClass)
{
    host_passive_only("ZwSetInformationFile");
    if (!IoStatusBlock || !FileInformation)
        return STATUS_INVALID_PARAMETER;
    file_ref ref;
    NTSTATUS status = zw_reference_file(FileHandle, &ref);
    if (!NT_SUCCESS(status))
        return status;
    if (host_file* host = zw_host_file(ref.file))
        return set_host(ref.file, host, ref.granted, FileInformation, Length, FileInformationClass,
                        IoStatusBlock);
    return done(IoStatusBlock, STATUS_INVALID_DEVICE_REQUEST, 0);
}

NTSTATUS ZwFsControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                         PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG FsControlCode,
                         PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                         ULONG OutputBufferLength)
{
    host_passive_only("ZwFsControlFile");
    if (!IoStatusBlock || ApcRoutine || Event)
        return STATUS_INVALID_PARAMETER;
    file_ref ref;
    NTSTATUS status = zw_reference_file(FileHandle, &ref);
    if (!NT_SUCCESS(status))
        return status;
    if (host_file* host = zw_host_file(ref.file)) {
        if (FsControlCode == FSCTL_SET_SPARSE)
            return set_sparse(host, ref.granted, InputBuffer, InputBufferLength, IoStatusBlock);
        return done(IoStatusBlock, STATUS_INVALID_DEVICE_REQUEST, 0);
    }
    ntos::volume_control_hook hook = zw_volume_control_hook();
    if (!is_volume_control(FsControlCode) || !hook)
        return done(IoStatusBlock, STATUS_INVALID_DEVICE_REQUEST, 0);
    ULONG_PTR information = 0;
    status = hook(IoGetRelatedDeviceObject(ref.file), ref.file, FsControlCode, InputBuffer,
                  InputBufferLength, OutputBuffer, OutputBufferLength, &information);
    return done(IoStatusBlock, status, information);
}

NTSTATUS ZwDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine,
                               PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                               ULONG IoControlCode, PVOID InputBuffer, ULONG InputBufferLength,
                               PVOID OutputBuffer, ULONG OutputBufferLength)
{
    host_passive_only("ZwDeviceIoControlFile");
    if (!IoStatusBlock || ApcRoutine || Event)
        return STATUS_INVALID_PARAMETER;
    if ((InputBufferLength && !InputBuffer) || (OutputBufferLength && !OutputBuffer))
        return STATUS_INVALID_PARAMETER;
    file_ref ref;
    NTSTATUS status = zw_reference_file(FileHandle, &ref);
    if (!NT_SUCCESS(status))
        return status;
    if (zw_host_file(ref.file))
        return done(IoStatusBlock, STATUS_INVALID_DEVICE_REQUEST, 0);
    return zw_device_control(ref.file, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                             OutputBufferLength, IoStatusBlock);
}
