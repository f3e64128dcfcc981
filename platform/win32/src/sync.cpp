// Named mutexes over lock files. A handle holds a shared flock on the name's file; the creator is
// whoever finds no other holder, checked under an exclusive lock of a guard file so that two
// starting copies cannot both think they came first.
#include "synchapi.h"

#include "errhandlingapi.h"
#include "handle_table.h"
#include "paths.h"
#include "session_objects.h"
#include "winerror.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

namespace win32::detail {
namespace {

class MutexObject : public HandleObject {
public:
    explicit MutexObject(int fd) : fd_(fd) {}
    DWORD close() override
    {
        if (fd_ >= 0)
            ::close(fd_); // drops the shared lock
        fd_ = -1;
        return ERROR_SUCCESS;
    }

private:
    int fd_;
};

int open_lock_file(const std::string& path)
{
    return open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
}

} // namespace
} // namespace win32::detail

using namespace win32::detail;

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES lpMutexAttributes, BOOL bInitialOwner,
                           LPCWSTR lpName)
{
    if (bInitialOwner) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (!lpName) {
        SetLastError(ERROR_SUCCESS);
        return handle_insert(std::make_shared<MutexObject>(-1));
    }
    const std::string name = object_file_name(lpName);
    if (name.empty()) {
        SetLastError(ERROR_INVALID_NAME);
        return nullptr;
    }
    DWORD error = 0;
    const std::string dir = session_objects_dir(&error);
    if (dir.empty()) {
        SetLastError(error);
        return nullptr;
    }
    const std::string path = dir + "/mutex." + name;
    const int guard = open_lock_file(path + ".guard");
    if (guard < 0) {
        SetLastError(error_from_errno(errno, path));
        return nullptr;
    }
    while (flock(guard, LOCK_EX) != 0 && errno == EINTR) {
    }
    const int fd = open_lock_file(path);
    if (fd < 0) {
        error = error_from_errno(errno, path);
        close(guard);
        SetLastError(error);
        return nullptr;
    }
    // Nobody else holds the name when an exclusive lock can be had.
    const bool existed = flock(fd, LOCK_EX | LOCK_NB) != 0;
    flock(fd, LOCK_SH);
    close(guard);
    HANDLE handle = handle_insert(std::make_shared<MutexObject>(fd));
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return handle;
}
