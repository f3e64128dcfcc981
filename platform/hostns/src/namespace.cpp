// Links and volume folders under the runtime folder, and the resolution of NT paths through them.
#include "hostns/hostns.h"
#include "internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

namespace hostns {

namespace {

bool valid_name(std::u16string_view name)
{
    if (name.empty() || name == u"." || name == u"..")
        return false;
    return name.find_first_of(u"\\/", 0) == std::u16string_view::npos &&
           name.find(char16_t(0)) == std::u16string_view::npos;
}

std::u16string canonical(std::u16string_view name)
{
    if (detail::is_drive_name(name))
        return drive_name(name[0]);
    return std::u16string(name);
}

std::vector<std::string> list_dir(const std::string& dir)
{
    std::vector<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (!d)
        return out;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != ".." && n.rfind(".tmp.", 0) != 0)
            out.push_back(n);
    }
    closedir(d);
    return out;
}

std::optional<std::string> read_symlink(const std::string& path)
{
    std::string buf(256, '\0');
    for (;;) {
        ssize_t n = readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0)
            return std::nullopt;
        if (size_t(n) < buf.size()) {
            buf.resize(size_t(n));
            return buf;
        }
        buf.resize(buf.size() * 2);
    }
}

// The file in `dir` that stands for `name`: its exact spelling, else any spelling that differs
// only in letter case.
std::optional<std::string> find_entry(const std::string& dir, const std::string& file_name,
                                      bool (*same)(std::u16string_view, std::string_view))
{
    struct stat st;
    if (lstat((dir + "/" + file_name).c_str(), &st) == 0)
        return file_name;
    for (const auto& entry : list_dir(dir))
        if (same(from_utf8(file_name), entry))
            return entry;
    return std::nullopt;
}

bool same_link_name(std::u16string_view wanted, std::string_view entry)
{
    return iequal(wanted, from_utf8(entry));
}

bool same_volume_name(std::u16string_view wanted, std::string_view entry)
{
    return iequal(detail::unescape(to_utf8(wanted)), detail::unescape(entry));
}

int make_dir(const std::string& path, mode_t mode)
{
    if (mkdir(path.c_str(), mode) == 0) {
        chmod(path.c_str(), mode); // umask must not narrow the mode asked for
        return 0;
    }
    return errno == EEXIST ? 0 : errno;
}

// Replaces `dir/name` (and any spelling of it differing in case) by a symlink to `target`,
// atomically for readers.
int write_link(const std::string& dir, const std::string& file_name, const std::string& target,
               bool (*same)(std::u16string_view, std::string_view))
{
    if (auto old = find_entry(dir, file_name, same); old && *old != file_name)
        unlink((dir + "/" + *old).c_str());
    std::string tmp = dir + "/.tmp." + std::to_string(getpid()) + "." + file_name;
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0)
        return errno;
    if (rename(tmp.c_str(), (dir + "/" + file_name).c_str()) != 0) {
        int e = errno;
        unlink(tmp.c_str());
        return e;
    }
    return 0;
}

// The drives file is the user's to write: it may be a FIFO, a device or a huge file. Only a
// regular file is read, and only its first bytes.
constexpr size_t drives_file_cap = 64 * 1024;

std::string read_small_file(const std::string& path, size_t cap)
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text;
    struct stat st;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        text.resize(cap);
        size_t have = 0;
        while (have < cap) {
            ssize_t n = read(fd, text.data() + have, cap - have);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            have += size_t(n);
        }
        text.resize(have);
    }
    close(fd);
    return text;
}

std::string home_of(uid_t uid)
{
    if (uid == geteuid())
        if (const char* h = std::getenv("HOME"); h && *h)
            return h;
    if (passwd* pw = getpwuid(uid); pw && pw->pw_dir)
        return pw->pw_dir;
    return {};
}

} // namespace

Namespace::Namespace() : Namespace(runtime_root(), geteuid()) {}

Namespace::Namespace(std::string root, uid_t uid) : root_(std::move(root)), uid_(uid)
{
    while (root_.size() > 1 && root_.back() == '/')
        root_.pop_back();
}

std::string Namespace::global_dir() const
{
    return root_ + "/GLOBAL??";
}

std::string Namespace::session_dir() const
{
    return root_ + "/sessions/" + std::to_string(uid_) + "/DosDevices";
}

std::string Namespace::volumes_dir() const
{
    return root_ + "/volumes";
}

