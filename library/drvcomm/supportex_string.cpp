// Bounded strings over the platform's safe-string routines.
#include "supportex.h"

#include <ntstrsafe.h>

NTSTATUS SupportEx_StringCopy(PWSTR Dest, SIZE_T DestChars, PCWSTR Source)
{
    return RtlStringCchCopyW(Dest, DestChars, Source);
}

NTSTATUS SupportEx_StringCopyN(PWSTR Dest, SIZE_T DestChars, PCWSTR Source, SIZE_T Count)
{
    return RtlStringCchCopyNW(Dest, DestChars, Source, Count);
}

NTSTATUS SupportEx_StringCat(PWSTR Dest, SIZE_T DestChars, PCWSTR Source)
{
    return RtlStringCchCatW(Dest, DestChars, Source);
}

SIZE_T SupportEx_StringLength(PCWSTR Text, SIZE_T MaxChars)
{
    size_t length = 0;
    if (Text == nullptr) {
        return 0;
    }
    if (!NT_SUCCESS(RtlStringCchLengthW(Text, MaxChars, &length))) {
        return MaxChars; // not terminated within MaxChars
    }
    return length;
}

NTSTATUS SupportEx_StringVPrintfW(PWSTR Dest, SIZE_T DestChars, PCWSTR Format, va_list Args)
{
    return RtlStringCchVPrintfW(Dest, DestChars, Format, Args);
}

NTSTATUS SupportEx_StringVPrintfA(PCHAR Dest, SIZE_T DestBytes, PCSTR Format, va_list Args)
{
    return RtlStringCbVPrintfA(Dest, DestBytes, Format, Args);
}

NTSTATUS SupportEx_StringPrintfA(PCHAR Dest, SIZE_T DestBytes, PCSTR Format, ...)
{
    va_list args;
    va_start(args, Format);
    NTSTATUS status = RtlStringCbVPrintfA(Dest, DestBytes, Format, args);
    va_end(args);
    return status;
}
