// Drive links to R/GLOBAL??, and the session directories behind \??.
#include "bridge_publish.h"

#include "host_internal.h"
#include "ob_internal.h"
#include "ps_internal.h"
#include "se_internal.h"

#include <hostns/hostns.h>

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace ntos::detail {

namespace {

constexpr auto refresh_interval = std::chrono::milliseconds(100);

struct session_directory {
    void* directory = nullptr; // unnamed object directory, one reference held here
    HANDLE handle = nullptr;   // kernel handle of it, to name links relative to it
    std::map<std::u16string, std::u16string> links; // upper-cased name -> target
    std::map<std::u16string, std::u16string> names; // upper-cased name -> name as written
    struct timespec seen {};                        // the session folder's change time
};

struct publish_state {
    std::mutex lock;
    std::condition_variable wake;
    bool started = false;
    bool stopping = false;
    int watcher = -1;
    std::thread refresher;
    std::map<uid_t, session_directory> sessions;
    std::set<uid_t> wanted; // users met by a lookup before their session was synchronised
    std::set<std::u16string> published; // drive names written to R/GLOBAL??
};

publish_state& state()
{
    static publish_state s;
    return s;
}

bool is_drive(const std::u16string& name)
{
    return name.size() == 2 && name[1] == u':' &&
           ((name[0] >= u'A' && name[0] <= u'Z') || (name[0] >= u'a' && name[0] <= u'z'));
}

hostns::Namespace host_namespace(uid_t uid)
{
    return hostns::Namespace(host_runtime_folder(), uid);
}

void on_link(void*, bool added, const std::u16string& name, const std::u16string& target)
{
    if (!is_drive(name))
        return;
    hostns::Namespace ns = host_namespace(0);
    int error = added ? ns.publish_global(name, target) : ns.unpublish_global(name);
    {
        publish_state& s = state();
        std::lock_guard<std::mutex> guard(s.lock);
        if (added)
            s.published.insert(ob_upcase(name));
        else
            s.published.erase(ob_upcase(name));
    }
    if (error && !(error == ENOENT && !added))
        std::fprintf(stderr, "publish: %s %s: %s\n", added ? "cannot publish" : "cannot remove",
                     host_utf8(name).c_str(), std::strerror(error));
}

void publish_existing_drives()
{
    std::vector<directory_entry> entries;
    if (!NT_SUCCESS(ob_list_directory(u"\\GLOBAL??", &entries)))
        return;
    for (const directory_entry& e : entries) {
        if (e.kind != object_kind::symbolic_link || !is_drive(e.name))
            continue;
        void* link = nullptr;
        std::u16string rest;
        if (NT_SUCCESS(ob_lookup_path(nullptr, u"\\GLOBAL??\\" + e.name, &link, &rest, true))) {
            std::u16string target = ob_link_target(link);
            ob_dereference(link);
            on_link(nullptr, true, e.name, target);
        }
    }
}

// The identity whose session a lookup sees: the thread's impersonation, else its client
// process; none for the service's own threads. Runs under the namespace lock: touches nothing
// of the namespace.
bool caller_uid(uid_t* uid)
{
    thread_state& ts = current_thread_state();
    PETHREAD thread = ts.thread;
    se_identity who;
    if (thread && thread->Tcb.ImpersonationToken &&
        se_token_identity(static_cast<PACCESS_TOKEN>(thread->Tcb.ImpersonationToken), &who)) {
        *uid = who.uid;
        return true;
    }
    PEPROCESS process = ts.attached ? ts.attached : (thread ? thread->Tcb.Process : nullptr);
    if (!process || process == ps_system_process())
        return false;
    if (process->Pcb.Token &&
        se_token_identity(static_cast<PACCESS_TOKEN>(process->Pcb.Token), &who))
        *uid = who.uid;
    else
        *uid = process->Pcb.HostUid;
    return true;
}

void* resolve_session()
{
    uid_t uid = 0;
    if (!caller_uid(&uid))
        return nullptr;
    publish_state& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.started)
        return nullptr;
    auto it = s.sessions.find(uid);
    if (it == s.sessions.end()) {
        if (s.wanted.insert(uid).second)
            s.wake.notify_all();
        return nullptr;
    }
    ob_reference(it->second.directory);
    return it->second.directory;
}

// ----- the session folders -------------------------------------------------------------

// The identity whose rights a user's session work runs with when only the uid is known: the
// account's primary group, no supplementary groups (none are needed in the user's own folder).
se_identity identity_of(uid_t uid)
{
    se_identity who;
    who.uid = uid;
    who.gid = gid_t(uid);
    struct passwd entry;
    struct passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        who.gid = found->pw_gid;
    return who;
}

// Removes parent/name and everything below it without following any link: the tree may be a
// user's, and the user may still be changing it.
void remove_tree(int parent, const char* name, int depth)
{
    if (::unlinkat(parent, name, 0) == 0 || errno == ENOENT)
        return;
    int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    if (DIR* d = ::fdopendir(fd)) {
        std::vector<std::string> names;
        while (dirent* e = ::readdir(d))
            if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, ".."))
                names.push_back(e->d_name);
        for (const auto& n : names)
            if (depth < 32)
                remove_tree(::dirfd(d), n.c_str(), depth + 1);
        ::closedir(d);
    } else {
        ::close(fd);
    }
    ::unlinkat(parent, name, AT_REMOVEDIR);
}

