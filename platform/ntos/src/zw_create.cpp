// ZwCreateFile and ZwOpenFile: NT paths through the namespace to host files or devices.
#include "host_internal.h"
#include "se_internal.h"
#include "zw_internal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace ntos::detail {

// Generic rights as the platform maps them for files and devices.
ACCESS_MASK zw_map_generic(ACCESS_MASK access)
{
    ACCESS_MASK out =
        access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | MAXIMUM_ALLOWED);
    if (access & GENERIC_READ)
        out |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE)
        out |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE)
        out |= FILE_GENERIC_EXECUTE;
    if (access & (GENERIC_ALL | MAXIMUM_ALLOWED))
        out |= FILE_ALL_ACCESS;
    return out;
}

namespace {

constexpr USHORT io_type_file = 5;

struct open_request {
    LONGLONG allocation; // AllocationSize of a new or overwritten file, 0 when not given
    ACCESS_MASK access;
    ULONG file_attributes;
    ULONG share;
    ULONG disposition;
    ULONG options;
    bool case_insensitive;
};

void destroy_host_file_object(void* body)
{
    auto* file = static_cast<PFILE_OBJECT>(body);
    auto* host = static_cast<host_file*>(file->FsContext);
    if (host) {
        zw_share_detach(host);
        if (host->fd >= 0)
            ::close(host->fd);
        delete host;
    }
    if (file->DeviceObject)
        ob_dereference(file->DeviceObject);
}

bool valid_component(std::u16string_view c)
{
    if (c.empty() || c == u"." || c == u"..")
        return false;
    for (char16_t ch : c) {
        if (ch < 0x20 || ch == u'/' || ch == u':' || ch == u'*' || ch == u'?' || ch == u'"' ||
            ch == u'<' || ch == u'>' || ch == u'|')
            return false;
    }
    return true;
}

// The entry of folder whose name matches name ignoring case; empty when there is none.
std::string find_folded(const std::string& folder, const std::string& name)
{
    int dir = ::open(folder.empty() ? "/" : folder.c_str(),
                     O_RDONLY | O_NONBLOCK | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return {};
    std::string match = hostns::find_entry_ignoring_case(dir, name);
    ::close(dir);
    return match;
}

// Host path of the NT path rest below base (a host folder).
NTSTATUS host_path_of(const std::string& base, std::u16string_view rest, bool case_insensitive,
                      std::string* path)
{
    if (!rest.empty() && rest.back() == u'\\')
        rest.remove_suffix(1);
    if (!rest.empty() && rest.front() == u'\\')
        rest.remove_prefix(1);
    std::string out = base == "/" ? std::string() : base;
    if (rest.empty()) {
        *path = out.empty() ? "/" : out;
        return STATUS_SUCCESS;
    }
    std::vector<std::u16string_view> parts;
    for (size_t start = 0;;) {
        size_t end = rest.find(u'\\', start);
        parts.push_back(rest.substr(start, end == rest.npos ? rest.npos : end - start));
        if (end == rest.npos)
            break;
        start = end + 1;
    }
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!valid_component(parts[i]))
            return STATUS_OBJECT_NAME_INVALID;
        std::string name = host_utf8(parts[i]);
        if (name.size() > 255)
            return STATUS_OBJECT_NAME_INVALID;
        std::string candidate = out + "/" + name;
        struct stat st;
        bool last = i + 1 == parts.size();
        if (::stat(candidate.c_str(), &st) != 0) {
            if (errno != ENOENT)
                return last || errno == EACCES ? zw_status_of_errno(errno)
                                               : STATUS_OBJECT_PATH_NOT_FOUND;
            std::string folded = case_insensitive ? find_folded(out, name) : std::string();
            if (!folded.empty()) {
                candidate = out + "/" + folded;
            } else if (!last) {
                return STATUS_OBJECT_PATH_NOT_FOUND;
            }
        } else if (!last && !S_ISDIR(st.st_mode)) {
            return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        out = candidate;
    }
    *path = out;
    return STATUS_SUCCESS;
}

void set_iosb(PIO_STATUS_BLOCK iosb, NTSTATUS status, ULONG_PTR information)
{
    iosb->Status = status;
    iosb->Information = information;
}

NTSTATUS open_host(PDEVICE_OBJECT device, const std::string& path, const std::u16string& nt_name,
                   const open_request& rq, ULONG attributes, PHANDLE handle, PIO_STATUS_BLOCK iosb)
{
    const ACCESS_MASK a = rq.access;
    bool maximum = (a & MAXIMUM_ALLOWED) != 0;
    bool read = (a & (FILE_READ_DATA | FILE_EXECUTE | GENERIC_READ | GENERIC_EXECUTE | GENERIC_ALL |
                      MAXIMUM_ALLOWED)) != 0;
    bool write = (a & (FILE_WRITE_DATA | FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL |
                       MAXIMUM_ALLOWED)) != 0;
    bool del = (a & (DELETE | GENERIC_ALL | MAXIMUM_ALLOWED)) != 0;
    const ULONG d = rq.disposition;
    bool truncating = d == FILE_SUPERSEDE || d == FILE_OVERWRITE || d == FILE_OVERWRITE_IF;
    // Overwriting writes the file whatever access the caller asked for.
    if (truncating)
        write = true;

    struct stat st;
    bool exists = ::stat(path.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) {
        NTSTATUS status = zw_status_of_errno(errno);
        set_iosb(iosb, status, 0);
        return status;
    }
    bool want_dir = (rq.options & FILE_DIRECTORY_FILE) != 0;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    int fd = -1;
    bool created = false;
    bool is_dir = exists && S_ISDIR(st.st_mode);

    if (exists) {
        if (d == FILE_CREATE)
            status = STATUS_OBJECT_NAME_COLLISION, information = FILE_EXISTS;
        else if (is_dir && (rq.options & FILE_NON_DIRECTORY_FILE))
            status = STATUS_FILE_IS_A_DIRECTORY;
        else if (is_dir && truncating)
            status = STATUS_FILE_IS_A_DIRECTORY;
        else if (!is_dir && want_dir)
            status = STATUS_NOT_A_DIRECTORY;
    } else if (d == FILE_OPEN || d == FILE_OVERWRITE) {
        status = STATUS_OBJECT_NAME_NOT_FOUND, information = FILE_DOES_NOT_EXIST;
    }
    if (!NT_SUCCESS(status)) {
        set_iosb(iosb, status, information);
        return status;
    }

    // Opened without blocking: a FIFO must not hold the opener (and whatever lock it holds)
    // until someone opens the other end. What is not a file, a folder or a disk is refused below.
    int sync = (rq.options & FILE_WRITE_THROUGH) ? O_DSYNC : 0;
    auto open_flags = [&](bool r, bool w) {
        int f = O_CLOEXEC | O_NONBLOCK | sync;
        if (is_dir)
            return O_CLOEXEC | O_RDONLY | O_DIRECTORY;
        if (r && w)
            return f | O_RDWR;
        if (w)
            return f | O_WRONLY;
        if (r)
            return f | O_RDONLY;
        return O_CLOEXEC | O_PATH;
    };
    mode_t mode = (rq.file_attributes & FILE_ATTRIBUTE_READONLY) ? 0400 : 0600;
    if (!exists) {
        if (want_dir) {
            if (::mkdir(path.c_str(), 0700) != 0) {
                status = zw_status_of_errno(errno);
                set_iosb(iosb, status, 0);
                return status;
            }
            is_dir = true;
            fd = ::open(path.c_str(), O_CLOEXEC | O_RDONLY | O_DIRECTORY);
        } else {
            fd = ::open(path.c_str(), open_flags(read, write) | O_CREAT | O_EXCL, mode);
            if (fd < 0 && errno == EACCES && maximum)
                fd = ::open(path.c_str(), open_flags(true, false) | O_CREAT | O_EXCL, mode);
        }
        if (fd < 0) {
            status = zw_status_of_errno(errno);
            set_iosb(iosb, status, 0);
            return status;
        }
        created = true;
        information = FILE_CREATED;
    } else {
        fd = ::open(path.c_str(), open_flags(read, write));
        if (fd < 0 && maximum && (errno == EACCES || errno == EROFS)) {
            write = false;
            fd = ::open(path.c_str(), open_flags(read, false));
        }
        if (fd < 0) {
            status = zw_status_of_errno(errno);
            set_iosb(iosb, status, 0);
            return status;
        }
        information = d == FILE_SUPERSEDE ? FILE_SUPERSEDED
                      : truncating        ? FILE_OVERWRITTEN
                                          : FILE_OPENED;
    }

    auto* host = new host_file;
    host->fd = fd;
    host->path = path;
    host->directory = is_dir;
    host->read = read && !is_dir;
    host->write = write && !is_dir;
    host->del = del;
    host->share_read = (rq.share & FILE_SHARE_READ) != 0;
    host->share_write = (rq.share & FILE_SHARE_WRITE) != 0;
    host->share_delete = (rq.share & FILE_SHARE_DELETE) != 0;
    host->synchronous =
        (rq.options & (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0;
    host->unbuffered = (rq.options & FILE_NO_INTERMEDIATE_BUFFERING) != 0;

    struct stat opened;
    if (::fstat(fd, &opened) != 0) {
        status = zw_status_of_errno(errno);
        ::close(fd);
        delete host;
        set_iosb(iosb, status, 0);
        return status;
    }
    if (!S_ISREG(opened.st_mode) && !S_ISDIR(opened.st_mode) && !S_ISBLK(opened.st_mode)) {
        ::close(fd);
        delete host;
        set_iosb(iosb, STATUS_INVALID_DEVICE_REQUEST, 0);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!host->directory) {
        int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0)
            ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    status = zw_share_attach(host, opened.st_dev, opened.st_ino);
    if (!NT_SUCCESS(status)) {
        ::close(fd);
        delete host;
        set_iosb(iosb, status, 0);
        return status;
    }
    if (truncating && exists) {
        if (::ftruncate(fd, 0) != 0) {
            status = zw_status_of_errno(errno);
            zw_share_detach(host);
            ::close(fd);
            delete host;
            set_iosb(iosb, status, 0);
            return status;
        }
        zw_share_set_sparse(host, false);
    } else if (exists && !created && S_ISREG(opened.st_mode) &&
               opened.st_blocks * 512 < opened.st_size) {
        // A file with holes was made sparse by an earlier run.
        zw_share_set_sparse(host, true);
    }
    // The allocation asked for with a new or overwritten file is reserved without changing its
    // size; a file system that cannot reserve ignores it, as the size is only a hint.
    if ((created || truncating) && rq.allocation > 0 && S_ISREG(opened.st_mode) &&
        ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, rq.allocation) != 0 && errno == ENOSPC) {
        zw_share_detach(host);
        ::close(fd);
        delete host;
        if (created)
            ::unlink(path.c_str());
        set_iosb(iosb, STATUS_DISK_FULL, 0);
        return STATUS_DISK_FULL;
    }
    if (host->unbuffered && S_ISREG(opened.st_mode)) {
        int flags = ::fcntl(fd, F_GETFL);
        // File systems without direct I/O (tmpfs) refuse it here: stay buffered, same rules.
        host->direct = flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_DIRECT) == 0;
        const auto block = static_cast<uint32_t>(opened.st_blksize);
        if (host->direct && host->write && !host->share_write && block > 512 &&
            block <= 64 * 1024 && (block & (block - 1)) == 0)
            host->host_block = block;
        if (host->direct && host->read && !host->share_write)
            host->ahead = direct_read_ahead::create(fd);
    }

    void* body = ob_create_object(object_kind::file, sizeof(FILE_OBJECT), destroy_host_file_object);
    if (!body) {
        zw_share_detach(host);
        ::close(fd);
        delete host;
        set_iosb(iosb, STATUS_INSUFFICIENT_RESOURCES, 0);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // Sharing ends with the last handle (the platform's cleanup), not the last reference.
    ob_set_close_procedure(body, [](void* object) {
        if (host_file* h = zw_host_file(static_cast<PFILE_OBJECT>(object)))
            zw_share_detach(h);
    });
    auto* file = static_cast<PFILE_OBJECT>(body);
    file->Type = io_type_file;
    file->Size = sizeof(FILE_OBJECT);
    ob_reference(device);
    file->DeviceObject = device;
    file->FsContext = host;
    file->FsContext2 = const_cast<char*>(host_file_tag);
    file->ReadAccess = host->read;
    file->WriteAccess = host->write;
    file->DeleteAccess = host->del;
    file->SharedRead = host->share_read;
    file->SharedWrite = host->share_write;
    file->SharedDelete = host->share_delete;
    if (host->synchronous)
        file->Flags |= FO_SYNCHRONOUS_IO;
    if (host->unbuffered)
        file->Flags |= FO_NO_INTERMEDIATE_BUFFERING;
    KeInitializeEvent(&file->Event, NotificationEvent, FALSE);
    KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
    host->name = nt_name;
    file->FileName.Buffer = host->name.data();
    file->FileName.Length = static_cast<USHORT>(host->name.size() * sizeof(WCHAR));
    file->FileName.MaximumLength = file->FileName.Length;

    ACCESS_MASK granted = zw_map_generic(rq.access);
    if (!write)
        granted &= ~(FILE_WRITE_DATA | FILE_APPEND_DATA);
    status = ob_insert_handle(body, granted, attributes, handle);
    ob_dereference(body);
    if (!NT_SUCCESS(status)) {
        set_iosb(iosb, status, 0);
        return status;
    }
    set_iosb(iosb, STATUS_SUCCESS, information);
    return STATUS_SUCCESS;
}

NTSTATUS check_parameters(PHANDLE handle, ACCESS_MASK access, POBJECT_ATTRIBUTES attributes,
                          PIO_STATUS_BLOCK iosb, ULONG share, ULONG disposition, ULONG options)
{
    if (!handle || !attributes || !iosb || attributes->Length != sizeof(OBJECT_ATTRIBUTES) ||
        !attributes->ObjectName)
        return STATUS_INVALID_PARAMETER;
    if (disposition > FILE_MAXIMUM_DISPOSITION || (share & ~FILE_SHARE_VALID_FLAGS) ||
        (options & ~0x00FFFFFFu))
        return STATUS_INVALID_PARAMETER;
    bool alert = options & FILE_SYNCHRONOUS_IO_ALERT;
    bool nonalert = options & FILE_SYNCHRONOUS_IO_NONALERT;
    if ((alert && nonalert) || ((alert || nonalert) && !(access & SYNCHRONIZE)))
        return STATUS_INVALID_PARAMETER;
    if ((options & FILE_DIRECTORY_FILE) && (options & FILE_NON_DIRECTORY_FILE))
        return STATUS_INVALID_PARAMETER;
    if ((options & FILE_DIRECTORY_FILE) && disposition != FILE_CREATE && disposition != FILE_OPEN &&
        disposition != FILE_OPEN_IF)
        return STATUS_INVALID_PARAMETER;
    if (options & FILE_DELETE_ON_CLOSE)
        return STATUS_NOT_SUPPORTED;
    return STATUS_SUCCESS;
}

} // namespace

host_file* zw_host_file(PFILE_OBJECT file)
{
    if (!file || file->FsContext2 != host_file_tag)
        return nullptr;
    return static_cast<host_file*>(file->FsContext);
}

} // namespace ntos::detail

