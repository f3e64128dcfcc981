// Where desktop file managers look for a drive: the freedesktop place of removable media,
// MEDIA/USER/LABEL. The system's service (runtime folder /run/lockbin) uses MEDIA = /run/media;
// $LOCKBIN_MEDIA names another (absolute) folder, or, set to anything else, keeps the drives
// under the runtime folder (R/drives/X), which is also where a service over a private runtime
// folder (the tests) keeps them.
#pragma once

#include <sys/types.h>

#include <string>

namespace ntos::detail {

// MEDIA, or empty when the drives stay under the runtime folder.
std::string fsmount_media_folder();

// The volume label of the NTFS file system in the file or device `fd` (its $Volume record's
// name), UTF-16 as stored; empty when there is none or the file system cannot be read.
std::u16string ntfs_volume_label(int fd);

// Makes MEDIA/USER/NAME for the user `uid`: MEDIA and MEDIA/USER are root's and writable by
// nobody else (MEDIA/USER is made 0750, group the user's `gid`, when missing; an existing one,
// such as a desktop's, is used as it is), NAME is the label made safe for a folder name and unique
// there (" 2", " 3" ... appended), the new folder is the user's, mode 0700. Each step is taken
// relative to a folder already opened without following links. Returns the path, or empty.
std::string fsmount_make_media_point(const std::string& media, uid_t uid, gid_t gid,
                                     const std::u16string& label, char letter);

} // namespace ntos::detail