std::optional<std::u16string> Namespace::query_session(std::u16string_view name) const
{
    if (!valid_name(name))
        return std::nullopt;
    // Links in a session folder that its user does not own are not that user's definitions.
    struct stat st;
    std::string dir = session_dir();
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != uid_)
        return std::nullopt;
    auto entry = find_entry(dir, to_utf8(canonical(name)), same_link_name);
    if (!entry)
        return std::nullopt;
    auto target = read_symlink(dir + "/" + *entry);
    return target ? std::optional(from_utf8(*target)) : std::nullopt;
}

std::optional<std::u16string> Namespace::query_global(std::u16string_view name) const
{
    if (!valid_name(name))
        return std::nullopt;
    std::string dir = global_dir();
    if (auto entry = find_entry(dir, to_utf8(canonical(name)), same_link_name))
        if (auto target = read_symlink(dir + "/" + *entry))
            return from_utf8(*target);
    if (iequal(name, u"C:"))
        return std::u16string(system_drive_target);
    return std::nullopt;
}

std::optional<std::u16string> Namespace::query(std::u16string_view name) const
{
    if (auto t = query_session(name))
        return t;
    return query_global(name);
}

std::vector<std::u16string> Namespace::names() const
{
    std::vector<std::u16string> out;
    auto add = [&](std::u16string n) {
        for (const auto& have : out)
            if (iequal(have, n))
                return;
        out.push_back(std::move(n));
    };
    struct stat st;
    if (lstat(session_dir().c_str(), &st) == 0 && st.st_uid == uid_)
        for (const auto& e : list_dir(session_dir()))
            add(canonical(from_utf8(e)));
    for (const auto& e : list_dir(global_dir()))
        add(canonical(from_utf8(e)));
    add(u"C:");
    std::sort(out.begin(), out.end());
    return out;
}

uint32_t Namespace::drive_mask() const
{
    uint32_t mask = 0;
    for (const auto& n : names())
        if (detail::is_drive_name(n))
            mask |= 1u << (n[0] - u'A');
    return mask;
}

int Namespace::define(std::u16string_view name, std::u16string_view target)
{
    if (!valid_name(name) || target.empty() || target.find(char16_t(0)) != target.npos)
        return EINVAL;
    std::string uid_dir = root_ + "/sessions/" + std::to_string(uid_);
    if (int e = make_dir(root_, 0755))
        return e;
    if (int e = make_dir(root_ + "/sessions", 0755))
        return e;
    if (int e = make_dir(uid_dir, 0700))
        return e;
    struct stat st;
    if (lstat(uid_dir.c_str(), &st) != 0)
        return errno;
    if (st.st_uid != uid_) {
        // Only the service (root) may set up a session for someone else.
        if (geteuid() != 0 || !S_ISDIR(st.st_mode) || lchown(uid_dir.c_str(), uid_, -1) != 0)
            return EPERM;
    }
    if (int e = make_dir(session_dir(), 0700))
        return e;
    if (geteuid() == 0 && uid_ != 0)
        lchown(session_dir().c_str(), uid_, -1);
    return write_link(session_dir(), to_utf8(canonical(name)), to_utf8(target), same_link_name);
}

int Namespace::remove(std::u16string_view name, std::u16string_view exact_target)
{
    if (!valid_name(name))
        return EINVAL;
    auto current = query_session(name);
    if (!current)
        return ENOENT;
    if (!exact_target.empty() && *current != exact_target)
        return ENOENT;
    auto entry = find_entry(session_dir(), to_utf8(canonical(name)), same_link_name);
    if (!entry || unlink((session_dir() + "/" + *entry).c_str()) != 0)
        return entry ? errno : ENOENT;
    return 0;
}

int Namespace::publish_global(std::u16string_view name, std::u16string_view target)
{
    if (!valid_name(name) || target.empty() || target.find(char16_t(0)) != target.npos)
        return EINVAL;
    if (int e = make_dir(root_, 0755))
        return e;
    if (int e = make_dir(global_dir(), 0755))
        return e;
    return write_link(global_dir(), to_utf8(canonical(name)), to_utf8(target), same_link_name);
}

int Namespace::unpublish_global(std::u16string_view name)
{
    if (!valid_name(name))
        return EINVAL;
    auto entry = find_entry(global_dir(), to_utf8(canonical(name)), same_link_name);
    if (!entry)
        return ENOENT;
    return unlink((global_dir() + "/" + *entry).c_str()) == 0 ? 0 : errno;
}

