#include "update_check.h"

#include "xhttp_client.h"

#include "common/text_encoding.h"
#include "common/text_format.h"
#include "common/vendor_server.h"

namespace {

// An update page is a few lines; anything longer is not one.
constexpr size_t kMaxPageBytes = 64 * 1024;

} // namespace

uint32_t ParseVersionPage(std::string_view page)
{
    constexpr std::string_view key = "version=";
    while (!page.empty()) {
        const size_t end = page.find('\n');
        std::string_view line = page.substr(0, end);
        page = end == std::string_view::npos ? std::string_view() : page.substr(end + 1);
        const size_t first = line.find_first_not_of(" \t\r\xEF\xBB\xBF");
        if (first == std::string_view::npos)
            continue;
        line = line.substr(first);
        if (line.substr(0, key.size()) != key)
            continue;
        line = line.substr(key.size());
        const size_t last = line.find_last_not_of(" \t\r");
        line = line.substr(0, last == std::string_view::npos ? 0 : last + 1);
        if (line.empty() || line.size() > 10 ||
            line.find_first_not_of("0123456789") != std::string_view::npos)
            return 0;
        const uint64_t value = std::stoull(std::string(line));
        return value > UINT32_MAX ? 0 : static_cast<uint32_t>(value);
    }
    return 0;
}

std::u16string VendorUrl(const std::string& baseUrl, const char* path)
{
    return Utf8ToWide(baseUrl + path);
}

uint32_t GetLatestVersion(const std::string& baseUrl)
{
    XHttpClient client;
    if (!client.Open(kUpdateUserAgent) ||
        !client.OpenUrl(VendorUrl(baseUrl, kUpdatePagePath).c_str()) ||
        !client.SendRequest(RequestKind::Get) || client.GetStatusCode() != 200)
        return 0;
    // Read to the end rather than to Content-Length, so a chunked page counts too.
    std::string page;
    char buffer[4096];
    for (;;) {
        DWORD read = 0;
        if (!client.ReadData(buffer, sizeof(buffer), read))
            return 0;
        if (read == 0)
            break;
        page.append(buffer, read);
        if (page.size() > kMaxPageBytes)
            return 0;
    }
    return ParseVersionPage(page);
}

uint32_t GetLatestVersion()
{
    return GetLatestVersion(VendorServerBaseUrl());
}

std::u16string FormatVersion(uint32_t version)
{
    const std::u16string digits = FormatText(u"%d", version);
    auto part = [&](size_t at, size_t count) {
        return at < digits.size() ? digits.substr(at, count) : std::u16string();
    };
    return part(0, 1) + u"." + part(1, 1) + u"." + part(2, 2);
}
