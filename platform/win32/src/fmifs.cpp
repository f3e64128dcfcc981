// FormatEx over mkntfs: the volume's block file, served by the kernel layer's disk bridge, is
// formatted by mkntfs as the caller; when mkntfs closes it the service finds the new file system
// and mounts it at the drive, which is when the format is done.
#include "fmifs.h"

#include "paths.h"
#include "host_program.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace {

using win32::detail::name_space;

constexpr size_t max_label_units = 128; // mkntfs makes a broken volume of a longer one
constexpr auto mount_wait = std::chrono::seconds(60);

// mkntfs -v prints one line per step of building the volume, this many for a quick format
// (from "Creating NTFS volume structures." to "Syncing device."). A full format first writes
// zeros over the volume and redraws its percentage after backspaces.
constexpr unsigned mkntfs_steps = 26;
constexpr DWORD zeroing_share = 80; // of a full format's percent
constexpr DWORD before_mount = 95;  // the rest is the service mounting the new file system

// Turns mkntfs's output into percentages: the zeroing it reports, then its steps.
class MkntfsProgress {
public:
    explicit MkntfsProgress(bool quick) : quick_(quick) {}

    // Feeds output; true when the percentage rose.
    bool feed(std::string_view bytes)
    {
        bool rose = false;
        for (char c : bytes) {
            if (c == '\n' || c == '\b' || c == '\r') {
                rose = take(token_) || rose;
                token_.clear();
            } else if (token_.size() < 512) {
                token_ += c;
            }
        }
        return rose;
    }

    DWORD percent() const { return percent_; }

private:
    bool take(std::string_view token)
    {
        while (!token.empty() && token.back() == ' ')
            token.remove_suffix(1);
        if (token.starts_with("Creating ") || token.starts_with("Syncing ") ||
            token.starts_with("Updating "))
            steps_ = std::min(steps_ + 1, mkntfs_steps);
        else if (!token.empty() && token.back() == '%')
            zeroed_ = std::min<DWORD>(trailing_number(token.substr(0, token.size() - 1)), 100);
        DWORD steps_share = quick_ ? before_mount : before_mount - zeroing_share;
        DWORD value = steps_share * steps_ / mkntfs_steps;
        if (!quick_)
            value += zeroing_share * zeroed_ / 100;
        if (value <= percent_)
            return false;
        percent_ = value;
        return true;
    }

    static DWORD trailing_number(std::string_view text)
    {
        size_t start = text.size();
        while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9' &&
               text.size() - start < 3)
            --start;
        DWORD n = 0;
        for (char c : text.substr(start))
            n = n * 10 + DWORD(c - '0');
        return n;
    }

    bool quick_;
    std::string token_;
    unsigned steps_ = 0;
    DWORD zeroed_ = 0;
    DWORD percent_ = 0;
};

// "X:\" or "X:" -> "X:".
std::u16string drive_of(const WCHAR* root)
{
    if (!root)
        return {};
    std::u16string_view r(root);
    if (r.size() < 2 || r.size() > 3 || r[1] != u':' || (r.size() == 3 && r[2] != u'\\'))
        return {};
    return hostns::drive_name(r[0]);
}

bool is_ntfs(const WCHAR* name)
{
    std::u16string_view n = name ? name : u"";
    if (n.size() != 4)
        return false;
    for (size_t i = 0; i < 4; ++i) {
        char16_t c = n[i] >= u'a' && n[i] <= u'z' ? char16_t(n[i] - 32) : n[i];
        if (c != u"NTFS"[i])
            return false;
    }
    return true;
}

bool valid_label(std::u16string_view label)
{
    if (label.size() > max_label_units)
        return false;
    for (size_t i = 0; i < label.size(); ++i) {
        char16_t c = label[i];
        if (c >= 0xDC00 && c <= 0xDFFF)
            return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == label.size() || label[i + 1] < 0xDC00 || label[i + 1] > 0xDFFF)
                return false;
            ++i;
        }
    }
    return true;
}

bool valid_cluster_size(ULONG size)
{
    return size == 0 || (size >= 512 && size <= 65536 && (size & (size - 1)) == 0);
}

// The block file of the drive's volume: the drive must lead straight to a disk (not a CD-ROM)
// that the service published and whose block file the disk bridge serves. Empty when it does not.
std::string block_file_of(const hostns::Namespace& ns, const std::u16string& drive)
{
    std::optional<std::u16string> target = ns.query(drive);
    constexpr std::u16string_view device_prefix = u"\\Device\\";
    if (!target || !target->starts_with(device_prefix) ||
        ns.device_kind(*target) != hostns::DeviceKind::disk)
        return {};
    std::u16string leaf = target->substr(target->rfind(u'\\') + 1);
    if (leaf.empty() || leaf == u"." || leaf == u"..")
        return {};
    return ns.root() + "/disks/" + hostns::to_utf8(leaf);
}