int Namespace::publish_volume(std::u16string_view device, const std::string& host_folder)
{
    return publish_volume(device, host_folder, uid_, getegid());
}

int Namespace::publish_volume(std::u16string_view device, const std::string& host_folder,
                              uid_t owner, gid_t group)
{
    if (!istarts_with(device, u"\\Device\\") || host_folder.empty() || host_folder[0] != '/')
        return EINVAL;
    if (int e = make_dir(root_, 0755))
        return e;
    // Anyone may pass through R/volumes, only the owner's group (and root) may look into the
    // owner's folder.
    if (int e = make_dir(volumes_dir(), 0711))
        return e;
    chmod(volumes_dir().c_str(), 0711);
    std::string folder = volumes_dir() + "/" + std::to_string(owner);
    if (int e = make_dir(folder, 0750))
        return e;
    if (geteuid() == 0 && lchown(folder.c_str(), 0, group) != 0)
        return errno;
    unpublish_volume(device); // it may have been another user's before
    return write_link(folder, detail::escape(device), host_folder, same_volume_name);
}

int Namespace::unpublish_volume(std::u16string_view device)
{
    int result = ENOENT;
    for (const auto& folder : volume_dirs()) {
        if (auto entry = find_entry(folder, detail::escape(device), same_volume_name))
            result = unlink((folder + "/" + *entry).c_str()) == 0 ? 0 : errno;
    }
    return result;
}

std::vector<std::string> Namespace::volume_dirs() const
{
    // Root sees every owner's volumes; a user only that user's own.
    if (uid_ != 0)
        return {volumes_dir() + "/" + std::to_string(uid_)};
    std::vector<std::string> folders;
    for (const auto& e : list_dir(volumes_dir()))
        if (e.find_first_not_of("0123456789") == std::string::npos)
            folders.push_back(volumes_dir() + "/" + e);
    return folders;
}

std::optional<std::string> Namespace::volume_folder(std::u16string_view device) const
{
    for (const auto& folder : volume_dirs())
        if (auto entry = find_entry(folder, detail::escape(device), same_volume_name))
            if (auto target = read_symlink(folder + "/" + *entry))
                return target;
    if (iequal(device, system_drive_target))
        return std::string("/");
    return std::nullopt;
}

int Namespace::ensure_session_defaults(const std::string& home_arg, const std::string& file_arg)
{
    std::string uid_dir = root_ + "/sessions/" + std::to_string(uid_);
    std::string marker = uid_dir + "/defaults";
    struct stat st;
    if (lstat(marker.c_str(), &st) == 0)
        return 0;

    std::string home = home_arg.empty() ? home_of(uid_) : home_arg;
    std::string file = file_arg;
    if (file.empty()) {
        const char* xdg = uid_ == geteuid() ? std::getenv("XDG_CONFIG_HOME") : nullptr;
        file = (xdg && *xdg ? std::string(xdg) : home + "/.config") + "/lockbin/drives";
    }

    std::map<char16_t, std::string> folders; // empty folder: the line said "none"
    if (!home.empty() && home[0] == '/')
        folders[u'D'] = home;
    std::istringstream in(read_small_file(file, drives_file_cap));
    for (std::string line; std::getline(in, line);) {
        if (auto hash = line.find('#'); hash != line.npos)
            line.erase(hash);
        size_t a = line.find_first_not_of(" \t");
        if (a == line.npos || a + 2 > line.size() || line[a + 1] != ':')
            continue;
        char16_t letter = upcase(char16_t(line[a]));
        if (letter < u'A' || letter > u'Z')
            continue;
        std::string value = line.substr(a + 2);
        value.erase(0, value.find_first_not_of(" \t"));
        value.erase(value.find_last_not_of(" \t\r") + 1);
        if (value == "none")
            folders[letter].clear();
        else if (!value.empty() && value[0] == '/')
            folders[letter] = value;
    }

    for (const auto& [letter, folder] : folders) {
        if (folder.empty() || letter == u'C' || query_session(drive_name(letter)))
            continue;
        std::u16string target = u"\\??\\C:";
        std::u16string wide = from_utf8(folder);
        for (auto part : detail::split(wide)) {
            target += u'\\';
            target.append(part);
        }
        if (target.size() == 6)
            target += u'\\';
        if (int e = define(drive_name(letter), target))
            return e;
    }
    if (int e = make_dir(root_, 0755))
        return e;
    if (int e = make_dir(root_ + "/sessions", 0755))
        return e;
    if (int e = make_dir(uid_dir, 0700))
        return e;
    int fd = open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                  0600);
    if (fd < 0)
        return errno == EEXIST ? 0 : errno;
    close(fd);
    return 0;
}

