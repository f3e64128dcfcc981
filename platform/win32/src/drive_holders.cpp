#include "drive_holders.h"

#include "paths.h"

#include "hostns/holders.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdlib>

std::string DriveHostFolder(WCHAR letter)
{
    std::u16string drive = hostns::drive_name(letter);
    if (drive.empty())
        return {};
    hostns::Resolution r = win32::detail::name_space().dos_to_host(drive + u"\\");
    if (r.status != hostns::Status::ok)
        return {};
    char* real = ::realpath(r.host_path.c_str(), nullptr);
    if (!real)
        return {};
    std::string folder = real;
    std::free(real);
    return folder;
}

std::vector<DriveHolder> GetDriveHolders(WCHAR letter)
{
    std::vector<DriveHolder> holders;
    const std::string folder = DriveHostFolder(letter);
    // Holding the host's root is not holding a drive.
    if (folder.empty() || folder == "/")
        return holders;
    const std::u16string root = hostns::drive_name(letter) + u"\\";
    for (const auto& h : hostns::find_holders(folder)) {
        DriveHolder out;
        out.pid = DWORD(h.pid);
        out.name = hostns::from_utf8(h.name);
        out.how = h.how == hostns::hold_kind::working_directory ? DriveHoldKind::WorkingDirectory
                  : h.how == hostns::hold_kind::mapping         ? DriveHoldKind::Mapping
                                                                : DriveHoldKind::OpenFile;
        out.path =
            root + hostns::from_utf8(h.path.substr(std::min(folder.size() + 1, h.path.size())));
        for (char16_t& c : out.path)
            if (c == u'/')
                c = u'\\';
        holders.push_back(std::move(out));
    }
    return holders;
}
