// Safe-string routines and DbgPrint.
#include "dbg_rate.h"
#include "rtl_format.h"

#include <ntos_layer.h>
#include <ntstrsafe.h>

#include <chrono>
#include <cstdio>
#include <mutex>

using namespace ntos::detail;

namespace {

template <typename Char> size_t bounded_length(const Char* text, size_t limit)
{
    size_t n = 0;
    while (n < limit && text[n])
        ++n;
    return n;
}

template <typename Char> NTSTATUS copy_n(Char* dest, size_t cch, const Char* src, size_t limit)
{
    if (!dest || cch == 0 || cch > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    if (!src || limit > NTSTRSAFE_MAX_CCH) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    size_t n = 0;
    while (n < limit && src[n] && n + 1 < cch) {
        dest[n] = src[n];
        ++n;
    }
    dest[n] = 0;
    bool cut = n < limit && src[n] != 0;
    return cut ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <typename Char> NTSTATUS cat_n(Char* dest, size_t cch, const Char* src, size_t limit)
{
    if (!dest || cch == 0 || cch > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    size_t used = bounded_length(dest, cch);
    if (used == cch)
        return STATUS_INVALID_PARAMETER; // the destination is not terminated within its capacity
    if (!src || limit > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    return copy_n(dest + used, cch - used, src, limit);
}

template <typename Char> NTSTATUS length_of(const Char* text, size_t cch, size_t* length)
{
    if (length)
        *length = 0;
    if (!text || cch > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    size_t n = bounded_length(text, cch);
    if (n == cch)
        return STATUS_INVALID_PARAMETER;
    if (length)
        *length = n;
    return STATUS_SUCCESS;
}

template <typename Char> NTSTATUS store(Char* dest, size_t cch, const std::basic_string<Char>& text)
{
    size_t n = text.size() < cch ? text.size() : cch - 1;
    text.copy(dest, n);
    dest[n] = 0;
    return n < text.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS vprintf_w(PWSTR dest, size_t cch, PCWSTR format, va_list args)
{
    if (!dest || cch == 0 || cch > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    if (!format) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return store(dest, cch, format_wide(format, args));
}

NTSTATUS vprintf_a(PSTR dest, size_t cch, PCSTR format, va_list args)
{
    if (!dest || cch == 0 || cch > NTSTRSAFE_MAX_CCH)
        return STATUS_INVALID_PARAMETER;
    if (!format) {
        dest[0] = 0;
        return STATUS_INVALID_PARAMETER;
    }
    return store(dest, cch, format_narrow(format, args));
}

} // namespace

NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc)
{
    return copy_n(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS RtlStringCchCopyNW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc, size_t cchToCopy)
{
    return copy_n(pszDest, cchDest, pszSrc, cchToCopy);
}

NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc)
{
    return cat_n(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS RtlStringCchCatNW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc, size_t cchToAppend)
{
    return cat_n(pszDest, cchDest, pszSrc, cchToAppend);
}

NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength)
{
    return length_of(psz, cchMax, pcchLength);
}

NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    return copy_n(pszDest, cbDest / sizeof(WCHAR), pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc)
{
    return cat_n(pszDest, cbDest / sizeof(WCHAR), pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength)
{
    size_t cch = 0;
    NTSTATUS status = length_of(psz, cbMax / sizeof(WCHAR), &cch);
    if (pcbLength)
        *pcbLength = cch * sizeof(WCHAR);
    return status;
}

NTSTATUS RtlStringCchCopyA(PSTR pszDest, size_t cchDest, PCSTR pszSrc)
{
    return copy_n(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS RtlStringCchCopyNA(PSTR pszDest, size_t cchDest, PCSTR pszSrc, size_t cchToCopy)
{
    return copy_n(pszDest, cchDest, pszSrc, cchToCopy);
}

NTSTATUS RtlStringCchCatA(PSTR pszDest, size_t cchDest, PCSTR pszSrc)
{
    return cat_n(pszDest, cchDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t* pcchLength)
{
    return length_of(psz, cchMax, pcchLength);
}

NTSTATUS RtlStringCbCopyA(PSTR pszDest, size_t cbDest, PCSTR pszSrc)
{
    return copy_n(pszDest, cbDest, pszSrc, NTSTRSAFE_MAX_CCH);
}

NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = vprintf_w(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList)
{
    return vprintf_w(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = vprintf_w(pszDest, cbDest / sizeof(WCHAR), pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList)
{
    return vprintf_w(pszDest, cbDest / sizeof(WCHAR), pszFormat, argList);
}

NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = vprintf_a(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList)
{
    return vprintf_a(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...)
{
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = vprintf_a(pszDest, cbDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList)
{
    return vprintf_a(pszDest, cbDest, pszFormat, argList);
}

namespace {
void (*dbgprint_sink)(const std::string& line) = nullptr;
std::mutex dbgprint_lock;
constinit ntos::detail::dbg_rate_limit dbgprint_limit(ntos::detail::dbg_lines_per_second,
                                                      ntos::detail::dbg_burst_lines);
} // namespace

namespace ntos {

void set_debug_output(void (*sink)(const std::string& line))
{
    dbgprint_sink = sink;
}

void set_debug_output_rate(uint32_t lines_per_second, uint32_t burst)
{
    std::lock_guard guard(dbgprint_lock);
    dbgprint_limit = detail::dbg_rate_limit(lines_per_second, burst);
}

} // namespace ntos

ULONG DbgPrint(PCSTR Format, ...)
{
    if (!Format)
        return STATUS_INVALID_PARAMETER;
    va_list args;
    va_start(args, Format);
    std::string line = format_narrow(Format, args);
    va_end(args);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    // Embedded line breaks would split one message over several lines of the service's log.
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    line += '\n';
    std::lock_guard guard(dbgprint_lock);
    auto now = std::chrono::steady_clock::now().time_since_epoch();
    uint64_t dropped = 0;
    if (!dbgprint_limit.admit(std::chrono::duration_cast<std::chrono::milliseconds>(now).count(),
                              &dropped))
        return STATUS_SUCCESS;
    auto emit = [](const std::string& text) {
        if (dbgprint_sink) {
            dbgprint_sink(text);
        } else {
            fwrite(text.data(), 1, text.size(), stderr);
            fflush(stderr);
        }
    };
    if (dropped != 0)
        emit("DbgPrint: " + std::to_string(dropped) + " line(s) dropped, too many at once\n");
    emit(line);
    return STATUS_SUCCESS;
}
