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
//   R/control/ESCAPED                  the control socket of each device the service serves to
//                                      clients, named by control_wire::socket_name; its messages
//                                      are in hostns/control_wire.h.
//   R/devices/ESCAPED                  what kind of drive each of the service's volumes is, named
//                                      as in R/volumes: a symlink whose target text is "disk" or
//                                      "cdrom". Written when the mount manager learns of the
//                                      volume, whether or not a file system is mounted on it.
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

// UTF-16 <-> UTF-8: the one converter of both layers and the programs, with two policies.
//   name     names that must round-trip (host file names, links, registry keys, sockets): a
//            lone surrogate is kept as its 3-byte form both ways, so every UTF-16 name comes
//            back from its bytes as it was.
//   display  text for people and other programs (logs, messages, XML, the ANSI code page): a
//            lone surrogate becomes U+FFFD, so the bytes are always well-formed UTF-8.
// Bytes that are not UTF-8 decode to U+FFFD, one for each maximal ill-formed subpart: a stray
// or overlong byte gives one each, a sequence cut short one in all.
enum class utf8_policy { name, display };
std::string to_utf8(std::u16string_view text, utf8_policy policy = utf8_policy::name);
std::u16string from_utf8(std::string_view text, utf8_policy policy = utf8_policy::name);
// True when the bytes are well-formed UTF-8 (no surrogates, no overlong forms).
bool is_utf8(std::string_view bytes);

// The one case fold of both layers: the platform's upper-casing of a UTF-16 unit, as
// RtlUpcaseUnicodeChar does it. A 1:1 table over the BMP made from Unicode's simple uppercase
// mappings (scripts/gen-upcase-table): U+00FF gives U+0178 and U+01C5 gives U+01C4; U+00DF,
// whose uppercase is two letters, and U+0131, whose uppercase is ASCII 'I', stay as they are.
char16_t upcase(char16_t unit);
std::u16string upcase(std::u16string_view text);
bool iequal(std::u16string_view a, std::u16string_view b);
bool istarts_with(std::u16string_view text, std::u16string_view prefix);

// The entry of the open folder dir_fd ("." and ".." aside) whose name equals `name` under the
// fold, as the platform's file systems match names; empty when there is none. Bytes of a host
// name that are not UTF-8 match only themselves.
std::string find_entry_ignoring_case(int dir_fd, std::string_view name);

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

// The kind of drive a volume device is, as R/devices tells it.
enum class DeviceKind { unknown, disk, cdrom };

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
    std::string devices_dir() const;

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
    // The kind of a volume device, as the service publishes it; unknown when it published none.
    int publish_device_kind(std::u16string_view device, DeviceKind kind);
    int unpublish_device_kind(std::u16string_view device);
    DeviceKind device_kind(std::u16string_view device) const;

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
