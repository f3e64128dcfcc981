// Mount points where desktop file managers show drives (see bridge_fsmount_media.h).
#include "bridge_fsmount_media.h"

#include "host_internal.h"

#include <hostns/hostns.h>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace ntos::detail {

namespace {

uint16_t le16(const unsigned char* p)
{
    return uint16_t(p[0] | p[1] << 8);
}

uint32_t le32(const unsigned char* p)
{
    return uint32_t(le16(p)) | uint32_t(le16(p + 2)) << 16;
}

// A root-owned folder that nobody else may write, opened without following a link.
int open_root_folder(int at, const char* name)
{
    int fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && (::fstat(fd, &st) != 0 || st.st_uid != 0 || (st.st_mode & 022) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string user_name(uid_t uid)
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
        found->pw_name[0] && std::strchr(found->pw_name, '/') == nullptr &&
        std::strcmp(found->pw_name, ".") != 0 && std::strcmp(found->pw_name, "..") != 0)
        return found->pw_name;
    return std::to_string(uid);
}

// The label as one folder name: no slash, no control character, not "." or "..".
std::string folder_name(const std::u16string& label, char letter)
{
    std::u16string clean;
    for (char16_t c : label)
        if (c >= 0x20 && c != u'/' && c != 0x7f)
            clean += c;
    while (!clean.empty() && clean.back() == u' ')
        clean.pop_back();
    if (clean.empty() || clean == u"." || clean == u"..")
        return std::string("Lockbin ") + letter;
    return hostns::to_utf8(clean);
}

} // namespace

std::string fsmount_media_folder()
{
    if (const char* configured = std::getenv("LOCKBIN_MEDIA"))
        return configured[0] == '/' ? configured : "";
    return host_runtime_folder() == "/run/lockbin" ? "/run/media" : "";
}

std::u16string ntfs_volume_label(int fd)
{
    unsigned char boot[512];
    if (::pread(fd, boot, sizeof(boot), 0) != ssize_t(sizeof(boot)) ||
        std::memcmp(boot + 3, "NTFS    ", 8) != 0)
        return {};
    uint32_t sector = le16(boot + 0x0b);
    uint32_t cluster = sector * boot[0x0d];
    auto per_record = int8_t(boot[0x40]);
    uint32_t record_size = per_record >= 0     ? cluster * uint32_t(per_record)
                           : per_record >= -16 ? 1u << -per_record
                                               : 0;
    uint64_t mft = uint64_t(le32(boot + 0x30)) | uint64_t(le32(boot + 0x34)) << 32;
    if (sector < 256 || cluster == 0 || record_size < 512 || record_size > 65536 ||
        record_size % 512 != 0 || mft > (uint64_t(1) << 48) / cluster)
        return {};
    // $Volume is the MFT's fourth record.
    std::vector<unsigned char> r(record_size);
    if (::pread(fd, r.data(), r.size(), off_t(mft * cluster + 3 * record_size)) !=
            ssize_t(r.size()) ||
        std::memcmp(r.data(), "FILE", 4) != 0)
        return {};
    // The update sequence: the last two bytes of every 512 stand in its array.
    uint32_t usa = le16(&r[4]), usa_count = le16(&r[6]);
    if (usa_count != record_size / 512 + 1 || usa + 2 * usa_count > record_size)
        return {};
    for (uint32_t i = 1; i < usa_count; ++i) {
        unsigned char* tail = &r[i * 512 - 2];
        if (le16(tail) != le16(&r[usa]))
            return {};
        std::memcpy(tail, &r[usa + 2 * i], 2);
    }
    for (uint32_t at = le16(&r[0x14]); at + 24 <= record_size;) {
        uint32_t type = le32(&r[at]), length = le32(&r[at + 4]);
        if (type == 0xffffffffu || length < 24 || at + length > record_size)
            break;
        if (type == 0x60 && r[at + 8] == 0) { // the volume name, always resident
            uint32_t size = le32(&r[at + 0x10]), offset = le16(&r[at + 0x14]);
            if (offset > length || size > length - offset)
                return {};
            std::u16string label(size / 2, u'\0');
            for (uint32_t i = 0; i < size / 2; ++i)
                label[i] = char16_t(le16(&r[at + offset + 2 * i]));
            return label;
        }
        at += length;
    }
    return {};
}

std::string fsmount_make_media_point(const std::string& media, uid_t uid, gid_t gid,
                                     const std::u16string& label, char letter)
{
    if (media.empty() || media[0] != '/')
        return {};
    ::mkdir(media.c_str(), 0755);
    int media_fd = open_root_folder(AT_FDCWD, media.c_str());
    if (media_fd < 0)
        return {};
    std::string user = user_name(uid);
    if (::mkdirat(media_fd, user.c_str(), 0750) == 0 &&
        ::fchownat(media_fd, user.c_str(), 0, gid, AT_SYMLINK_NOFOLLOW) != 0) {
        ::close(media_fd);
        return {};
    }
    int user_fd = open_root_folder(media_fd, user.c_str());
    ::close(media_fd);
    if (user_fd < 0)
        return {};
    std::string base = folder_name(label, letter), name = base;
    bool made = false;
    for (int n = 2; n < 100 && !made; ++n) {
        if (::mkdirat(user_fd, name.c_str(), 0700) == 0) {
            made = ::fchownat(user_fd, name.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW) == 0;
            if (!made)
                ::unlinkat(user_fd, name.c_str(), AT_REMOVEDIR);
            break;
        }
        if (errno != EEXIST)
            break;
        name = base + " " + std::to_string(n);
    }
    ::close(user_fd);
    return made ? media + "/" + user + "/" + name : std::string();
}

} // namespace ntos::detail
