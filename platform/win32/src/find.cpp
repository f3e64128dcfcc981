#include "find.h"
#include "paths.h"

#include "errhandlingapi.h"
#include "fileapi.h"
#include "winerror.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>

using namespace win32::detail;

namespace win32::detail {

bool SearchObject::next(WIN32_FIND_DATAW* out)
{
    if (position_ >= entries_.size())
        return false;
    *out = entries_[position_++];
    return true;
}

DWORD file_attributes(const struct stat& st)
{
    if (S_ISDIR(st.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    if (!(st.st_mode & S_IWUSR))
        return FILE_ATTRIBUTE_READONLY;
    return FILE_ATTRIBUTE_NORMAL;
}

namespace {

bool match_from(std::u16string_view p, std::u16string_view n)
{
    while (!p.empty()) {
        if (p[0] == u'*') {
            while (!p.empty() && p[0] == u'*')
                p.remove_prefix(1);
            if (p.empty())
                return true;
            for (size_t i = 0; i <= n.size(); ++i)
                if (match_from(p, n.substr(i)))
                    return true;
            return false;
        }
        if (n.empty())
            return false;
        if (p[0] != u'?' && hostns::upcase(p[0]) != hostns::upcase(n[0]))
            return false;
        p.remove_prefix(1);
        n.remove_prefix(1);
    }
    return n.empty();
}

} // namespace

bool wildcard_match(std::u16string_view pattern, std::u16string_view name)
{
    if (pattern == u"*.*")
        pattern = u"*";
    return match_from(pattern, name);
}

} // namespace win32::detail

namespace {

bool separator(char16_t c)
{
    return c == u'\\' || c == u'/';
}

FILETIME file_time(const struct timespec& ts)
{
    // 100-nanosecond intervals since 1601-01-01.
    ULONGLONG t =
        (ULONGLONG(ts.tv_sec) + 11644473600ull) * 10000000ull + ULONGLONG(ts.tv_nsec) / 100;
    return FILETIME{DWORD(t), DWORD(t >> 32)};
}

bool make_entry(const std::string& host, std::u16string_view name, WIN32_FIND_DATAW& out)
{
    struct stat st;
    if (stat(host.c_str(), &st) != 0 && lstat(host.c_str(), &st) != 0)
        return false;
    if (name.size() >= MAX_PATH)
        return false;
    std::memset(&out, 0, sizeof out);
    out.dwFileAttributes = file_attributes(st);
    out.ftCreationTime = file_time(st.st_ctim);
    out.ftLastAccessTime = file_time(st.st_atim);
    out.ftLastWriteTime = file_time(st.st_mtim);
    if (!S_ISDIR(st.st_mode)) {
        out.nFileSizeHigh = DWORD(ULONGLONG(st.st_size) >> 32);
        out.nFileSizeLow = DWORD(st.st_size);
    }
    std::memcpy(out.cFileName, name.data(), name.size() * sizeof(char16_t));
    return true;
}

std::string join(const std::string& dir, const std::string& name)
{
    if (dir.empty() || dir.back() == '/')
        return dir + name;
    return dir + "/" + name;
}

} // namespace

HANDLE WINAPI FindFirstFileW(LPCWSTR lpFileName, LPWIN32_FIND_DATAW lpFindFileData)
{
    auto refuse = [](DWORD error) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    };
    if (!lpFileName || !*lpFileName)
        return refuse(lpFileName ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    if (!lpFindFileData)
        return refuse(ERROR_INVALID_PARAMETER);
    std::u16string text(lpFileName);
    if (separator(text.back()))
        return refuse(ERROR_FILE_NOT_FOUND);

    size_t cut = text.find_last_of(u"\\/");
    std::u16string folder, name;
    if (cut != std::u16string::npos) {
        folder = text.substr(0, cut + 1);
        name = text.substr(cut + 1);
    } else if (text.size() >= 2 && text[1] == u':') {
        folder = text.substr(0, 2) + u"\\";
        name = text.substr(2);
    } else {
        folder = u".";
        name = text;
    }
    if (name.empty())
        return refuse(ERROR_FILE_NOT_FOUND);
    HostPath dir = resolve_path(folder.c_str());
    if (dir.error)
        return refuse(dir.error);
    HostPath check = resolve_path(text.c_str(), Wildcards::allow_in_last);
    if (check.error)
        return refuse(check.error);

    std::vector<WIN32_FIND_DATAW> entries;
    WIN32_FIND_DATAW entry;
    if (name.find_first_of(u"*?") == std::u16string::npos) {
        // The entry as the folder spells it: the path matched it without regard to case.
        const std::string& host = check.path;
        if (!make_entry(host, hostns::from_utf8(host.substr(host.rfind('/') + 1)), entry))
            return refuse(error_from_errno(errno, host));
        entries.push_back(entry);
    } else {
        DIR* d = opendir(dir.path.empty() ? "." : dir.path.c_str());
        if (!d)
            return refuse(errno == ENOENT || errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                              : error_from_errno(errno));
        // A drive's root has no "." and ".." entries on Windows; every other folder lists them
        // first.
        std::u16string_view f(folder);
        if (f.size() >= 4 && f.substr(0, 4) == u"\\\\?\\")
            f.remove_prefix(4);
        bool drive_root = f.size() == 3 && f[1] == u':';
        if (!drive_root)
            for (const char16_t* dot : {u".", u".."})
                if (wildcard_match(name, dot) &&
                    make_entry(join(dir.path, hostns::to_utf8(dot)), dot, entry))
                    entries.push_back(entry);
        while (dirent* e = readdir(d)) {
            if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
                continue;
            std::u16string entry_name = hostns::from_utf8(e->d_name);
            if (wildcard_match(name, entry_name) &&
                make_entry(join(dir.path, e->d_name), entry_name, entry))
                entries.push_back(entry);
        }
        closedir(d);
        if (entries.empty())
            return refuse(ERROR_FILE_NOT_FOUND);
    }
    auto search = std::make_shared<SearchObject>(std::move(entries));
    search->next(lpFindFileData);
    return handle_insert(search);
}

BOOL WINAPI FindNextFileW(HANDLE hFindFile, LPWIN32_FIND_DATAW lpFindFileData)
{
    auto search = handle_lookup_as<SearchObject>(hFindFile);
    if (!search)
        return fail(ERROR_INVALID_HANDLE);
    if (!lpFindFileData)
        return fail(ERROR_INVALID_PARAMETER);
    return search->next(lpFindFileData) ? TRUE : fail(ERROR_NO_MORE_FILES);
}

BOOL WINAPI FindClose(HANDLE hFindFile)
{
    if (!handle_lookup_as<SearchObject>(hFindFile))
        return fail(ERROR_INVALID_HANDLE);
    handle_remove(hFindFile);
    return TRUE;
}
