#include "file_manager.h"

#include "paths.h"
#include "host_program.h"

#include <thread>

namespace win32 {

namespace detail {

namespace {

const std::string bus_name = "org.freedesktop.FileManager1";

// True when a file manager on the session bus owns the name or can be started for it.
bool file_manager_offered(const std::string& gdbus)
{
    std::vector<std::string> ask = {gdbus,
                                    "call",
                                    "--session",
                                    "--timeout",
                                    "3",
                                    "--dest",
                                    "org.freedesktop.DBus",
                                    "--object-path",
                                    "/org/freedesktop/DBus",
                                    "--method"};
    std::vector<std::string> owner = ask;
    owner.insert(owner.end(), {"org.freedesktop.DBus.NameHasOwner", bus_name});
    std::string answer;
    if (run_program(owner, &answer) == 0 && answer.find("true") != std::string::npos)
        return true;
    std::vector<std::string> activatable = ask;
    activatable.push_back("org.freedesktop.DBus.ListActivatableNames");
    answer.clear();
    return run_program(activatable, &answer) == 0 &&
           answer.find("'" + bus_name + "'") != std::string::npos;
}

} // namespace

std::string file_uri(const std::string& host_path)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string uri = "file://";
    for (unsigned char c : host_path) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            uri += char(c);
        } else {
            uri += '%';
            uri += hex[c >> 4];
            uri += hex[c & 15];
        }
    }
    return uri;
}

ShownBy show_file_selected(const std::string& host_path)
{
    std::string gdbus = find_program("gdbus");
    if (!gdbus.empty() && file_manager_offered(gdbus)) {
        // The URI holds no quote or backslash after encoding, so it is a plain GVariant string.
        std::vector<std::string> show = {gdbus,
                                         "call",
                                         "--session",
                                         "--timeout",
                                         "10",
                                         "--dest",
                                         bus_name,
                                         "--object-path",
                                         "/org/freedesktop/FileManager1",
                                         "--method",
                                         bus_name + ".ShowItems",
                                         "['" + file_uri(host_path) + "']",
                                         ""};
        if (run_program(show) == 0)
            return ShownBy::file_manager;
    }
    std::string xdg_open = find_program("xdg-open");
    if (xdg_open.empty())
        return ShownBy::nothing;
    std::string folder = host_path.substr(0, host_path.rfind('/'));
    run_program({xdg_open, folder.empty() ? "/" : folder});
    return ShownBy::folder_opened;
}

} // namespace detail

bool ShowFileSelected(LPCWSTR lpFilePath)
{
    if (!lpFilePath)
        return false;
    detail::HostPath host = detail::resolve_path(lpFilePath);
    if (host.error || host.path.empty() || host.path[0] != '/')
        return false;
    std::thread([path = host.path] { detail::show_file_selected(path); }).detach();
    return true;
}

} // namespace win32
