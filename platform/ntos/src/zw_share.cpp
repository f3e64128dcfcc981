// Share access between the service's open host files, and errno to NTSTATUS.
#include "zw_internal.h"

#include <cerrno>
#include <map>
#include <utility>
#include <vector>

namespace ntos::detail {

const char host_file_tag[] = "host-file";

struct host_node {
    std::vector<host_file*> opens;
    bool sparse = false;
};

namespace {

struct share_table {
    std::mutex lock;
    std::map<std::pair<dev_t, ino_t>, host_node> nodes;
};

share_table& table()
{
    static share_table& t = *new share_table; // file objects may outlive static destruction
    return t;
}

bool takes_data_access(const host_file* f)
{
    return f->read || f->write || f->del;
}

} // namespace

NTSTATUS zw_share_attach(host_file* file, dev_t device, ino_t inode)
{
    share_table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    host_node& node = t.nodes[{device, inode}];
    if (takes_data_access(file)) {
        for (const host_file* other : node.opens) {
            if (!takes_data_access(other))
                continue;
            bool conflict =
                (file->read && !other->share_read) || (file->write && !other->share_write) ||
                (file->del && !other->share_delete) || (other->read && !file->share_read) ||
                (other->write && !file->share_write) || (other->del && !file->share_delete);
            if (conflict) {
                if (node.opens.empty())
                    t.nodes.erase({device, inode});
                return STATUS_SHARING_VIOLATION;
            }
        }
    }
    node.opens.push_back(file);
    file->node = &node;
    file->node_key = {device, inode};
    return STATUS_SUCCESS;
}

void zw_share_detach(host_file* file)
{
    if (!file->node)
        return;
    share_table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.nodes.find(file->node_key);
    if (it != t.nodes.end()) {
        auto& opens = it->second.opens;
        for (auto o = opens.begin(); o != opens.end(); ++o) {
            if (*o == file) {
                opens.erase(o);
                break;
            }
        }
        if (opens.empty())
            t.nodes.erase(it);
    }
    file->node = nullptr;
}

bool zw_share_sparse(const host_file* file)
{
    share_table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    return file->node && file->node->sparse;
}

void zw_share_set_sparse(host_file* file, bool sparse)
{
    share_table& t = table();
    std::lock_guard<std::mutex> guard(t.lock);
    if (file->node)
        file->node->sparse = sparse;
}

NTSTATUS zw_status_of_errno(int error)
{
    switch (error) {
    case 0:
        return STATUS_SUCCESS;
    case ENOENT:
        return STATUS_OBJECT_NAME_NOT_FOUND;
    case ENOTDIR:
        return STATUS_OBJECT_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
        return STATUS_ACCESS_DENIED;
    case EEXIST:
        return STATUS_OBJECT_NAME_COLLISION;
    case EISDIR:
        return STATUS_FILE_IS_A_DIRECTORY;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return STATUS_DISK_FULL;
    case EROFS:
        return STATUS_MEDIA_WRITE_PROTECTED;
    case ENAMETOOLONG:
        return STATUS_NAME_TOO_LONG;
    case ELOOP:
        return STATUS_OBJECT_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE:
        return STATUS_TOO_MANY_OPENED_FILES;
    case ENOMEM:
        return STATUS_INSUFFICIENT_RESOURCES;
    case ETXTBSY:
    case EBUSY:
        return STATUS_SHARING_VIOLATION;
    case EINVAL:
        return STATUS_INVALID_PARAMETER;
    case EBADF:
        return STATUS_INVALID_HANDLE;
    case EOPNOTSUPP:
        return STATUS_NOT_SUPPORTED;
    case ENXIO:
    case ENODEV:
        return STATUS_NO_SUCH_DEVICE;
    case EIO:
        return STATUS_IO_DEVICE_ERROR;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

} // namespace ntos::detail
