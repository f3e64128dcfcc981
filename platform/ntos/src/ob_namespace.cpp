// The object namespace: directories, names, symbolic links and path lookup.
#include "ob_internal.h"
#include "ps_internal.h"

#include <hostns/hostns.h>

#include <map>
#include <mutex>
#include <unordered_map>

namespace ntos::detail {

namespace {

struct link_body {
    std::u16string* target;
};

struct name_info {
    void* parent;
    std::u16string name;
    bool permanent;
};

struct watcher_entry {
    int id;
    link_watcher watcher;
    void* context;
};

struct link_event {
    bool added;
    std::u16string name;
    std::u16string target;
};

struct namespace_state {
    std::recursive_mutex lock;
    void* root = nullptr;
    void* global = nullptr;
    std::unordered_map<void*, std::map<std::u16string, void*>> directories;
    std::unordered_map<const void*, name_info> names;
    std::vector<watcher_entry> watchers;
    int next_watcher = 1;
    session_resolver resolver = nullptr;
};

namespace_state& ns();

void destroy_directory(void* body)
{
    namespace_state& state = ns();
    std::vector<void*> children;
    {
        std::lock_guard guard(state.lock);
        auto it = state.directories.find(body);
        if (it != state.directories.end()) {
            for (auto& [key, child] : it->second) {
                state.names.erase(child);
                children.push_back(child);
            }
            state.directories.erase(it);
        }
    }
    for (void* child : children)
        ob_dereference(child);
}

void destroy_link(void* body)
{
    delete static_cast<link_body*>(body)->target;
}

void* new_directory()
{
    void* body = ob_create_object(object_kind::directory, sizeof(void*), destroy_directory);
    if (body) {
        std::lock_guard guard(ns().lock);
        ns().directories[body];
    }
    return body;
}

void* new_link(const std::u16string& target)
{
    void* body = ob_create_object(object_kind::symbolic_link, sizeof(link_body), destroy_link);
    if (body)
        static_cast<link_body*>(body)->target = new std::u16string(target);
    return body;
}

// Caller holds the lock; the child takes a reference held by the directory.
void link_child(namespace_state& state, void* directory, const std::u16string& name, void* child,
                bool permanent)
{
    ob_reference(child);
    state.directories[directory][ob_upcase(name)] = child;
    state.names[child] = name_info{directory, name, permanent};
}

namespace_state& ns()
{
    static namespace_state* state = [] {
        auto* s = new namespace_state;
        s->root = ob_create_object(object_kind::directory, sizeof(void*), destroy_directory);
        s->directories[s->root];
        auto add_directory = [s](void* parent, const std::u16string& name) {
            void* dir = ob_create_object(object_kind::directory, sizeof(void*), destroy_directory);
            s->directories[dir];
            link_child(*s, parent, name, dir, true);
            ob_dereference(dir);
            return dir;
        };
        auto add_link = [s](void* parent, const std::u16string& name, const std::u16string& to) {
            void* link = new_link(to);
            link_child(*s, parent, name, link, true);
            ob_dereference(link);
        };
        s->global = add_directory(s->root, u"GLOBAL??");
        add_link(s->global, u"Global", u"\\GLOBAL??");
        add_link(s->root, u"DosDevices", u"\\??");
        add_directory(s->root, u"Device");
        add_directory(s->root, u"Driver");
        add_directory(s->root, u"FileSystem");
        add_directory(s->root, u"ObjectTypes");
        return s;
    }();
    return *state;
}

void notify(const std::vector<link_event>& events)
{
    if (events.empty())
        return;
    std::vector<watcher_entry> watchers;
    {
        std::lock_guard guard(ns().lock);
        watchers = ns().watchers;
    }
    for (const link_event& event : events)
        for (const watcher_entry& entry : watchers)
            entry.watcher(entry.context, event.added, event.name, event.target);
}

// Caller holds the lock. Unlinks body from its directory; the directory's reference goes into
// released, to be dropped after the lock.
void unlink_name(namespace_state& state, void* body, std::vector<void*>* released,
                 std::vector<link_event>* events)
{
    auto it = state.names.find(body);
    if (it == state.names.end())
        return;
    void* parent = it->second.parent;
    if (parent == state.global && ob_kind(body) == object_kind::symbolic_link)
        events->push_back({false, it->second.name, *static_cast<link_body*>(body)->target});
    state.directories[parent].erase(ob_upcase(it->second.name));
    state.names.erase(it);
    released->push_back(body);
}

std::vector<std::u16string> split(const std::u16string& path, size_t start, bool* bad)
{
    std::u16string text = path.substr(start);
    // A trailing backslash names the same object.
    if (!text.empty() && text.back() == u'\\')
        text.pop_back();
    std::vector<std::u16string> parts;
    if (text.empty())
        return parts;
    size_t pos = 0;
    while (true) {
        size_t end = text.find(u'\\', pos);
        std::u16string part = text.substr(pos, end == std::u16string::npos ? end : end - pos);
        if (part.empty()) {
            *bad = true;
            return {};
        }
        parts.push_back(std::move(part));
        if (end == std::u16string::npos)
            return parts;
        pos = end + 1;
    }
}

std::u16string join(const std::vector<std::u16string>& parts, size_t from)
{
    std::u16string rest;
    for (size_t i = from; i < parts.size(); ++i) {
        rest += u'\\';
        rest += parts[i];
    }
    return rest;
}

void* find_child(namespace_state& state, void* directory, const std::u16string& name)
{
    auto dir = state.directories.find(directory);
    if (dir == state.directories.end())
        return nullptr;
    auto it = dir->second.find(ob_upcase(name));
    return it == dir->second.end() ? nullptr : it->second;
}

// The directory \?? stands for when it is followed by next (empty: the directory itself). The
// session directory comes back referenced in *session when the resolver gave one.
void* dos_devices_for(namespace_state& state, const std::u16string& next, void** session)
{
    *session = state.resolver ? state.resolver() : nullptr;
    if (*session && (next.empty() || find_child(state, *session, next)))
        return *session;
    return state.global;
}

// Caller holds the lock.
NTSTATUS lookup_locked(namespace_state& state, void* start, const std::u16string& path,
                       size_t offset, bool open_link, void** body, std::u16string* remaining,
                       int depth)
{
    if (depth > 32)
        return STATUS_OBJECT_PATH_INVALID;
    bool bad = false;
    std::vector<std::u16string> parts = split(path, offset, &bad);
    if (bad)
        return STATUS_OBJECT_NAME_INVALID;
    void* current = start;
    void* session = nullptr;
    NTSTATUS status = STATUS_SUCCESS;
    for (size_t i = 0; i < parts.size(); ++i) {
        void* child = nullptr;
        if (current == state.root && parts[i] == u"??") {
            if (session)
                ob_dereference(session);
            child = dos_devices_for(state, i + 1 < parts.size() ? parts[i + 1] : u"", &session);
        } else {
            child = find_child(state, current, parts[i]);
        }
        if (!child) {
            status =
                i + 1 == parts.size() ? STATUS_OBJECT_NAME_NOT_FOUND : STATUS_OBJECT_PATH_NOT_FOUND;
            break;
        }
        object_kind kind = ob_kind(child);
        if (kind == object_kind::directory) {
            current = child;
            continue;
        }
        if (kind == object_kind::symbolic_link && !(open_link && i + 1 == parts.size())) {
            std::u16string next = *static_cast<link_body*>(child)->target + join(parts, i + 1);
            status =
                lookup_locked(state, state.root, next, 1, open_link, body, remaining, depth + 1);
            if (session)
                ob_dereference(session);
            return status;
        }
        ob_reference(child);
        *body = child;
        *remaining = join(parts, i + 1);
        if (session)
            ob_dereference(session);
        return STATUS_SUCCESS;
    }
    if (NT_SUCCESS(status)) {
        ob_reference(current);
        *body = current;
        remaining->clear();
    }
    if (session)
        ob_dereference(session);
    return status;
}

// Resolves the starting point of a path: the root for an absolute path, else the directory
// behind root_directory (referenced in *held).
NTSTATUS start_of(HANDLE root_directory, const std::u16string& path, void** start, size_t* offset,
                  void** held)
{
    *held = nullptr;
    if (!root_directory) {
        if (path.empty() || path[0] != u'\\')
            return STATUS_OBJECT_PATH_SYNTAX_BAD;
        *start = ns().root;
        *offset = 1;
        return STATUS_SUCCESS;
    }
    if (!path.empty() && path[0] == u'\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    NTSTATUS status = ob_reference_by_handle(root_directory, object_kind::directory, held, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    *start = *held;
    *offset = 0;
    return STATUS_SUCCESS;
}

bool valid_leaf(const std::u16string& leaf)
{
    return !leaf.empty() && leaf.find(u'\\') == std::u16string::npos;
}

} // namespace

std::u16string ob_upcase(const std::u16string& text)
{
    return hostns::upcase(text);
}

void ob_set_session_resolver(session_resolver resolver)
{
    std::lock_guard guard(ns().lock);
    ns().resolver = resolver;
}

NTSTATUS ob_lookup_path(HANDLE root_directory, const std::u16string& path, void** body,
                        std::u16string* remaining, bool open_link)
{
    if (!body || !remaining)
        return STATUS_INVALID_PARAMETER;
    *body = nullptr;
    namespace_state& state = ns();
    void* start = nullptr;
    void* held = nullptr;
    size_t offset = 0;
    NTSTATUS status = start_of(root_directory, path, &start, &offset, &held);
    if (!NT_SUCCESS(status))
        return status;
    {
        std::lock_guard guard(state.lock);
        status = lookup_locked(state, start, path, offset, open_link, body, remaining, 0);
    }
    if (held)
        ob_dereference(held);
    return status;
}

NTSTATUS ob_lookup_path(HANDLE root_directory, PCUNICODE_STRING path, void** body,
                        UNICODE_STRING* remaining, bool open_link)
{
    if (!path || !body || !remaining || (path->Length && !path->Buffer) || (path->Length & 1))
        return STATUS_INVALID_PARAMETER;
    std::u16string text(path->Buffer ? path->Buffer : u"", path->Length / sizeof(WCHAR));
    std::u16string rest;
    *remaining = UNICODE_STRING{};
    NTSTATUS status = ob_lookup_path(root_directory, text, body, &rest, open_link);
    if (!NT_SUCCESS(status) || rest.empty())
        return status;
    if (rest.size() * sizeof(WCHAR) >= MAXUSHORT) {
        ob_dereference(*body);
        *body = nullptr;
        return STATUS_NAME_TOO_LONG;
    }
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(
        PagedPool, (rest.size() + 1) * sizeof(WCHAR), 0x6D4E624F /* "ObNm" */));
    if (!buffer) {
        ob_dereference(*body);
        *body = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    rest.copy(buffer, rest.size());
    buffer[rest.size()] = 0;
    remaining->Buffer = buffer;
    remaining->Length = static_cast<USHORT>(rest.size() * sizeof(WCHAR));
    remaining->MaximumLength = static_cast<USHORT>(remaining->Length + sizeof(WCHAR));
    return status;
}

NTSTATUS ob_insert_name(void* body, HANDLE root_directory, const std::u16string& path,
                        ULONG attributes, void** existing)
{
    if (!body)
        return STATUS_INVALID_PARAMETER;
    if (existing)
        *existing = nullptr;
    namespace_state& state = ns();
    void* start = nullptr;
    void* held = nullptr;
    size_t offset = 0;
    NTSTATUS status = start_of(root_directory, path, &start, &offset, &held);
    if (!NT_SUCCESS(status))
        return status;
    std::u16string trimmed = path;
    if (trimmed.size() > offset && trimmed.back() == u'\\')
        trimmed.pop_back();
    bool bad = false;
    split(trimmed, offset, &bad);
    if (bad) {
        if (held)
            ob_dereference(held);
        return STATUS_OBJECT_NAME_INVALID;
    }
    size_t cut = trimmed.rfind(u'\\');
    std::u16string parent_path =
        (cut == std::u16string::npos || cut < offset) ? u"" : trimmed.substr(offset, cut - offset);
    std::u16string leaf =
        trimmed.substr(cut == std::u16string::npos || cut < offset ? offset : cut + 1);
    std::vector<link_event> events;
    {
        std::lock_guard guard(state.lock);
        void* parent = nullptr;
        std::u16string rest;
        void* session = nullptr;
        if (!valid_leaf(leaf)) {
            status = STATUS_OBJECT_NAME_INVALID;
        } else if (start == state.root && parent_path == u"??") {
            parent = dos_devices_for(state, u"", &session);
            ob_reference(parent);
        } else if (parent_path.empty()) {
            parent = start;
            ob_reference(parent);
        } else {
            std::u16string full = parent_path;
            status = lookup_locked(state, start, full, 0, false, &parent, &rest, 0);
            if (status == STATUS_OBJECT_NAME_NOT_FOUND)
                status = STATUS_OBJECT_PATH_NOT_FOUND;
            if (NT_SUCCESS(status) && (ob_kind(parent) != object_kind::directory || !rest.empty()))
                status = STATUS_OBJECT_PATH_NOT_FOUND;
        }
        if (session)
            ob_dereference(session);
        if (NT_SUCCESS(status) && state.names.count(body))
            status = STATUS_OBJECT_NAME_COLLISION; // already named elsewhere
        if (NT_SUCCESS(status)) {
            if (void* other = find_child(state, parent, leaf)) {
                if ((attributes & OBJ_OPENIF) && existing && ob_kind(other) == ob_kind(body)) {
                    ob_reference(other);
                    *existing = other;
                    status = STATUS_OBJECT_NAME_EXISTS;
                } else {
                    status = STATUS_OBJECT_NAME_COLLISION;
                }
            } else {
                link_child(state, parent, leaf, body, (attributes & OBJ_PERMANENT) != 0);
                if (parent == state.global && ob_kind(body) == object_kind::symbolic_link)
                    events.push_back({true, leaf, *static_cast<link_body*>(body)->target});
            }
        }
        if (parent)
            ob_dereference(parent);
    }
    if (held)
        ob_dereference(held);
    notify(events);
    return status;
}

void ob_remove_name(void* body)
{
    std::vector<void*> released;
    std::vector<link_event> events;
    {
        std::lock_guard guard(ns().lock);
        unlink_name(ns(), body, &released, &events);
    }
    notify(events);
    for (void* object : released)
        ob_dereference(object);
}

void ob_last_handle_closed(void* body)
{
    bool temporary = false;
    {
        std::lock_guard guard(ns().lock);
        auto it = ns().names.find(body);
        temporary = it != ns().names.end() && !it->second.permanent;
    }
    if (temporary)
        ob_remove_name(body);
}

void ob_set_permanent(void* body, bool permanent)
{
    std::lock_guard guard(ns().lock);
    auto it = ns().names.find(body);
    if (it != ns().names.end())
        it->second.permanent = permanent;
}

std::u16string ob_full_name(const void* body)
{
    namespace_state& state = ns();
    std::lock_guard guard(state.lock);
    std::u16string name;
    const void* current = body;
    while (true) {
        auto it = state.names.find(current);
        if (it == state.names.end())
            break;
        name = u"\\" + it->second.name + name;
        current = it->second.parent;
    }
    if (current != state.root)
        return current == body ? u"" : name;
    return name.empty() ? u"\\" : name;
}

NTSTATUS ob_create_directory(HANDLE root, const std::u16string& path, ULONG attributes,
                             void** directory)
{
    if (!directory)
        return STATUS_INVALID_PARAMETER;
    void* body = new_directory();
    if (!body)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (path.empty() && !root) {
        *directory = body;
        return STATUS_SUCCESS;
    }
    void* existing = nullptr;
    NTSTATUS status = ob_insert_name(body, root, path, attributes, &existing);
    if (status == STATUS_OBJECT_NAME_EXISTS) {
        ob_dereference(body);
        *directory = existing;
        return status;
    }
    if (!NT_SUCCESS(status)) {
        ob_dereference(body);
        return status;
    }
    *directory = body;
    return STATUS_SUCCESS;
}

NTSTATUS ob_list_directory(const std::u16string& path, std::vector<directory_entry>* entries)
{
    if (!entries)
        return STATUS_INVALID_PARAMETER;
    void* dir = nullptr;
    std::u16string rest;
    NTSTATUS status = ob_lookup_path(nullptr, path, &dir, &rest, false);
    if (!NT_SUCCESS(status))
        return status;
    if (ob_kind(dir) != object_kind::directory || !rest.empty()) {
        ob_dereference(dir);
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    entries->clear();
    {
        std::lock_guard guard(ns().lock);
        for (auto& [key, child] : ns().directories[dir])
            entries->push_back({ns().names[child].name, ob_kind(child)});
    }
    ob_dereference(dir);
    return STATUS_SUCCESS;
}

std::u16string ob_link_target(const void* link)
{
    return *static_cast<const link_body*>(link)->target;
}

int ob_add_link_watcher(link_watcher watcher, void* context)
{
    std::lock_guard guard(ns().lock);
    int id = ns().next_watcher++;
    ns().watchers.push_back({id, watcher, context});
    return id;
}

void ob_remove_link_watcher(int id)
{
    std::lock_guard guard(ns().lock);
    std::erase_if(ns().watchers, [id](const watcher_entry& e) { return e.id == id; });
}

NTSTATUS ob_create_link(const std::u16string& name, HANDLE root, const std::u16string& target,
                        ULONG attributes, void** link)
{
    if (target.empty() || target[0] != u'\\')
        return STATUS_INVALID_PARAMETER;
    void* body = new_link(target);
    if (!body)
        return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = ob_insert_name(body, root, name, attributes & ~OBJ_OPENIF, nullptr);
    if (!NT_SUCCESS(status)) {
        ob_dereference(body);
        return status;
    }
    *link = body;
    return status;
}

} // namespace ntos::detail
