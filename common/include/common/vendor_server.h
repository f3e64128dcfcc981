// Where every program of the system finds the vendor's server.
#pragma once

#include <string>

// The system file that the installation writes; its first line is the server's base URL.
inline constexpr const char* kVendorServerFile = "/etc/lockbin/server";

// Used when neither the environment nor the system file names a server: a reserved example
// domain, so an unconfigured machine never talks to anybody.
inline constexpr const char* kVendorServerDefault = "http://lockbin.example.com";

// The vendor's server as a base URL without a trailing slash ("http://127.0.0.1:8000"):
// `LOCKBIN_SERVER` when set and not empty, else the first line of the system file, else the
// default. `file` overrides the system file's path (tests).
std::string VendorServerBaseUrl(const char* file = kVendorServerFile);

// Host and port of the base URL, for callers that connect by name (`WinHttpConnect`); the port
// is 80 unless the URL gives one (443 for https).
struct VendorServerAddress {
    std::string host;
    unsigned port = 80;
    bool secure = false;
};
bool ParseVendorServer(const std::string& base_url, VendorServerAddress& out);
