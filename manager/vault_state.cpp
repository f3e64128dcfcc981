#include "vault_state.h"

#include "redav_client.h"
#include "windows.h"

#include "common/text_compare.h"

namespace {

// Asks the driver about the volume at the letter; false when there is none.
bool query_volume(const RedAvClient& client, char16_t letter, std::u16string& filePath,
                  uint64_t& fileSize)
{
    std::u16string deviceName;
    LARGE_INTEGER size{};
    BYTE isCdrom = 0, isReadOnly = 0, isEncrypt = 0;
    DWORD rwStatus = 0;
    if (!client.QueryVolume(letter, deviceName, filePath, size, isCdrom, isReadOnly, isEncrypt,
                            rwStatus))
        return false;
    fileSize = static_cast<uint64_t>(size.QuadPart);
    return true;
}

} // namespace

bool IsVaultMounted(const VaultRecord& record)
{
    return IsVaultMounted(g_RedAvClient, record);
}

bool IsVaultMounted(const RedAvClient& client, const VaultRecord& record)
{
    if (record.Letter == 0)
        return false;
    std::u16string filePath;
    uint64_t size = 0;
    if (!query_volume(client, record.Letter, filePath, size))
        return false;
    return EqualsNoCase(DevicePathToDosPath(filePath), record.Path);
}

uint64_t GetVaultSize(const VaultRecord& record)
{
    return GetVaultSize(g_RedAvClient, record);
}

uint64_t GetVaultSize(const RedAvClient& client, const VaultRecord& record)
{
    std::u16string filePath;
    uint64_t size = 0;
    if (record.Letter != 0 && query_volume(client, record.Letter, filePath, size))
        return size;
    HANDLE file = CreateFileW(record.Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    LARGE_INTEGER length{};
    BOOL ok = GetFileSizeEx(file, &length);
    CloseHandle(file);
    return ok ? static_cast<uint64_t>(length.QuadPart) : 0;
}

std::u16string DevicePathToDosPath(const std::u16string& path)
{
    if (path.empty())
        return path;
    WCHAR roots[MAX_PATH] = {};
    DWORD length = GetLogicalDriveStringsW(MAX_PATH, roots);
    if (length == 0 || length > MAX_PATH)
        return path;
    for (const WCHAR* root = roots; *root; root += std::char_traits<char16_t>::length(root) + 1) {
        const WCHAR drive[3] = {root[0], u':', 0};
        WCHAR device[MAX_PATH] = {};
        if (QueryDosDeviceW(drive, device, MAX_PATH) == 0)
            continue;
        const std::u16string_view name(device);
        if (name.empty() || !StartsWithNoCase(std::u16string_view(path), name))
            continue;
        if (path.size() == name.size())
            return std::u16string(drive) + u"\\";
        if (path[name.size()] == u'\\')
            return std::u16string(drive) + path.substr(name.size());
    }
    return path;
}