using namespace ntos::detail;

NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                      POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                      PLARGE_INTEGER AllocationSize, ULONG FileAttributes, ULONG ShareAccess,
                      ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer, ULONG EaLength)
{
    host_passive_only("ZwCreateFile");
    NTSTATUS status = check_parameters(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock,
                                       ShareAccess, CreateDisposition, CreateOptions);
    if (!NT_SUCCESS(status))
        return status;
    std::u16string name;
    if (!ob_string(ObjectAttributes->ObjectName, &name))
        return STATUS_OBJECT_NAME_INVALID;
    if (EaBuffer && EaLength)
        return STATUS_EAS_NOT_SUPPORTED;
    if (AllocationSize && AllocationSize->QuadPart < 0)
        return STATUS_INVALID_PARAMETER;
    open_request rq{};
    rq.allocation = AllocationSize ? AllocationSize->QuadPart : 0;
    rq.access = DesiredAccess;
    rq.file_attributes = FileAttributes;
    rq.share = ShareAccess;
    rq.disposition = CreateDisposition;
    rq.options = CreateOptions;
    rq.case_insensitive = (ObjectAttributes->Attributes & OBJ_CASE_INSENSITIVE) != 0;

    // Host files are opened, and their paths walked, with the impersonated client's rights.
    bool switch_to = false;
    se_identity who;
    status = se_open_identity(&switch_to, &who);
    if (!NT_SUCCESS(status)) {
        set_iosb(IoStatusBlock, status, 0);
        return status;
    }

    std::string base;
    std::u16string rest;
    void* device = nullptr;
    void* root = nullptr;
    object_kind root_kind{};
    if (ObjectAttributes->RootDirectory &&
        NT_SUCCESS(ob_reference_any_by_handle(ObjectAttributes->RootDirectory, &root, nullptr,
                                              &root_kind)) &&
        root_kind == object_kind::file) {
        host_file* host = zw_host_file(static_cast<PFILE_OBJECT>(root));
        if (!host || !host->directory || (!name.empty() && name[0] == u'\\')) {
            ob_dereference(root);
            return host ? STATUS_OBJECT_NAME_INVALID : STATUS_INVALID_HANDLE;
        }
        base = host->path;
        rest = name;
        device = static_cast<PFILE_OBJECT>(root)->DeviceObject;
        ob_reference(device);
        ob_dereference(root);
    } else {
        if (root)
            ob_dereference(root);
        status = ob_lookup_path(ObjectAttributes->RootDirectory, name, &device, &rest, false);
        if (!NT_SUCCESS(status)) {
            set_iosb(IoStatusBlock, status, 0);
            return status;
        }
        if (ob_kind(device) != object_kind::device) {
            ob_dereference(device);
            set_iosb(IoStatusBlock, STATUS_OBJECT_TYPE_MISMATCH, 0);
            return STATUS_OBJECT_TYPE_MISMATCH;
        }
        if (!host_volume_folder(device, &base)) {
            status = zw_open_device_file(static_cast<PDEVICE_OBJECT>(device), rest, DesiredAccess,
                                         ObjectAttributes->Attributes, FileHandle, IoStatusBlock);
            ob_dereference(device);
            return status;
        }
    }

    {
        se_fs_credentials_scope scope(switch_to ? who : se_process_identity());
        if (!scope.active()) {
            status = STATUS_ACCESS_DENIED;
        } else {
            std::string path;
            status = host_path_of(base, rest, rq.case_insensitive, &path);
            if (NT_SUCCESS(status))
                status = open_host(static_cast<PDEVICE_OBJECT>(device), path, rest, rq,
                                   ObjectAttributes->Attributes, FileHandle, IoStatusBlock);
            else
                set_iosb(IoStatusBlock, status, 0);
        }
    }
    if (status == STATUS_ACCESS_DENIED)
        set_iosb(IoStatusBlock, status, 0);
    ob_dereference(device);
    return status;
}

NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess,
                    POBJECT_ATTRIBUTES ObjectAttributes, PIO_STATUS_BLOCK IoStatusBlock,
                    ULONG ShareAccess, ULONG OpenOptions)
{
    return ZwCreateFile(FileHandle, DesiredAccess, ObjectAttributes, IoStatusBlock, nullptr, 0,
                        ShareAccess, FILE_OPEN, OpenOptions, nullptr, 0);
}