// Takes parent/name out of the way at once (a rename within the root's folder), then removes it.
void discard(int parent, const char* name)
{
    static std::atomic<unsigned> counter{0};
    std::string away = ".discarded." + std::to_string(::getpid()) + "." +
                       std::to_string(counter.fetch_add(1)) + "." + name;
    if (::renameat(parent, name, parent, away.c_str()) == 0)
        remove_tree(parent, away.c_str(), 0);
    else
        remove_tree(parent, name, 0);
}

// A folder parent/name that is exactly a directory of uid's with the mode, opened; whatever else
// stood there is discarded and the folder made anew (group gid). -1 when it cannot be had.
int exact_folder(int parent, const char* name, uid_t uid, gid_t gid, mode_t mode)
{
    struct stat st {};
    if (::fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISDIR(st.st_mode) && st.st_uid == uid && (st.st_mode & 07777) == mode) {
            int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            struct stat opened {};
            if (fd >= 0 && ::fstat(fd, &opened) == 0 && opened.st_ino == st.st_ino &&
                opened.st_dev == st.st_dev)
                return fd;
            if (fd >= 0)
                ::close(fd);
            return -1;
        }
        discard(parent, name);
    }
    if (::mkdirat(parent, name, 0700) != 0)
        return -1;
    int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (::fchown(fd, uid, gid) != 0 || ::fchmod(fd, mode) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// R/sessions (the service's, 0755) and R/sessions/UID (the user's, 0700), made by the service.
bool make_session_folder(const se_identity& who)
{
    // Two first connections of one user must not take each other's new folder for a squatter's.
    static std::mutex making;
    std::lock_guard<std::mutex> guard(making);
    int root = ::open(host_runtime_folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0)
        return false;
    int sessions = exact_folder(root, "sessions", ::geteuid(), ::getegid(), 0755);
    ::close(root);
    if (sessions < 0)
        return false;
    int mine = exact_folder(sessions, std::to_string(who.uid).c_str(), who.uid, who.gid, 0700);
    ::close(sessions);
    if (mine < 0)
        return false;
    ::close(mine);
    return true;
}

struct timespec change_time(const std::string& folder)
{
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0)
        return {};
    return st.st_mtim;
}

bool same_time(const struct timespec& a, const struct timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// The user's session links as the host holds them: name as written -> target.
std::map<std::u16string, std::u16string> host_session_links(const hostns::Namespace& ns)
{
    std::map<std::u16string, std::u16string> links;
    for (const std::u16string& name : ns.names())
        if (auto target = ns.query_session(name))
            links[name] = *target;
    return links;
}

void remove_link(session_directory& d, const std::u16string& name)
{
    void* link = nullptr;
    std::u16string rest;
    if (NT_SUCCESS(ob_lookup_path(d.handle, name, &link, &rest, true))) {
        if (ob_kind(link) == object_kind::symbolic_link && rest.empty())
            ob_remove_name(link);
        ob_dereference(link);
    }
}

// Brings the user's directory in line with the host. Called without the state lock.
void sync_session(const se_identity& who, bool write_defaults)
{
    const uid_t uid = who.uid;
    publish_state& s = state();
    bool known;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        known = s.sessions.count(uid) != 0;
    }
    // The folder is checked when the session is first met in this run; later the user owns it.
    if (!known && !make_session_folder(who))
        return;
    hostns::Namespace ns = host_namespace(uid);
    struct timespec stamp {};
    std::map<std::u16string, std::u16string> wanted;
    {
        // The user may swap anything in the folder or the drives file for a link, a FIFO or a
        // device: as that user, none of it reaches further than the user could anyway.
        se_fs_credentials_scope as_user(who);
        if (!as_user.active() && ::geteuid() == 0)
            return;
        if (write_defaults)
            ns.ensure_session_defaults();
        stamp = change_time(ns.session_dir());
        wanted = host_session_links(ns);
    }
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.started)
            return;
        if (s.sessions.find(uid) == s.sessions.end()) {
            session_directory d;
            if (!NT_SUCCESS(ob_create_directory(nullptr, u"", 0, &d.directory)))
                return;
            if (!NT_SUCCESS(ob_insert_handle(d.directory, DIRECTORY_ALL_ACCESS, OBJ_KERNEL_HANDLE,
                                             &d.handle))) {
                ob_dereference(d.directory);
                return;
            }
            s.sessions.emplace(uid, std::move(d));
        }
    }

    // Only the refresher changes a directory's contents, so the entry can be worked on unlocked.
    session_directory* d = nullptr;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        d = &s.sessions[uid];
    }
    std::map<std::u16string, std::u16string> upper_wanted;
    for (const auto& [name, target] : wanted)
        upper_wanted[ob_upcase(name)] = target;
    for (auto it = d->links.begin(); it != d->links.end();) {
        auto w = upper_wanted.find(it->first);
        if (w == upper_wanted.end() || w->second != it->second) {
            remove_link(*d, d->names[it->first]);
            d->names.erase(it->first);
            it = d->links.erase(it);
        } else {
            ++it;
        }
    }
    for (const auto& [name, target] : wanted) {
        std::u16string key = ob_upcase(name);
        if (d->links.count(key) || target.empty() || target[0] != u'\\')
            continue;
        void* link = nullptr;
        if (NT_SUCCESS(ob_create_link(name, d->handle, target, OBJ_PERMANENT, &link))) {
            ob_dereference(link);
            d->links[key] = target;
            d->names[key] = name;
        }
    }
    d->seen = stamp;
}

