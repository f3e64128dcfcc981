#include "trusted_files.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <string_view>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace win32 {

namespace {

// Only root may change what this names: owned by root and writable by nobody else, or a folder
// whose sticky bit keeps others from renaming what root put there.
bool root_only(const struct stat& st, bool folder)
{
    if (st.st_uid != 0)
        return false;
    if (!(st.st_mode & (S_IWGRP | S_IWOTH)))
        return true;
    return folder && (st.st_mode & S_ISVTX);
}

bool read_all(int fd, std::string& content, size_t size)
{
    content.assign(size, '\0');
    size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd, content.data() + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    content.resize(got);
    return got == size;
}

} // namespace

bool ReadRootOnlyFile(const std::string& path, size_t maxBytes, std::string& content)
{
    if (path.empty() || path[0] != '/')
        return false;
    int dir = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::string_view rest = std::string_view(path).substr(1);
    bool ok = false;
    while (dir >= 0) {
        struct stat st;
        if (fstat(dir, &st) != 0 || !root_only(st, true))
            break;
        const size_t slash = rest.find('/');
        const std::string name(rest.substr(0, slash));
        if (name.empty() || name == "." || name == "..")
            break;
        if (slash == std::string_view::npos) {
            // O_NONBLOCK: a FIFO put in the file's place cannot stall the reader.
            const int fd =
                openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && root_only(st, false) &&
                     static_cast<size_t>(st.st_size) <= maxBytes &&
                     read_all(fd, content, static_cast<size_t>(st.st_size));
                close(fd);
            }
            break;
        }
        const int next = openat(dir, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        close(dir);
        dir = next;
        rest = rest.substr(slash + 1);
    }
    if (dir >= 0)
        close(dir);
    return ok;
}

ReplacementFile::ReplacementFile(const std::string& folder, const std::string& name) : name_(name)
{
    if (name.empty() || name.find('/') != std::string::npos)
        return;
    dir_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat st;
    if (dir_ < 0 || fstat(dir_, &st) != 0 || (st.st_uid != 0 && st.st_uid != geteuid()) ||
        (st.st_mode & (S_IWGRP | S_IWOTH)))
        return;
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 16 && fd_ < 0; ++attempt) {
        temp_ =
            "." + name + "." + std::to_string(getpid()) + "." + std::to_string(counter++) + ".part";
        fd_ = openat(dir_, temp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd_ < 0 && errno != EEXIST)
            break;
    }
    if (fd_ < 0)
        temp_.clear();
}

ReplacementFile::~ReplacementFile()
{
    Unmap();
    if (fd_ >= 0)
        close(fd_);
    if (!committed_ && !temp_.empty())
        unlinkat(dir_, temp_.c_str(), 0);
    if (dir_ >= 0)
        close(dir_);
}

void ReplacementFile::Unmap()
{
    if (view_) {
        munmap(view_, size_);
        view_ = nullptr;
    }
}

bool ReplacementFile::Write(const void* data, size_t size)
{
    if (fd_ < 0 || committed_)
        return false;
    Unmap();
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd_, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<size_t>(n);
        size_ += static_cast<size_t>(n);
    }
    return true;
}

const void* ReplacementFile::View(size_t& size)
{
    size = size_;
    if (fd_ < 0 || size_ == 0)
        return nullptr;
    if (!view_) {
        void* view = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
        view_ = view == MAP_FAILED ? nullptr : view;
    }
    return view_;
}

bool ReplacementFile::Commit(bool executable)
{
    if (fd_ < 0 || committed_)
        return false;
    Unmap();
    if (fchmod(fd_, executable ? 0755 : 0644) != 0 || fsync(fd_) != 0 ||
        renameat(dir_, temp_.c_str(), dir_, name_.c_str()) != 0)
        return false;
    committed_ = true;
    fsync(dir_);
    return true;
}

} // namespace win32
