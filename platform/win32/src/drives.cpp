// The drive list and the DOS device names of the caller's session.
#include "paths.h"

#include "errhandlingapi.h"
#include "fileapi.h"
#include "winerror.h"

#include <cerrno>
#include <cstring>

using namespace win32::detail;

DWORD WINAPI GetLogicalDrives(VOID)
{
    return name_space().drive_mask();
}

DWORD WINAPI GetLogicalDriveStringsW(DWORD nBufferLength, LPWSTR lpBuffer)
{
    DWORD mask = name_space().drive_mask();
    std::u16string list;
    for (int i = 0; i < 26; ++i)
        if (mask & (1u << i)) {
            list += char16_t(u'A' + i);
            list += u":\\";
            list += char16_t(0);
        }
    DWORD needed = DWORD(list.size()) + 1;
    if (!lpBuffer || nBufferLength < needed)
        return needed;
    std::memcpy(lpBuffer, list.data(), list.size() * sizeof(char16_t));
    lpBuffer[list.size()] = 0;
    return DWORD(list.size());
}

DWORD WINAPI QueryDosDeviceW(LPCWSTR lpDeviceName, LPWSTR lpTargetPath, DWORD ucchMax)
{
    hostns::Namespace ns = name_space();
    std::u16string list;
    if (lpDeviceName) {
        auto target = ns.query(lpDeviceName);
        if (!target) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        list = *target;
        list += char16_t(0);
    } else {
        for (const auto& name : ns.names()) {
            list += name;
            list += char16_t(0);
        }
    }
    list += char16_t(0);
    if (!lpTargetPath || ucchMax < list.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(lpTargetPath, list.data(), list.size() * sizeof(char16_t));
    return DWORD(list.size());
}

BOOL WINAPI DefineDosDeviceW(DWORD dwFlags, LPCWSTR lpDeviceName, LPCWSTR lpTargetPath)
{
    if (!lpDeviceName || !*lpDeviceName ||
        (dwFlags & ~DWORD(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE |
                          DDD_NO_BROADCAST_SYSTEM)))
        return fail(ERROR_INVALID_PARAMETER);
    hostns::Namespace ns = name_space();
    std::u16string target;
    if (lpTargetPath && *lpTargetPath) {
        target = lpTargetPath;
        if (!(dwFlags & DDD_RAW_TARGET_PATH))
            target = u"\\??\\" + target;
    }

    int error;
    if (dwFlags & DDD_REMOVE_DEFINITION) {
        auto current = ns.query_session(lpDeviceName);
        if (!current)
            return fail(ERROR_FILE_NOT_FOUND);
        // With a target, only a definition that it matches goes: exactly, or as its prefix.
        if (!target.empty()) {
            bool match = (dwFlags & DDD_EXACT_MATCH_ON_REMOVE)
                             ? *current == target
                             : hostns::istarts_with(*current, target);
            if (!match)
                return fail(ERROR_FILE_NOT_FOUND);
        }
        error = ns.remove(lpDeviceName);
    } else {
        if (target.empty())
            return fail(ERROR_INVALID_PARAMETER);
        error = ns.define(lpDeviceName, target);
    }
    switch (error) {
    case 0:
        return TRUE;
    case ENOENT:
        return fail(ERROR_FILE_NOT_FOUND);
    case EINVAL:
        return fail(ERROR_INVALID_PARAMETER);
    default:
        return fail(error_from_errno(error));
    }
}