void refresh_loop()
{
    publish_state& s = state();
    std::unique_lock<std::mutex> guard(s.lock);
    while (!s.stopping) {
        s.wake.wait_for(guard, refresh_interval);
        if (s.stopping)
            break;
        std::set<uid_t> wanted;
        wanted.swap(s.wanted);
        std::vector<uid_t> known;
        for (const auto& [uid, d] : s.sessions)
            known.push_back(uid);
        guard.unlock();
        for (uid_t uid : wanted)
            sync_session(identity_of(uid), true);
        for (uid_t uid : known) {
            hostns::Namespace ns = host_namespace(uid);
            struct timespec now = change_time(ns.session_dir());
            bool changed;
            {
                std::lock_guard<std::mutex> g(s.lock);
                auto it = s.sessions.find(uid);
                changed = it != s.sessions.end() && !same_time(it->second.seen, now);
            }
            if (changed)
                sync_session(identity_of(uid), false);
        }
        guard.lock();
    }
}

// Sessions already on the host when the service starts.
void sync_existing_sessions()
{
    int root = ::open(host_runtime_folder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0)
        return;
    // A sessions folder others could write in may hold anything: it goes, with what it holds.
    int checked = exact_folder(root, "sessions", ::geteuid(), ::getegid(), 0755);
    ::close(root);
    if (checked < 0)
        return;
    DIR* d = ::fdopendir(checked);
    if (!d) {
        ::close(checked);
        return;
    }
    std::vector<uid_t> uids;
    while (dirent* e = ::readdir(d)) {
        char* end = nullptr;
        unsigned long uid = std::strtoul(e->d_name, &end, 10);
        if (end && *end == 0 && end != e->d_name)
            uids.push_back(uid_t(uid));
    }
    ::closedir(d);
    for (uid_t uid : uids)
        sync_session(identity_of(uid), false);
}

} // namespace

NTSTATUS publish_start()
{
    publish_state& s = state();
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (s.started)
            return STATUS_SUCCESS;
        s.started = true;
        s.stopping = false;
        s.watcher = ob_add_link_watcher(on_link, nullptr);
    }
    publish_existing_drives();
    sync_existing_sessions();
    ob_set_session_resolver(resolve_session);
    std::lock_guard<std::mutex> guard(s.lock);
    s.refresher = std::thread(refresh_loop);
    return STATUS_SUCCESS;
}

void publish_stop()
{
    publish_state& s = state();
    std::thread refresher;
    std::map<uid_t, session_directory> sessions;
    std::set<std::u16string> published;
    int watcher;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.started)
            return;
        s.stopping = true;
        s.wake.notify_all();
        refresher.swap(s.refresher);
    }
    if (refresher.joinable())
        refresher.join();
    ob_set_session_resolver(nullptr);
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.started = false;
        watcher = s.watcher;
        s.watcher = -1;
        sessions.swap(s.sessions);
        published.swap(s.published);
        s.wanted.clear();
    }
    ob_remove_link_watcher(watcher);
    hostns::Namespace ns = host_namespace(0);
    for (const auto& name : published)
        ns.unpublish_global(name);
    for (auto& [uid, d] : sessions) {
        for (const auto& [key, name] : d.names)
            remove_link(d, name);
        ZwClose(d.handle);
        ob_dereference(d.directory);
    }
}

void publish_sync_session(uid_t uid)
{
    sync_session(identity_of(uid), true);
}

void publish_prepare_session(const se_identity& who)
{
    const uid_t uid = who.uid;
    publish_state& s = state();
    bool current;
    {
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.started)
            return;
        auto it = s.sessions.find(uid);
        current = it != s.sessions.end() &&
                  same_time(it->second.seen, change_time(host_namespace(uid).session_dir()));
    }
    if (!current)
        sync_session(who, true);
}

} // namespace ntos::detail
