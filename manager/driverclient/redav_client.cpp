// The control requests: device open, mount, dismount, volume query.
#include "redav_client.h"

#include "redav_ioctl.h"

#include <cstring>
#include <memory>
#include <new>

RedAvClient g_RedAvClient;

namespace {

HANDLE open_control_device()
{
    return CreateFileW(REDAV_CONTROL_USER_NAME, GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

// One request on a handle of its own, opened just before and closed just after.
bool send_request(DWORD code, void* input, DWORD inputLength, void* output, DWORD outputLength,
                  DWORD* returned)
{
    HANDLE device = open_control_device();
    if (device == INVALID_HANDLE_VALUE)
        return false;
    DWORD bytes = 0;
    BOOL ok =
        DeviceIoControl(device, code, input, inputLength, output, outputLength, &bytes, nullptr);
    CloseHandle(device);
    if (returned)
        *returned = bytes;
    return ok != FALSE;
}

// The fields that only one of the two mount kinds sends.
struct MountKind {
    DWORD code;
    LONGLONG diskSize;
    bool noSparse;
    bool readOnly;
};

bool send_mount(const MountKind& kind, WCHAR letter, std::u16string_view path, bool encrypt,
                const BYTE* key, DWORD keyLength)
{
    // Without key bytes there is no key: sending keyLength zeros would hand the driver a key
    // that every attacker knows.
    if (!key)
        keyLength = 0;
    const ULONGLONG size = ULONGLONG(REDAV_MOUNT_REQUEST_MIN_SIZE) + keyLength;
    if (size > 0xFFFFFFFFull)
        return false;
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]());
    if (!buffer)
        return false;

    REDAV_MOUNT_REQUEST request{};
    request.VolumeLetter = letter;
    // At most REDAV_PATH_CHARS - 1 code units, so the field always ends in a zero.
    size_t length = 0;
    while (length < path.size() && length < REDAV_PATH_CHARS - 1 && path[length] != 0)
        ++length;
    std::memcpy(request.FilePath, path.data(), length * sizeof(WCHAR));
    request.DiskSize = kind.diskSize;
    request.NoSparse = kind.noSparse ? 1 : 0;
    request.IsReadOnly = kind.readOnly ? 1 : 0;
    request.IsEncrypt = encrypt ? 1 : 0;
    request.KeyLength = keyLength;
    // Everything before the key; the key (or its absence) follows at offset 544.
    std::memcpy(buffer.get(), &request, REDAV_MOUNT_KEY_OFFSET);
    if (keyLength != 0)
        std::memcpy(buffer.get() + REDAV_MOUNT_KEY_OFFSET, key, keyLength);

    return send_request(kind.code, buffer.get(), DWORD(size), nullptr, 0, nullptr);
}

// The longest zero-terminated prefix of a fixed-size field.
std::u16string field_text(const WCHAR* field, size_t capacity)
{
    size_t length = 0;
    while (length < capacity && field[length] != 0)
        ++length;
    return std::u16string(field, length);
}

} // namespace

bool RedAvClient::IsDriverPresent() const
{
    HANDLE device = open_control_device();
    if (device == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(device);
    return true;
}

bool RedAvClient::MountNewDisk(WCHAR letter, std::u16string_view path, DWORD sizeLow,
                               DWORD sizeHigh, bool noSparse, bool encrypt, const BYTE* key,
                               DWORD keyLength, bool notify) const
{
    ULARGE_INTEGER diskSize;
    diskSize.u.LowPart = sizeLow;
    diskSize.u.HighPart = sizeHigh;
    MountKind kind{IOCTL_REDAV_MOUNT_NEW_DISK, LONGLONG(diskSize.QuadPart), noSparse, false};
    if (!send_mount(kind, letter, path, encrypt, key, keyLength))
        return false;
    if (notify)
        NotifyVolumeChange(letter, true, false);
    return true;
}

bool RedAvClient::MountExistDisk(WCHAR letter, std::u16string_view path, bool readOnly,
                                 bool encrypt, const BYTE* key, DWORD keyLength, bool notify) const
{
    MountKind kind{IOCTL_REDAV_MOUNT_EXIST_DISK, 0, false, readOnly};
    if (!send_mount(kind, letter, path, encrypt, key, keyLength))
        return false;
    if (notify)
        NotifyVolumeChange(letter, true, false);
    return true;
}

bool RedAvClient::DisMount(WCHAR letter, bool force) const
{
    REDAV_DISMOUNT_REQUEST request{};
    request.VolumeLetter = letter;
    request.Force = force ? 1 : 0;
    if (!send_request(IOCTL_REDAV_DISMOUNT, &request, sizeof(request), nullptr, 0, nullptr))
        return false;
    // Also when the driver's own links are gone already: the session definition is ours.
    NotifyVolumeChange(letter, false, false);
    return true;
}

bool RedAvClient::QueryVolume(WCHAR letter, std::u16string& deviceName, std::u16string& filePath,
                              LARGE_INTEGER& fileSize, BYTE& isCdrom, BYTE& isReadOnly,
                              BYTE& isEncrypt, DWORD& rwStatus) const
{
    WCHAR input = letter;
    REDAV_VOLUME_INFO info{};
    DWORD returned = 0;
    if (!send_request(IOCTL_REDAV_QUERY_VOLUME, &input, sizeof(input), &info, sizeof(info),
                      &returned))
        return false;
    // A short reply would leave zeros that read as a volume of size 0 with an empty path.
    if (returned < sizeof(info))
        return false;
    deviceName = field_text(info.DeviceName, ARRAYSIZE(info.DeviceName));
    filePath = field_text(info.FilePath, ARRAYSIZE(info.FilePath));
    fileSize.QuadPart = info.FileSize;
    isCdrom = info.IsCDROM;
    isReadOnly = info.IsReadOnly;
    isEncrypt = info.IsEncrypt;
    rwStatus = info.VolumeRWStatus;
    return true;
}
