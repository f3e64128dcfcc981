// Thread-level fs credentials through the raw system calls (see se_fscreds.h).
#include "se_fscreds.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace ntos::detail {

namespace {

// setfsuid/setfsgid report no error; asking with an invalid id (-1) reads the current value.
uid_t current_fsuid()
{
    return static_cast<uid_t>(::syscall(SYS_setfsuid, static_cast<uid_t>(-1)));
}

gid_t current_fsgid()
{
    return static_cast<gid_t>(::syscall(SYS_setfsgid, static_cast<gid_t>(-1)));
}

std::vector<gid_t> current_groups()
{
    long n = ::syscall(SYS_getgroups, 0, nullptr);
    std::vector<gid_t> groups(n > 0 ? static_cast<size_t>(n) : 0);
    if (n > 0)
        n = ::syscall(SYS_getgroups, groups.size(), groups.data());
    groups.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return groups;
}

bool set_groups(const std::vector<gid_t>& groups)
{
    return ::syscall(SYS_setgroups, groups.size(), groups.empty() ? nullptr : groups.data()) == 0;
}

bool set_ids(uid_t uid, gid_t gid)
{
    ::syscall(SYS_setfsgid, gid);
    ::syscall(SYS_setfsuid, uid);
    return current_fsuid() == uid && current_fsgid() == gid;
}

} // namespace

const se_identity& se_process_identity()
{
    static const se_identity self = [] {
        se_identity who;
        who.uid = ::geteuid();
        who.gid = ::getegid();
        who.groups = current_groups();
        return who;
    }();
    return self;
}

se_fs_credentials_scope::se_fs_credentials_scope(const se_identity& who)
{
    old_uid_ = current_fsuid();
    old_gid_ = current_fsgid();
    old_groups_ = current_groups();
    if (who.uid == old_uid_ && who.gid == old_gid_ && who.groups == old_groups_) {
        ok_ = true;
        return;
    }
    // Groups first: once fsuid is no longer 0 the thread may lose the right to change them.
    if (who.groups != old_groups_ && !set_groups(who.groups))
        return;
    if (!set_ids(who.uid, who.gid)) {
        set_ids(old_uid_, old_gid_);
        set_groups(old_groups_);
        return;
    }
    ok_ = true;
    switched_ = true;
}

se_fs_credentials_scope::~se_fs_credentials_scope()
{
    if (!switched_)
        return;
    set_ids(old_uid_, old_gid_);
    set_groups(old_groups_);
}

} // namespace ntos::detail
