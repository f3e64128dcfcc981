// Counted strings: initialisation, copy, append, comparison, case and number conversions.
#include "ps_internal.h"

#include <hostns/hostns.h>

#include <cstring>

namespace {

bool well_formed(PCUNICODE_STRING s)
{
    return s && !(s->Length & 1) && s->Length <= s->MaximumLength && (s->Buffer || !s->Length);
}

size_t wide_length(PCWSTR text)
{
    size_t n = 0;
    while (text[n])
        ++n;
    return n;
}

} // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString)
{
    if (!DestinationString)
        return;
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    // Longer texts are cut to the largest even length a counted string can hold.
    size_t bytes = wide_length(SourceString) * sizeof(WCHAR);
    if (bytes > MAXUSHORT - sizeof(WCHAR))
        bytes = MAXUSHORT - 1 - sizeof(WCHAR);
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString)
{
    if (!DestinationString)
        return;
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t bytes = strlen(SourceString);
    if (bytes > MAXUSHORT - 1)
        bytes = MAXUSHORT - 1;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString)
{
    if (!DestinationString)
        return;
    if (!SourceString || !well_formed(SourceString)) {
        DestinationString->Length = 0;
        return;
    }
    USHORT bytes = SourceString->Length;
    if (bytes > DestinationString->MaximumLength)
        bytes = DestinationString->MaximumLength & ~USHORT{1};
    if (bytes && !DestinationString->Buffer)
        return;
    memmove(DestinationString->Buffer, SourceString->Buffer, bytes);
    DestinationString->Length = bytes;
    if (bytes + sizeof(WCHAR) <= DestinationString->MaximumLength)
        DestinationString->Buffer[bytes / sizeof(WCHAR)] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source)
{
    if (!Destination || !well_formed(Destination) || !well_formed(Source))
        return STATUS_INVALID_PARAMETER;
    if (Source->Length == 0)
        return STATUS_SUCCESS;
    size_t total = size_t{Destination->Length} + Source->Length;
    if (total > Destination->MaximumLength || !Destination->Buffer)
        return STATUS_BUFFER_TOO_SMALL;
    memmove(reinterpret_cast<char*>(Destination->Buffer) + Destination->Length, Source->Buffer,
            Source->Length);
    Destination->Length = static_cast<USHORT>(total);
    if (total + sizeof(WCHAR) <= Destination->MaximumLength)
        Destination->Buffer[total / sizeof(WCHAR)] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source)
{
    if (!Source)
        return STATUS_SUCCESS;
    size_t bytes = wide_length(Source) * sizeof(WCHAR);
    if (bytes > MAXUSHORT)
        return STATUS_BUFFER_TOO_SMALL;
    UNICODE_STRING source{static_cast<USHORT>(bytes), static_cast<USHORT>(bytes),
                          const_cast<PWSTR>(Source)};
    return RtlAppendUnicodeStringToString(Destination, &source);
}

// The namespace's fold, so that both layers match names alike.
WCHAR RtlUpcaseUnicodeChar(WCHAR c)
{
    return hostns::upcase(c);
}

WCHAR RtlDowncaseUnicodeChar(WCHAR c)
{
    if (c >= u'A' && c <= u'Z')
        return c + 0x20;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7)
        return c + 0x20;
    if (c == 0x178)
        return 0xFF;
    if (c >= 0x100 && c <= 0x177)
        return (c & 1) ? c : WCHAR(c + 1);
    if (c >= 0x179 && c <= 0x17E)
        return (c & 1) ? WCHAR(c + 1) : c;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2)
        return c + 0x20;
    if (c >= 0x410 && c <= 0x42F)
        return c + 0x20;
    if (c >= 0x400 && c <= 0x40F)
        return c + 0x50;
    if (c >= 0xFF21 && c <= 0xFF3A)
        return c + 0x20;
    return c;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                             BOOLEAN CaseInSensitive)
{
    if (!well_formed(String1) || !well_formed(String2))
        return well_formed(String1) - well_formed(String2);
    size_t n1 = String1->Length / sizeof(WCHAR), n2 = String2->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n1 && i < n2; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpcaseUnicodeChar(a);
            b = RtlUpcaseUnicodeChar(b);
        }
        if (a != b)
            return LONG(a) - LONG(b);
    }
    return LONG(n1) - LONG(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                              BOOLEAN CaseInSensitive)
{
    if (!well_formed(String1) || !well_formed(String2) || String1->Length != String2->Length)
        return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                               BOOLEAN CaseInSensitive)
{
    if (!well_formed(String1) || !well_formed(String2) || String1->Length > String2->Length)
        return FALSE;
    UNICODE_STRING head{String1->Length, String1->Length, String2->Buffer};
    return RtlCompareUnicodeString(String1, &head, CaseInSensitive) == 0;
}

