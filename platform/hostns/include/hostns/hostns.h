// The DOS device namespace as the host holds it. Both the kernel layer (the `\??` lookups of a
// client's requests) and the user-mode layer (DOS paths) resolve names here, so the two follow
// the same rules.
//
// Everything lives under the runtime folder R: $LOCKBIN_ROOT, or /run/lockbin when unset.
//
//   R/GLOBAL??/NAME                    the global links, written by the service. A host symlink
//                                      whose target text is the NT target, UTF-8 encoded:
//                                        "Z:" -> "\Device\ZELVirtualDisk\ZELVirtualDiskZ"
//                                        "C:" -> "\Device\HarddiskVolume1"
//   R/sessions/UID/DosDevices/NAME     one user's session links, same format. The manager's
//                                      DefineDosDeviceW definitions go here, and the user's folder
//                                      drives (like subst: "D:" -> "\??\C:\home\u").
//   R/sessions                         the service's, mode 0755. The service makes each UID
//                                      folder (the user's, 0700) when the user first connects; a
//                                      UID folder or its DosDevices that UID does not own is
//                                      ignored. Under a private runtime folder of one's own the
//                                      user-mode layer makes them itself.
//   R/sessions/UID/defaults            marker: the session's folder drives were written once. A
//                                      definition removed later stays removed for the session.
//   R/volumes/UID/ESCAPED              where a volume's files are visible on the host: a symlink
//                                      to the host folder, named by the NT device name with '%',
//                                      '/' and '\' percent-escaped ("%5CDevice%5CHarddiskVolume1"
//                                      -> "/"). The service writes one when it mounts a volume,
//                                      in the folder of the volume's owner: R/volumes is 0711,
//                                      R/volumes/UID root's with the owner's group, 0750. Root
//                                      sees every owner's volumes, a user only that user's.
//
// Drive names ("X:") are stored upper-cased; other names as given. Lookups of both kinds of name
// ignore letter case, as the object manager does.
//
// The user's folder drives come from the drives file, $XDG_CONFIG_HOME/lockbin/drives (or
// ~/.config/lockbin/drives): one "X: /host/folder" or "X: none" per line, '#' starts a comment.
// Without a line for D:, D: is the user's home folder. The user-mode layer writes these links on
// its first use in a session (ensure_session_defaults), so the service sees them too.
//
// A folder drive's target is the folder's path on C: ("\??\C:\home\u"), so a path that a client
// resolved through it reads back as that drive's path.
//
// Built-in facts that hold even before the service has published anything: "C:" is
// "\Device\HarddiskVolume1", and that device's files are the host's "/".
//
// A DefineDosDeviceW definition replaces the one before it: the definition stack is one level
// deep here, so removing a definition leaves the name undefined in the session (a global link of
// the same name shows through again).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hostns {

// Outcome of a lookup or an update. Each layer maps it once, to an NTSTATUS or a Windows error.
enum class Status {
    ok,
    name_not_found, // the DOS name (or the device) has no link
    path_not_found, // the path's form or its drive cannot be resolved
    invalid_name,   // a name or component that no file system accepts ('.', '..', '/', NUL)
    too_many_links, // a link chain longer than max_link_depth
    not_ready,      // the device exists but its files are not visible (no file system mounted)
    unsupported,    // a form this system does not serve (UNC paths)
    io_error,       // the host refused; Resolution::error / the returned errno says why
};

inline constexpr int max_link_depth = 32;

inline const char16_t* system_drive_target = u"\\Device\\HarddiskVolume1";

// UTF-16 <-> UTF-8. Lone surrogates are kept as their 3-byte forms so that every UTF-16 name
// round-trips; bytes that are not UTF-8 decode to U+FFFD.
std::string to_utf8(std::u16string_view text);
std::u16string from_utf8(std::string_view text);

// $LOCKBIN_ROOT or /run/lockbin.
std::string runtime_root();

// "X:" for a letter, upper-cased; empty for anything that is not a letter A-Z.
std::u16string drive_name(char16_t letter);

// Turns a DOS path into its NT form: "C:\a\..\b" -> "\??\C:\b", "\\?\C:\x" -> "\??\C:\x",
// "\\.\NAME" -> "\??\NAME". '/' separates like '\'; '.' and '..' are folded lexically and never
// climb above the drive (only for the plain form: "\\?\" paths are taken as they stand). Paths
// without a drive (relative, "\x", "C:x" read as "C:\x") are not DOS device paths and return
// path_not_found; UNC paths return unsupported.
Status dos_to_nt(std::u16string_view dos_path, std::u16string& nt_path);

struct Resolution {
    Status status = Status::ok;
    std::string host_path;       // the host path when status is ok
    std::u16string device;       // the \Device\ name that the path resolved to
    std::u16string drive_target; // first link target of the drive (what QueryDosDevice shows)
    int error = 0;               // errno when status is io_error
};

// One user's view of the namespace.
class Namespace {
public:
    // `root` defaults to runtime_root(); `uid` to the effective user.
    Namespace();
    Namespace(std::string root, uid_t uid);

    const std::string& root() const { return root_; }
    uid_t uid() const { return uid_; }
    std::string global_dir() const;
    std::string session_dir() const;
    std::string volumes_dir() const;

    // The link target of NAME: the session's first, then the global one (then the built-in C:).
    std::optional<std::u16string> query(std::u16string_view name) const;
    std::optional<std::u16string> query_global(std::u16string_view name) const;
    std::optional<std::u16string> query_session(std::u16string_view name) const;

    // Every name defined in the session or globally, each once, sorted.
    std::vector<std::u16string> names() const;
    // Bit (letter - 'A') for every drive letter that query() finds.
    uint32_t drive_mask() const;

    // Session links (DefineDosDeviceW). The target text is stored as given. Remove with a
    // non-empty `exact_target` removes only a definition with that target. Return 0 or an errno
    // (ENOENT when there is nothing to remove, EINVAL for a bad name or target).
    int define(std::u16string_view name, std::u16string_view target);
    int remove(std::u16string_view name, std::u16string_view exact_target = {});

    // Global links and volume folders, as the service writes them.
    int publish_global(std::u16string_view name, std::u16string_view target);
    int unpublish_global(std::u16string_view name);
    // A volume is published for its owner (by default the namespace's user), in R/volumes/UID.
    int publish_volume(std::u16string_view device, const std::string& host_folder);
    int publish_volume(std::u16string_view device, const std::string& host_folder, uid_t owner,
                       gid_t group);
    int unpublish_volume(std::u16string_view device);
    // The host folder of a volume, if one is published (or built in).
    std::optional<std::string> volume_folder(std::u16string_view device) const;

    // Writes the session's folder drives from the drives file once per session (see above).
    // `home` and `drives_file` default to $HOME and the XDG location. Returns 0 or an errno.
    int ensure_session_defaults(const std::string& home = {}, const std::string& drives_file = {});

    // Resolves an NT path (\??\X:\..., \DosDevices\..., \GLOBAL??\..., \Device\...) to a host
    // path, following links at most max_link_depth times. '.' and '..' components are refused.
    Resolution nt_to_host(std::u16string_view nt_path) const;
    // dos_to_nt followed by nt_to_host.
    Resolution dos_to_host(std::u16string_view dos_path) const;

private:
    // The R/volumes/UID folders this user may see.
    std::vector<std::string> volume_dirs() const;

    std::string root_;
    uid_t uid_;
};

} // namespace hostns
