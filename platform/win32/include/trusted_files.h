// Host files that a program running as root may trust: the layer's own helpers, not platform
// interfaces. Every path is a host path; every folder is reached through handles opened without
// following symbolic links, so a local user cannot redirect what root reads or replaces.
#pragma once

#include <cstddef>
#include <string>

namespace win32 {

// The content of a regular file of at most maxBytes that root owns and nobody else may write,
// reached from "/" through folders that root owns and nobody else may write (a sticky folder
// such as /tmp counts as safe: others cannot rename what root put there). False otherwise.
bool ReadRootOnlyFile(const std::string& path, size_t maxBytes, std::string& content);

// A new version of `name` in `folder`, written to a temporary file beside it and renamed over it
// only by Commit(): readers never see a half-written file, and a version that is never committed
// leaves nothing behind. The folder must belong to the caller or to root and be writable by
// nobody else; otherwise Ok() is false.
class ReplacementFile {
public:
    ReplacementFile(const std::string& folder, const std::string& name);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    bool Ok() const { return fd_ >= 0; }
    // Appends all bytes or fails.
    bool Write(const void* data, size_t size);
    // The bytes written so far, mapped read-only until the next Write, Commit or destruction;
    // null when nothing was written or the mapping failed.
    const void* View(size_t& size);
    // Flushes the file to the medium, gives it mode 0755 (executable) or 0644, and renames it
    // over the name. False leaves the old file as it was.
    bool Commit(bool executable);

private:
    void Unmap();

    int dir_ = -1;
    int fd_ = -1;
    std::string temp_;
    std::string name_;
    size_t size_ = 0;
    void* view_ = nullptr;
    bool committed_ = false;
};

} // namespace win32