NTSTATUS RtlUpcaseUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString,
                                BOOLEAN AllocateDestinationString)
{
    if (!DestinationString || !well_formed(SourceString))
        return STATUS_INVALID_PARAMETER;
    if (AllocateDestinationString) {
        USHORT size = SourceString->Length;
        auto* buffer = static_cast<PWSTR>(
            ExAllocatePoolWithTag(PagedPool, size ? size : 2, 0x47727453 /* "StrG" */));
        if (!buffer)
            return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = size;
    } else if (SourceString->Length > DestinationString->MaximumLength ||
               (SourceString->Length && !DestinationString->Buffer)) {
        return STATUS_BUFFER_OVERFLOW;
    }
    size_t n = SourceString->Length / sizeof(WCHAR);
    for (size_t i = 0; i < n; ++i)
        DestinationString->Buffer[i] = RtlUpcaseUnicodeChar(SourceString->Buffer[i]);
    DestinationString->Length = SourceString->Length;
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString)
{
    if (!UnicodeString || !UnicodeString->Buffer)
        return;
    ExFreePool(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value)
{
    if (!well_formed(String) || !Value)
        return STATUS_INVALID_PARAMETER;
    if (Base != 0 && Base != 2 && Base != 8 && Base != 10 && Base != 16)
        return STATUS_INVALID_PARAMETER;
    const WCHAR* p = String->Buffer;
    const WCHAR* end = p + String->Length / sizeof(WCHAR);
    while (p < end && (*p == u' ' || *p == u'\t'))
        ++p;
    bool negative = false;
    if (p < end && (*p == u'-' || *p == u'+'))
        negative = *p++ == u'-';
    if (Base == 0) {
        Base = 10;
        if (end - p >= 2 && p[0] == u'0') {
            switch (p[1]) {
            case u'x':
                Base = 16;
                p += 2;
                break;
            case u'o':
                Base = 8;
                p += 2;
                break;
            case u'b':
                Base = 2;
                p += 2;
                break;
            default:
                break;
            }
        }
    }
    ULONG result = 0;
    for (; p < end; ++p) {
        ULONG digit;
        if (*p >= u'0' && *p <= u'9')
            digit = *p - u'0';
        else if (*p >= u'a' && *p <= u'f')
            digit = *p - u'a' + 10;
        else if (*p >= u'A' && *p <= u'F')
            digit = *p - u'A' + 10;
        else
            break;
        if (digit >= Base)
            break;
        result = result * Base + digit;
    }
    *Value = negative ? ULONG(0) - result : result;
    return STATUS_SUCCESS;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String)
{
    if (Base == 0)
        Base = 10;
    if (!String || (Base != 2 && Base != 8 && Base != 10 && Base != 16))
        return STATUS_INVALID_PARAMETER;
    WCHAR digits[33];
    size_t n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = WCHAR(d < 10 ? u'0' + d : u'A' + d - 10);
        Value /= Base;
    } while (Value);
    size_t bytes = n * sizeof(WCHAR);
    if (bytes > String->MaximumLength || !String->Buffer)
        return STATUS_BUFFER_OVERFLOW;
    for (size_t i = 0; i < n; ++i)
        String->Buffer[i] = digits[n - 1 - i];
    String->Length = static_cast<USHORT>(bytes);
    if (bytes + sizeof(WCHAR) <= String->MaximumLength)
        String->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
{
    auto* a = static_cast<const UCHAR*>(Source1);
    auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i])
        ++i;
    return i;
}
