// The operating system's version, read once at start.
#include "verex.h"

namespace {

VEREX_VERSION g_Version = {0, 0};

using RtlGetVersionRoutine = NTSTATUS (*)(PRTL_OSVERSIONINFOW);

} // namespace

VOID VerEx_Initialize()
{
    g_Version = {0, 0};
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"RtlGetVersion");
    auto getVersion = reinterpret_cast<RtlGetVersionRoutine>(MmGetSystemRoutineAddress(&name));
    if (getVersion != nullptr) {
        RTL_OSVERSIONINFOEXW info{};
        info.dwOSVersionInfoSize = sizeof(info);
        if (NT_SUCCESS(getVersion(reinterpret_cast<PRTL_OSVERSIONINFOW>(&info)))) {
            g_Version = {info.dwMajorVersion, info.dwMinorVersion};
        }
        return;
    }
    ULONG major = 0;
    ULONG minor = 0;
    PsGetVersion(&major, &minor, nullptr, nullptr);
    g_Version = {major, minor};
}

VEREX_VERSION VerEx_GetVersion()
{
    return g_Version;
}

BOOLEAN SupportEx_IsWindows60()
{
    return g_Version.Major == 6 && g_Version.Minor == 0;
}
