// Files and folders on the host: CreateFileW and the calls on its handles, delete, folders,
// attributes.
#include "device.h"
#include "find.h"
#include "handle_table.h"
#include "paths.h"

#include "errhandlingapi.h"
#include "fileapi.h"
#include "handleapi.h"
#include "winerror.h"

#include "hostns/share.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

using namespace win32::detail;

namespace {

constexpr DWORD FILE_READ_DATA = 0x0001;
constexpr DWORD FILE_WRITE_DATA = 0x0002;
constexpr DWORD FILE_APPEND_DATA = 0x0004;
constexpr DWORD delete_access = 0x00010000; // DELETE

class FileObject : public HandleObject {
public:
    FileObject(int fd, int lock_fd, bool can_read, bool can_write, std::string delete_on_close)
        : fd_(fd), lock_fd_(lock_fd), can_read_(can_read), can_write_(can_write),
          delete_on_close_(std::move(delete_on_close))
    {
    }

    DWORD read(void* buffer, DWORD length, DWORD* transferred) override
    {
        *transferred = 0;
        if (!can_read_)
            return ERROR_ACCESS_DENIED;
        auto* p = static_cast<char*>(buffer);
        while (*transferred < length) {
            ssize_t n = ::read(fd_, p + *transferred, length - *transferred);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return errno == EISDIR ? ERROR_INVALID_FUNCTION : error_from_errno(errno);
            if (n == 0)
                break;
            *transferred += DWORD(n);
        }
        return ERROR_SUCCESS;
    }

    DWORD write(const void* buffer, DWORD length, DWORD* transferred) override
    {
        *transferred = 0;
        if (!can_write_)
            return ERROR_ACCESS_DENIED;
        auto* p = static_cast<const char*>(buffer);
        while (*transferred < length) {
            ssize_t n = ::write(fd_, p + *transferred, length - *transferred);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return n == 0 ? ERROR_DISK_FULL : error_from_errno(errno);
            *transferred += DWORD(n);
        }
        return ERROR_SUCCESS;
    }

    DWORD flush() override
    {
        if (!can_write_)
            return ERROR_ACCESS_DENIED;
        return fsync(fd_) == 0 ? ERROR_SUCCESS : error_from_errno(errno);
    }

    DWORD size(ULONGLONG* bytes) override
    {
        struct stat st;
        if (fstat(fd_, &st) != 0)
            return error_from_errno(errno);
        *bytes = ULONGLONG(st.st_size);
        return ERROR_SUCCESS;
    }

    DWORD close() override
    {
        int r = ::close(fd_);
        if (!delete_on_close_.empty())
            unlink(delete_on_close_.c_str());
        if (lock_fd_ >= 0)
            ::close(lock_fd_);
        return r == 0 ? ERROR_SUCCESS : error_from_errno(errno);
    }

private:
    int fd_;
    int lock_fd_; // holds this handle's share-mode record, see hostns/share.h
    bool can_read_;
    bool can_write_;
    std::string delete_on_close_;
};

bool read_only(const struct stat& st)
{
    return S_ISREG(st.st_mode) && !(st.st_mode & S_IWUSR);
}

} // namespace

namespace win32::detail {

bool in_use_against_delete(const std::string& host_path)
{
    int fd = open(host_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0)
        return false;
    bool conflict = hostns::share_conflicts(fd, hostns::access_delete, 7);
    ::close(fd);
    return conflict;
}

} // namespace win32::detail

