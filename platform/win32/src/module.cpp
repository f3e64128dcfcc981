// The modules programs load by name, as a fixed table: a handle is the address of the module's
// entry, valid while its reference count is above zero.
#include "errhandlingapi.h"
#include "fmifs.h"
#include "libloaderapi.h"
#include "winerror.h"

#include <cstring>
#include <mutex>
#include <string_view>

namespace {

struct Export {
    const char* name;
    FARPROC address;
};

struct Module {
    std::u16string_view file_name; // lower case, with its extension
    const Export* exports;
    size_t export_count;
    unsigned references = 0;
};

const Export fmifs_exports[] = {
    {"FormatEx", reinterpret_cast<FARPROC>(&FormatEx)},
};

Module modules[] = {
    {u"fmifs.dll", fmifs_exports, std::size(fmifs_exports)},
};

std::mutex& modules_lock()
{
    static std::mutex lock;
    return lock;
}

char16_t lower(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? char16_t(c + (u'a' - u'A')) : c;
}

bool same_name_no_case(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

// The file name the request designates, or empty when it points outside the system folder.
std::u16string file_name_of(std::u16string_view request)
{
    constexpr std::u16string_view system_folder = u"c:\\windows\\system32\\";
    size_t slash = request.find_last_of(u"\\/");
    if (slash != std::u16string_view::npos) {
        std::u16string folder(request.substr(0, slash + 1));
        for (char16_t& c : folder)
            c = c == u'/' ? u'\\' : c;
        if (!same_name_no_case(folder, system_folder))
            return {};
        request.remove_prefix(slash + 1);
    }
    std::u16string name(request);
    // As the loader does: no extension means ".dll", a trailing dot means none at all.
    if (!name.empty() && name.back() == u'.')
        name.pop_back();
    else if (name.find(u'.') == std::u16string::npos)
        name += u".dll";
    return name;
}

Module* loaded(HMODULE handle)
{
    for (Module& m : modules) {
        if (reinterpret_cast<HMODULE>(&m) == handle && m.references > 0)
            return &m;
    }
    return nullptr;
}

} // namespace

HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName)
{
    if (!lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::u16string name = file_name_of(lpLibFileName);
    std::lock_guard guard(modules_lock());
    for (Module& m : modules) {
        if (!name.empty() && same_name_no_case(name, m.file_name)) {
            ++m.references;
            return reinterpret_cast<HMODULE>(&m);
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName)
{
    std::lock_guard guard(modules_lock());
    Module* m = loaded(hModule);
    if (!m) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // A value below 64K is an ordinal, not a name.
    if (reinterpret_cast<uintptr_t>(lpProcName) > 0xFFFF) {
        for (size_t i = 0; i < m->export_count; ++i) {
            if (std::strcmp(m->exports[i].name, lpProcName) == 0)
                return m->exports[i].address;
        }
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL WINAPI FreeLibrary(HMODULE hLibModule)
{
    std::lock_guard guard(modules_lock());
    Module* m = loaded(hLibModule);
    if (!m) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    --m->references;
    return TRUE;
}
