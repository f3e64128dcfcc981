// Per-thread file-system credentials of the host. Linux keeps fsuid, fsgid and the supplementary
// groups per thread, but glibc's setfsuid/setgroups wrappers broadcast to every thread of the
// process, so the layer uses the raw system calls: a thread that opens a file for an impersonated
// client changes only its own credentials.
#pragma once

#include <sys/types.h>

#include <vector>

namespace ntos::detail {

struct se_identity {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups; // supplementary groups, without gid unless the user has it twice
    bool operator==(const se_identity&) const = default;
};

// The identity the service process runs with (effective uid, gid and groups).
const se_identity& se_process_identity();

// Switches the calling thread's fs credentials to `who` for its lifetime and restores the
// previous ones afterwards. active() is false when the switch failed (the process lacks
// CAP_SETUID/CAP_SETGID); nothing is changed then. Switching to the identity the thread already
// has is a no-op that succeeds.
class se_fs_credentials_scope {
public:
    explicit se_fs_credentials_scope(const se_identity& who);
    ~se_fs_credentials_scope();
    se_fs_credentials_scope(const se_fs_credentials_scope&) = delete;
    se_fs_credentials_scope& operator=(const se_fs_credentials_scope&) = delete;
    bool active() const { return ok_; }

private:
    bool ok_ = false;
    bool switched_ = false;
    uid_t old_uid_ = 0;
    gid_t old_gid_ = 0;
    std::vector<gid_t> old_groups_;
};

} // namespace ntos::detail
