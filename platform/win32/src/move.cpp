// MoveFileExW, GetLocalTime, GetWindowsDirectoryW.
#include "paths.h"

#include "errhandlingapi.h"
#include "fileapi.h"
#include "winbase.h"
#include "winerror.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using namespace win32::detail;

namespace {

std::string parent_of(const std::string& path)
{
    size_t cut = path.rfind('/');
    return cut == std::string::npos ? "." : cut == 0 ? "/" : path.substr(0, cut);
}

void sync_folder(const std::string& folder)
{
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// Copies a file to another volume: into a temporary name beside the target, then renamed into
// place, so the target is never seen half written. Returns an errno.
int copy_across(const std::string& from, const std::string& to, bool replace)
{
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return errno;
    struct stat st;
    fstat(in, &st);
    std::string tmp = to + ".move-" + std::to_string(getpid());
    int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
    if (out < 0) {
        int e = errno;
        close(in);
        return e;
    }
    char buf[65536];
    int error = 0;
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = n < 0 ? errno : 0;
            break;
        }
        for (ssize_t done = 0; done < n && !error;) {
            ssize_t w = write(out, buf + done, size_t(n - done));
            if (w < 0 && errno != EINTR)
                error = errno;
            else if (w > 0)
                done += w;
        }
        if (error)
            break;
    }
    if (!error && fsync(out) != 0)
        error = errno;
    close(in);
    if (close(out) != 0 && !error)
        error = errno;
    if (!error)
        error = replace
                    ? (rename(tmp.c_str(), to.c_str()) == 0 ? 0 : errno)
                    : (renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0
                           ? 0
                           : errno);
    if (error) {
        unlink(tmp.c_str());
        return error;
    }
    unlink(from.c_str());
    return 0;
}

} // namespace

BOOL WINAPI MoveFileExW(LPCWSTR lpExistingFileName, LPCWSTR lpNewFileName, DWORD dwFlags)
{
    if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT)
        return fail(ERROR_INVALID_PARAMETER);
    HostPath from = resolve_path(lpExistingFileName);
    if (from.error)
        return fail(from.error);
    HostPath to = resolve_path(lpNewFileName);
    if (to.error)
        return fail(to.error);

    struct stat src, dst;
    if (lstat(from.path.c_str(), &src) != 0)
        return fail(error_from_errno(errno, from.path));
    if (S_ISREG(src.st_mode) && in_use_against_delete(from.path))
        return fail(ERROR_SHARING_VIOLATION);
    bool replace = dwFlags & MOVEFILE_REPLACE_EXISTING;
    if (lstat(to.path.c_str(), &dst) == 0) {
        bool same_file = src.st_dev == dst.st_dev && src.st_ino == dst.st_ino;
        if (!same_file) {
            if (!replace)
                return fail(ERROR_ALREADY_EXISTS);
            // Windows never replaces a folder, nor a file with the read-only attribute.
            if (S_ISDIR(dst.st_mode) || S_ISDIR(src.st_mode) ||
                (S_ISREG(dst.st_mode) && !(dst.st_mode & S_IWUSR)))
                return fail(ERROR_ACCESS_DENIED);
            if (S_ISREG(dst.st_mode) && in_use_against_delete(to.path))
                return fail(ERROR_SHARING_VIOLATION);
        }
    }

    int r = replace ? rename(from.path.c_str(), to.path.c_str())
                    : renameat2(AT_FDCWD, from.path.c_str(), AT_FDCWD, to.path.c_str(),
                                RENAME_NOREPLACE);
    int error = r == 0 ? 0 : errno;
    if (error == EXDEV) {
        if (!(dwFlags & MOVEFILE_COPY_ALLOWED) || !S_ISREG(src.st_mode))
            return fail(ERROR_NOT_SAME_DEVICE);
        error = copy_across(from.path, to.path, replace);
    }
    if (error == EEXIST)
        return fail(ERROR_ALREADY_EXISTS);
    if (error)
        return fail(error == ENOENT ? ERROR_PATH_NOT_FOUND : error_from_errno(error, to.path));
    if (dwFlags & MOVEFILE_WRITE_THROUGH) {
        sync_folder(parent_of(to.path));
        sync_folder(parent_of(from.path));
    }
    return TRUE;
}

VOID WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime)
{
    if (!lpSystemTime)
        return;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm;
    localtime_r(&ts.tv_sec, &tm);
    lpSystemTime->wYear = WORD(tm.tm_year + 1900);
    lpSystemTime->wMonth = WORD(tm.tm_mon + 1);
    lpSystemTime->wDayOfWeek = WORD(tm.tm_wday);
    lpSystemTime->wDay = WORD(tm.tm_mday);
    lpSystemTime->wHour = WORD(tm.tm_hour);
    lpSystemTime->wMinute = WORD(tm.tm_min);
    lpSystemTime->wSecond = WORD(tm.tm_sec > 59 ? 59 : tm.tm_sec);
    lpSystemTime->wMilliseconds = WORD(ts.tv_nsec / 1000000);
}

UINT WINAPI GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize)
{
    static const char16_t windows[] = u"C:\\Windows";
    const UINT length = UINT(std::size(windows) - 1);
    if (!lpBuffer || uSize <= length)
        return length + 1;
    std::memcpy(lpBuffer, windows, sizeof windows);
    return length;
}