Resolution Namespace::nt_to_host(std::u16string_view nt_path) const
{
    Resolution r;
    std::u16string path(nt_path);
    bool through_link = false;
    for (int depth = 0; depth <= max_link_depth; ++depth) {
        bool global_only = false;
        std::u16string_view rest;
        if (istarts_with(path, u"\\??\\")) {
            rest = std::u16string_view(path).substr(4);
        } else if (istarts_with(path, u"\\DosDevices\\")) {
            rest = std::u16string_view(path).substr(12);
        } else if (istarts_with(path, u"\\GLOBAL??\\")) {
            rest = std::u16string_view(path).substr(10);
            global_only = true;
        } else if (istarts_with(path, u"\\Device\\")) {
            break;
        } else {
            r.status = Status::path_not_found;
            return r;
        }
        size_t cut = rest.find(u'\\');
        std::u16string_view name = rest.substr(0, cut);
        std::u16string tail(cut == rest.npos ? std::u16string_view() : rest.substr(cut));
        if (!global_only && iequal(name, u"Global")) {
            path = u"\\GLOBAL??" + tail;
            continue;
        }
        auto target = global_only ? query_global(name) : query(name);
        if (!target) {
            r.status = Status::name_not_found;
            return r;
        }
        if (!through_link)
            r.drive_target = *target;
        through_link = true;
        if (!target->empty() && target->back() == u'\\' && !tail.empty())
            target->pop_back();
        path = *target + tail;
        if (depth == max_link_depth) {
            r.status = Status::too_many_links;
            return r;
        }
    }

    // The longest published device name that the path starts with, at a component boundary.
    std::u16string best;
    std::string folder;
    auto consider = [&](const std::u16string& device) {
        if (device.size() <= best.size() || !istarts_with(path, device))
            return;
        if (path.size() != device.size() && path[device.size()] != u'\\')
            return;
        if (auto f = volume_folder(device)) {
            best = device;
            folder = *f;
        }
    };
    for (const auto& folder : volume_dirs())
        for (const auto& e : list_dir(folder))
            consider(detail::unescape(e));
    consider(system_drive_target);
    if (best.empty()) {
        r.status = through_link ? Status::not_ready : Status::path_not_found;
        return r;
    }
    r.device = path.substr(0, best.size());

    std::string host = folder;
    for (auto part : detail::split(std::u16string_view(path).substr(best.size()))) {
        if (part == u"." || part == u".." || part.find(char16_t(0)) != part.npos ||
            part.find(u'/') != part.npos) {
            r.status = Status::invalid_name;
            return r;
        }
        if (host.empty() || host.back() != '/')
            host += '/';
        host += to_utf8(part);
    }
    r.host_path = host;
    return r;
}

Resolution Namespace::dos_to_host(std::u16string_view dos_path) const
{
    std::u16string nt;
    Status s = dos_to_nt(dos_path, nt);
    if (s != Status::ok) {
        Resolution r;
        r.status = s;
        return r;
    }
    return nt_to_host(nt);
}

std::string Namespace::devices_dir() const
{
    return root_ + "/devices";
}

int Namespace::publish_device_kind(std::u16string_view device, DeviceKind kind)
{
    if (!istarts_with(device, u"\\Device\\") || kind == DeviceKind::unknown)
        return EINVAL;
    if (int e = make_dir(root_, 0755))
        return e;
    if (int e = make_dir(devices_dir(), 0755))
        return e;
    return write_link(devices_dir(), detail::escape(device),
                      kind == DeviceKind::cdrom ? "cdrom" : "disk", same_volume_name);
}

int Namespace::unpublish_device_kind(std::u16string_view device)
{
    auto entry = find_entry(devices_dir(), detail::escape(device), same_volume_name);
    if (!entry)
        return ENOENT;
    return unlink((devices_dir() + "/" + *entry).c_str()) == 0 ? 0 : errno;
}

DeviceKind Namespace::device_kind(std::u16string_view device) const
{
    auto entry = find_entry(devices_dir(), detail::escape(device), same_volume_name);
    auto kind = entry ? read_symlink(devices_dir() + "/" + *entry) : std::nullopt;
    if (kind == "disk")
        return DeviceKind::disk;
    if (kind == "cdrom")
        return DeviceKind::cdrom;
    return DeviceKind::unknown;
}

} // namespace hostns