namespace {

HANDLE fail_handle(DWORD error)
{
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

} // namespace

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE)
{
    if (is_device_path(lpFileName))
        return device_open(std::u16string_view(lpFileName + 4), dwDesiredAccess, dwShareMode,
                           dwCreationDisposition, dwFlagsAndAttributes);
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING ||
        (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED))
        return fail_handle(ERROR_INVALID_PARAMETER);

    bool want_read = dwDesiredAccess & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA);
    bool want_write =
        dwDesiredAccess & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA);
    if (dwCreationDisposition == TRUNCATE_EXISTING && !want_write)
        return fail_handle(ERROR_INVALID_PARAMETER);

    HostPath host = resolve_path(lpFileName);
    if (host.error)
        return fail_handle(host.error);

    struct stat st;
    bool existed = stat(host.path.c_str(), &st) == 0;
    if (existed && S_ISDIR(st.st_mode)) {
        if (dwCreationDisposition == CREATE_NEW)
            return fail_handle(ERROR_FILE_EXISTS);
        if (!(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) ||
            dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == TRUNCATE_EXISTING)
            return fail_handle(ERROR_ACCESS_DENIED);
        int fd = open(host.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0)
            return fail_handle(error_from_errno(errno, host.path));
        SetLastError(dwCreationDisposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        return handle_insert(std::make_shared<FileObject>(fd, -1, false, false, std::string()));
    }
    // The read-only attribute holds for every caller, root included, as it does on Windows.
    if (existed && read_only(st) &&
        (want_write || dwCreationDisposition == CREATE_ALWAYS ||
         dwCreationDisposition == TRUNCATE_EXISTING ||
         (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE)))
        return fail_handle(dwCreationDisposition == CREATE_NEW ? ERROR_FILE_EXISTS
                                                               : ERROR_ACCESS_DENIED);

    int flags = O_CLOEXEC;
    flags |= want_read && want_write ? O_RDWR : want_write ? O_WRONLY : O_RDONLY;
    if (dwFlagsAndAttributes & FILE_FLAG_WRITE_THROUGH)
        flags |= O_DSYNC;
    mode_t mode = (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;

    int fd = -1;
    bool created = false;
    // Truncation waits until the share check has passed: a file that another handle keeps
    // from writers must not lose its contents to a refused open.
    bool truncate = false;
    switch (dwCreationDisposition) {
    case CREATE_NEW:
        fd = open(host.path.c_str(), flags | O_CREAT | O_EXCL, mode);
        created = fd >= 0;
        break;
    case CREATE_ALWAYS:
    case OPEN_ALWAYS:
        // Try to create first, so that "existed" is decided by the host, not by a race.
        fd = open(host.path.c_str(), flags | O_CREAT | O_EXCL, mode);
        created = fd >= 0;
        if (fd < 0 && errno == EEXIST) {
            fd = open(host.path.c_str(), flags);
            truncate = dwCreationDisposition == CREATE_ALWAYS;
        }
        break;
    case OPEN_EXISTING:
        fd = open(host.path.c_str(), flags);
        break;
    case TRUNCATE_EXISTING:
        fd = open(host.path.c_str(), flags);
        truncate = true;
        break;
    }
    if (fd < 0) {
        int e = errno;
        return fail_handle(e == EEXIST ? ERROR_FILE_EXISTS : error_from_errno(e, host.path));
    }

    unsigned access = (want_read ? hostns::access_read : 0) |
                      (want_write ? hostns::access_write : 0) |
                      ((dwDesiredAccess & (delete_access | GENERIC_ALL)) ||
                               (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE)
                           ? hostns::access_delete
                           : 0);
    int lock_fd = open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC);
    int share_error = lock_fd >= 0 ? hostns::share_acquire(lock_fd, access, dwShareMode & 7) : 0;
    if (share_error || (truncate && ftruncate(fd, 0) != 0)) {
        int e = share_error ? share_error : errno;
        if (lock_fd >= 0)
            ::close(lock_fd);
        ::close(fd);
        if (created)
            unlink(host.path.c_str());
        return fail_handle(e == EBUSY ? ERROR_SHARING_VIOLATION : error_from_errno(e, host.path));
    }
    std::string delete_path;
    if (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE) {
        // Absolute, so that a later change of the current folder deletes the right file.
        delete_path = host.path;
        char cwd[4096];
        if (delete_path[0] != '/' && getcwd(cwd, sizeof cwd))
            delete_path = std::string(cwd) + "/" + delete_path;
    }
    HANDLE h = handle_insert(
        std::make_shared<FileObject>(fd, lock_fd, want_read, want_write, delete_path));
    bool report_existing = !created && (dwCreationDisposition == CREATE_ALWAYS ||
                                        dwCreationDisposition == OPEN_ALWAYS);
    SetLastError(report_existing ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    if (lpOverlapped)
        return fail(ERROR_INVALID_PARAMETER);
    auto object = handle_lookup(hFile);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    if (!lpBuffer && nNumberOfBytesToRead)
        return fail(ERROR_NOACCESS);
    DWORD done = 0;
    DWORD error = object->read(lpBuffer, nNumberOfBytesToRead, &done);
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = done;
    return error ? fail(error) : TRUE;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped)
{
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    if (lpOverlapped)
        return fail(ERROR_INVALID_PARAMETER);
    auto object = handle_lookup(hFile);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    if (!lpBuffer && nNumberOfBytesToWrite)
        return fail(ERROR_NOACCESS);
    DWORD done = 0;
    DWORD error = object->write(lpBuffer, nNumberOfBytesToWrite, &done);
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = done;
    return error ? fail(error) : TRUE;
}

BOOL WINAPI FlushFileBuffers(HANDLE hFile)
{
    auto object = handle_lookup(hFile);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    DWORD error = object->flush();
    return error ? fail(error) : TRUE;
}

BOOL WINAPI GetFileSizeEx(HANDLE hFile, PLARGE_INTEGER lpFileSize)
{
    auto object = handle_lookup(hFile);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    if (!lpFileSize)
        return fail(ERROR_INVALID_PARAMETER);
    ULONGLONG bytes = 0;
    DWORD error = object->size(&bytes);
    if (error)
        return fail(error);
    lpFileSize->QuadPart = LONGLONG(bytes);
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    if (handle_lookup_as<SearchObject>(hObject))
        return fail(ERROR_INVALID_HANDLE);
    auto object = handle_remove(hObject);
    if (!object)
        return fail(ERROR_INVALID_HANDLE);
    DWORD error = object->close();
    return error ? fail(error) : TRUE;
}

BOOL WINAPI DeleteFileW(LPCWSTR lpFileName)
{
    HostPath host = resolve_path(lpFileName);
    if (host.error)
        return fail(host.error);
    struct stat st;
    if (lstat(host.path.c_str(), &st) != 0)
        return fail(error_from_errno(errno, host.path));
    if (S_ISDIR(st.st_mode) || read_only(st))
        return fail(ERROR_ACCESS_DENIED);
    if (S_ISREG(st.st_mode) && in_use_against_delete(host.path))
        return fail(ERROR_SHARING_VIOLATION);
    if (unlink(host.path.c_str()) != 0)
        return fail(error_from_errno(errno, host.path));
    return TRUE;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES)
{
    HostPath host = resolve_path(lpPathName);
    if (host.error)
        return fail(host.error);
    if (mkdir(host.path.c_str(), 0777) != 0)
        return fail(errno == ENOENT ? ERROR_PATH_NOT_FOUND : error_from_errno(errno, host.path));
    return TRUE;
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR lpPathName)
{
    HostPath host = resolve_path(lpPathName);
    if (host.error)
        return fail(host.error);
    if (rmdir(host.path.c_str()) != 0)
        return fail(errno == ENOTDIR ? ERROR_DIRECTORY : error_from_errno(errno, host.path));
    return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName)
{
    HostPath host = resolve_path(lpFileName);
    if (host.error) {
        SetLastError(host.error);
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat st;
    if (stat(host.path.c_str(), &st) != 0) {
        SetLastError(error_from_errno(errno, host.path));
        return INVALID_FILE_ATTRIBUTES;
    }
    return file_attributes(st);
}

BOOL WINAPI SetFileAttributesW(LPCWSTR lpFileName, DWORD dwFileAttributes)
{
    HostPath host = resolve_path(lpFileName);
    if (host.error)
        return fail(host.error);
    struct stat st;
    if (stat(host.path.c_str(), &st) != 0)
        return fail(error_from_errno(errno, host.path));
    if (!S_ISREG(st.st_mode))
        return TRUE;
    mode_t mode = st.st_mode & 07777;
    mode = (dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? mode & ~mode_t(0222) : mode | S_IWUSR;
    if (mode != (st.st_mode & 07777) && chmod(host.path.c_str(), mode) != 0)
        return fail(error_from_errno(errno, host.path));
    return TRUE;
}
