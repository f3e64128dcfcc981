// The updater's fixed values, its texts and the version query.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr uint32_t kInstalledVersion = 2000;
inline constexpr char16_t kInstalledVersionText[] = u"2.0.00";
inline constexpr char16_t kUpdateUserAgent[] = u"Mozilla/4.0 (compatible; )";
inline constexpr char16_t kUpdateMutexName[] = u"MutexLockbin";
inline constexpr char kUpdatePagePath[] = "/lockbin/update.html";
inline constexpr char kSetupPath[] = "/lockbin/lockbinsetup.exe";
// The detached signature served beside the setup program: the 64 raw bytes of an Ed25519
// signature over the whole file.
inline constexpr char kSetupSignaturePath[] = "/lockbin/lockbinsetup.exe.sig";
inline constexpr char kSetupFileName[] = "LockbinSetup.exe";

// Status texts of the download.
inline constexpr char16_t kStatusConnecting[] = u"连接服务器 ...";
inline constexpr char16_t kStatusDownloading[] = u"正在下载数据 ...";
inline constexpr char16_t kStatusDone[] = u"下载完成，准备安装!";
// Ours: the download arrived but its signature is missing or does not verify.
inline constexpr char16_t kStatusUnsigned[] = u"安装程序签名无效，已放弃安装!";

// The version number of an update page: the digits after "version=" on the first line that
// starts with it (blanks around the line ignored), 0 when there is none or it does not fit.
uint32_t ParseVersionPage(std::string_view page);

// The latest published version from the update page of the server at `baseUrl` ("http://host:port",
// optionally with a path prefix); 0 on any failure. Each call asks the server again.
uint32_t GetLatestVersion(const std::string& baseUrl);
// The same for the vendor's server as configured on this machine.
uint32_t GetLatestVersion();

// "%d" of the number, cut into its first digit, its second and its third and fourth:
// 2001 gives "2.0.01", 12345 "1.2.34".
std::u16string FormatVersion(uint32_t version);

// The base URL followed by a path, as wide text for OpenUrl.
std::u16string VendorUrl(const std::string& baseUrl, const char* path);