class Format {
public:
    explicit Format(PFMIFSCALLBACK callback) : callback_(callback) {}

    void done(bool ok)
    {
        BOOLEAN success = ok ? TRUE : FALSE;
        callback_(DONE, 0, &success);
    }

    bool tell(CALLBACKCOMMAND command) { return callback_(command, 0, nullptr) != FALSE; }

    bool progress(DWORD percent) { return callback_(PROGRESS, 0, &percent) != FALSE; }

    // Runs mkntfs on the block file; true when it built the volume.
    bool make_volume(const std::string& block, const std::u16string& label, bool quick,
                     ULONG cluster_size)
    {
        std::string mkntfs = win32::detail::find_program("mkntfs", {"/usr/sbin", "/sbin"});
        if (mkntfs.empty()) {
            std::fprintf(stderr, "FormatEx: mkntfs is not installed (package ntfs-3g)\n");
            return false;
        }
        // -F: the block file is a regular file; -s 512: the volume's sectors.
        std::vector<std::string> argv = {mkntfs, "-F", "-v", "-s", "512"};
        if (quick)
            argv.push_back("-Q");
        if (cluster_size)
            argv.insert(argv.end(), {"-c", std::to_string(cluster_size)});
        if (!label.empty())
            argv.insert(argv.end(), {"-L", hostns::to_utf8(label)});
        argv.push_back(block);
        win32::detail::Child child = win32::detail::spawn(argv, true, {"LC_ALL=C"});
        if (child.pid < 0)
            return false;
        MkntfsProgress steps(quick);
        std::string transcript;
        bool cancelled = false;
        char buffer[4096];
        for (;;) {
            ssize_t n = read(child.output, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            std::string_view got(buffer, size_t(n));
            if (transcript.size() < 64 * 1024)
                transcript.append(got);
            if (steps.feed(got) && !progress(steps.percent())) {
                cancelled = true;
                kill(child.pid, SIGTERM);
                break;
            }
        }
        close(child.output);
        int code = win32::detail::wait_child(child.pid);
        if (code != 0 && !cancelled)
            std::fprintf(stderr, "FormatEx: mkntfs failed (exit %d):\n%s", code,
                         transcript.c_str());
        return code == 0 && !cancelled;
    }

private:
    PFMIFSCALLBACK callback_;
};

} // namespace

VOID WINAPI FormatEx(PWCHAR DriveRoot, FMIFS_MEDIA_FLAG MediaFlag, PWCHAR Format, PWCHAR Label,
                     BOOL QuickFormat, ULONG ClusterSize, PFMIFSCALLBACK Callback)
{
    if (!Callback)
        return;
    ::Format format(Callback);
    std::u16string drive = drive_of(DriveRoot);
    std::u16string label = Label ? Label : u"";
    if (drive.empty() || MediaFlag != FMIFS_HARDDISK || !is_ntfs(Format) || !valid_label(label) ||
        !valid_cluster_size(ClusterSize))
        return format.done(false);

    hostns::Namespace ns = name_space();
    std::string block = block_file_of(ns, drive);
    if (block.empty())
        return format.done(false);
    hostns::Status state = ns.dos_to_host(drive + u"\\").status;
    if (state == hostns::Status::ok) {
        format.tell(VOLUMEINUSE);
        return format.done(false);
    }
    if (state != hostns::Status::not_ready)
        return format.done(false);
    // The caller's own right to write the volume, on the file itself (never through a link).
    int fd = open(block.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EACCES || errno == EPERM)
            format.tell(INSUFFICIENTRIGHTS);
        return format.done(false);
    }
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    close(fd);
    if (!regular || !format.make_volume(block, label, QuickFormat != FALSE, ClusterSize))
        return format.done(false);

    // The service mounts the new file system once mkntfs has closed the block file.
    auto deadline = std::chrono::steady_clock::now() + mount_wait;
    while (name_space().dos_to_host(drive + u"\\").status != hostns::Status::ok) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::fprintf(stderr, "FormatEx: the new file system on %s was not mounted\n",
                         hostns::to_utf8(drive).c_str());
            return format.done(false);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    format.progress(100);
    format.done(true);
}
