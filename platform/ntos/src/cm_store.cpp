// The registry's folders and value files (layout in cm_internal.h).
#include "cm_internal.h"
#include "host_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ntos::detail {

namespace {

constexpr char value_magic[4] = {'L', 'B', 'R', 'V'};
constexpr size_t value_header = 12;
// Encoded names longer than this become a hash: file names stop at 255 bytes.
constexpr size_t max_encoded = 200;

uint64_t fnv1a(std::string_view bytes)
{
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

void put32(std::string& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint32_t get32(const std::string& in, size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(in[at + i]);
    return v;
}

NTSTATUS status_of_errno(int e)
{
    switch (e) {
    case ENOENT:
    case ENOTDIR:
        return STATUS_KEY_DELETED;
    case EACCES:
    case EPERM:
    case EROFS:
        return STATUS_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
        return STATUS_DISK_FULL;
    case ENOMEM:
        return STATUS_INSUFFICIENT_RESOURCES;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

bool folder_exists(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

NTSTATUS read_whole(const std::string& path, std::string* bytes)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? STATUS_OBJECT_NAME_NOT_FOUND : status_of_errno(errno);
    bytes->clear();
    char chunk[8192];
    for (;;) {
        ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            return status_of_errno(e);
        }
        if (n == 0)
            break;
        bytes->append(chunk, static_cast<size_t>(n));
        if (bytes->size() > cm_max_value_data + value_header + 2 * cm_max_value_name) {
            ::close(fd);
            return STATUS_INTERNAL_ERROR;
        }
    }
    ::close(fd);
    return STATUS_SUCCESS;
}

NTSTATUS parse_value(const std::string& bytes, cm_value* value)
{
    if (bytes.size() < value_header || std::memcmp(bytes.data(), value_magic, 4) != 0)
        return STATUS_INTERNAL_ERROR;
    uint32_t name_bytes = get32(bytes, 8);
    if (name_bytes % 2 != 0 || name_bytes > bytes.size() - value_header)
        return STATUS_INTERNAL_ERROR;
    value->type = get32(bytes, 4);
    value->name.resize(name_bytes / 2);
    for (size_t i = 0; i < value->name.size(); ++i) {
        auto lo = static_cast<unsigned char>(bytes[value_header + 2 * i]);
        auto hi = static_cast<unsigned char>(bytes[value_header + 2 * i + 1]);
        value->name[i] = static_cast<char16_t>(lo | (hi << 8));
    }
    auto data = bytes.begin() + static_cast<std::ptrdiff_t>(value_header + name_bytes);
    value->data.assign(data, bytes.end());
    return STATUS_SUCCESS;
}

NTSTATUS make_folder_chain(const std::string& path)
{
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty())
            continue;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            return status_of_errno(errno);
    }
    return STATUS_SUCCESS;
}

} // namespace

std::u16string cm_fold(std::u16string_view name)
{
    return hostns::upcase(name);
}

std::string cm_encode_name(const char* prefix, std::u16string_view folded)
{
    static constexpr char hex[] = "0123456789abcdef";
    std::string utf8 = host_utf8(folded);
    std::string out = prefix;
    for (unsigned char c : utf8) {
        bool plain = (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
                     c == ' ' || c == '.';
        if (plain) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    if (out.size() > max_encoded) {
        uint64_t h = fnv1a(utf8);
        out = std::string(prefix) + "#";
        for (int i = 15; i >= 0; --i)
            out += hex[(h >> (4 * i)) & 15];
    }
    return out;
}

std::string cm_machine_folder()
{
    std::string folder = host_state_folder() + "/registry/machine";
    make_folder_chain(folder);
    return folder;
}

NTSTATUS cm_split(std::u16string_view relative, std::vector<std::u16string>* components)
{
    components->clear();
    if (relative.empty())
        return STATUS_SUCCESS;
    size_t start = 0;
    for (;;) {
        size_t end = relative.find(u'\\', start);
        std::u16string_view part = relative.substr(
            start, end == std::u16string_view::npos ? std::u16string_view::npos : end - start);
        if (part.empty() || part.size() > cm_max_key_name)
            return STATUS_OBJECT_NAME_INVALID;
        components->emplace_back(part);
        if (end == std::u16string_view::npos)
            return STATUS_SUCCESS;
        start = end + 1;
    }
}

std::string cm_child_folder(const std::string& base_folder,
                            const std::vector<std::u16string>& components)
{
    std::string folder = base_folder;
    for (const auto& c : components)
        folder += "/" + cm_encode_name("k_", cm_fold(c));
    return folder;
}

NTSTATUS cm_read_value(const std::string& key_folder, std::u16string_view name, cm_value* value)
{
    if (name.size() > cm_max_value_name)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (!folder_exists(key_folder))
        return STATUS_KEY_DELETED;
    std::u16string folded = cm_fold(name);
    std::string bytes;
    NTSTATUS status = read_whole(key_folder + "/" + cm_encode_name("v_", folded), &bytes);
    if (!NT_SUCCESS(status))
        return status;
    status = parse_value(bytes, value);
    if (!NT_SUCCESS(status))
        return status;
    // A hashed file name could in theory belong to another name.
    if (cm_fold(value->name) != folded)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return STATUS_SUCCESS;
}

NTSTATUS cm_write_value(const std::string& key_folder, const cm_value& value)
{
    if (value.name.size() > cm_max_value_name)
        return STATUS_INVALID_PARAMETER;
    if (value.data.size() > cm_max_value_data)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (!folder_exists(key_folder))
        return STATUS_KEY_DELETED;
    std::u16string folded = cm_fold(value.name);
    std::string target = key_folder + "/" + cm_encode_name("v_", folded);
    // An existing value keeps the spelling it was created with, as the registry does.
    std::u16string name = value.name;
    std::string probe;
    cm_value old;
    if (NT_SUCCESS(read_whole(target, &probe)) && NT_SUCCESS(parse_value(probe, &old))) {
        if (cm_fold(old.name) != folded)
            return STATUS_INSUFFICIENT_RESOURCES; // hashed file name taken by another name
        name = old.name;
    }

    std::string bytes(value_magic, 4);
    put32(bytes, value.type);
    put32(bytes, static_cast<uint32_t>(name.size() * 2));
    for (char16_t c : name) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    bytes.append(reinterpret_cast<const char*>(value.data.data()), value.data.size());

    std::string temp = key_folder + "/.tmp." + std::to_string(::getpid()) + "." +
                       std::to_string(static_cast<long>(::gettid()));
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return status_of_errno(errno);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            int e = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            return status_of_errno(e);
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        int e = errno;
        ::unlink(temp.c_str());
        return status_of_errno(e);
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        int e = errno;
        ::unlink(temp.c_str());
        return status_of_errno(e);
    }
    return STATUS_SUCCESS;
}

NTSTATUS cm_delete_value(const std::string& key_folder, std::u16string_view name)
{
    cm_value existing;
    NTSTATUS status = cm_read_value(key_folder, name, &existing);
    if (!NT_SUCCESS(status))
        return status;
    std::string target = key_folder + "/" + cm_encode_name("v_", cm_fold(name));
    if (::unlink(target.c_str()) != 0)
        return errno == ENOENT ? STATUS_OBJECT_NAME_NOT_FOUND : status_of_errno(errno);
    return STATUS_SUCCESS;
}

NTSTATUS cm_list_values(const std::string& key_folder, std::vector<cm_value>* values)
{
    values->clear();
    DIR* dir = ::opendir(key_folder.c_str());
    if (!dir)
        return status_of_errno(errno);
    std::vector<std::string> files;
    while (dirent* entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, "v_", 2) == 0)
            files.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    for (const auto& f : files) {
        std::string bytes;
        cm_value v;
        if (NT_SUCCESS(read_whole(key_folder + "/" + f, &bytes)) &&
            NT_SUCCESS(parse_value(bytes, &v)))
            values->push_back(std::move(v));
    }
    std::sort(values->begin(), values->end(), [](const cm_value& a, const cm_value& b) {
        return cm_fold(a.name) < cm_fold(b.name);
    });
    return STATUS_SUCCESS;
}

} // namespace ntos::detail
