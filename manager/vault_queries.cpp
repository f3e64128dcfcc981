#include "vault_queries.h"

#include "common/text_compare.h"
#include "fileapi.h"
#include "handleapi.h"

bool IsVaultMounted(const RedAvClient& client, const VaultRecord& record)
{
    if (record.Letter == 0)
        return false;
    std::u16string device, filePath;
    LARGE_INTEGER size{};
    BYTE cdrom = 0, readOnly = 0, encrypt = 0;
    DWORD status = 0;
    if (!client.QueryVolume(record.Letter, device, filePath, size, cdrom, readOnly, encrypt,
                            status))
        return false;
    return EqualsNoCase(DevicePathToDosPath(filePath), record.Path);
}

ULONGLONG GetVaultSize(const RedAvClient& client, const VaultRecord& record)
{
    if (record.Letter != 0) {
        std::u16string device, filePath;
        LARGE_INTEGER size{};
        BYTE cdrom = 0, readOnly = 0, encrypt = 0;
        DWORD status = 0;
        if (client.QueryVolume(record.Letter, device, filePath, size, cdrom, readOnly, encrypt,
                               status))
            return ULONGLONG(size.QuadPart);
    }
    HANDLE file = CreateFileW(record.Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    LARGE_INTEGER size{};
    ULONGLONG result = GetFileSizeEx(file, &size) ? ULONGLONG(size.QuadPart) : 0;
    CloseHandle(file);
    return result;
}

std::u16string DevicePathToDosPath(const std::u16string& path)
{
    if (path.empty())
        return {};
    WCHAR roots[260] = {};
    DWORD length = GetLogicalDriveStringsW(260, roots);
    if (length == 0 || length > 260)
        return path;
    for (const WCHAR* root = roots; *root; root += std::char_traits<char16_t>::length(root) + 1) {
        const WCHAR drive[3] = {root[0], u':', 0};
        WCHAR target[260] = {};
        if (QueryDosDeviceW(drive, target, 260) == 0)
            continue;
        std::u16string device(target);
        if (device.empty() || !StartsWithNoCase(path, device))
            continue;
        if (path.size() == device.size())
            return std::u16string(drive) + u"\\";
        if (path[device.size()] == u'\\')
            return std::u16string(drive) + path.substr(device.size());
    }
    return path;
}
