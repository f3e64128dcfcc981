#include "common/vendor_server.h"

#include <cstdlib>
#include <fstream>

namespace {

std::string trimmed(std::string s)
{
    const auto first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    const auto last = s.find_last_not_of(" \t\r\n");
    s = s.substr(first, last - first + 1);
    while (!s.empty() && s.back() == '/')
        s.pop_back();
    return s;
}

} // namespace

std::string VendorServerBaseUrl(const char* file)
{
    if (const char* env = std::getenv("LOCKBIN_SERVER")) {
        std::string url = trimmed(env);
        if (!url.empty())
            return url;
    }
    if (file != nullptr) {
        std::ifstream in(file);
        std::string line;
        if (in && std::getline(in, line)) {
            std::string url = trimmed(line);
            if (!url.empty())
                return url;
        }
    }
    return kVendorServerDefault;
}

bool ParseVendorServer(const std::string& base_url, VendorServerAddress& out)
{
    std::string rest;
    if (base_url.rfind("http://", 0) == 0) {
        rest = base_url.substr(7);
        out.secure = false;
        out.port = 80;
    } else if (base_url.rfind("https://", 0) == 0) {
        rest = base_url.substr(8);
        out.secure = true;
        out.port = 443;
    } else {
        return false;
    }
    rest = rest.substr(0, rest.find('/'));
    if (rest.empty())
        return false;
    const auto colon = rest.rfind(':');
    if (colon != std::string::npos && rest.find(']') == std::string::npos) {
        const std::string digits = rest.substr(colon + 1);
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos ||
            digits.size() > 5)
            return false;
        const unsigned long port = std::strtoul(digits.c_str(), nullptr, 10);
        if (port == 0 || port > 65535)
            return false;
        out.port = static_cast<unsigned>(port);
        rest = rest.substr(0, colon);
    }
    if (rest.empty())
        return false;
    out.host = rest;
    return true;
}
