// Importing an existing container, and the default folder of the settings dialog.
#include "operation_outcomes.h"

#include "common/text_compare.h"
#include "disk_helpers.h"
#include "fileapi.h"

using namespace ops_detail;

Outcome ImportVault(VaultCatalogue& catalogue, const ImportInput& input)
{
    if (input.name.empty())
        return refused(MessageId::NameEmpty, kIdName);
    if (input.path.empty())
        return refused(MessageId::PathEmpty, kIdPath);
    if (!FileExists(input.path))
        return refused(MessageId::ImportFileMissing, kIdPath);
    // Removable disks come before the duplicate tests, the name test before the path test.
    if (!on_fixed_disk(input.path))
        return refused(MessageId::ImportOnRemovable);
    VaultRecord existing;
    if (catalogue.FindByName(input.name, existing))
        return refused(MessageId::NameExists, kIdName);
    if (catalogue.ContainsPath(input.path))
        return refused(MessageId::ImportDuplicatePath);
    const int32_t autoassign = input.letter == 0 ? 1 : 0;
    if (catalogue.GetCount() >= 4)
        return refused(MessageId::TooManyVaults);
    catalogue.AddVault(input.name, input.path, autoassign, input.letter, input.loadtype,
                       input.description);
    save_catalogue(catalogue);
    return done();
}

std::u16string NameFromContainerPath(const std::u16string& path)
{
    size_t slash = path.find_last_of(u"\\/");
    std::u16string name = slash == std::u16string::npos ? path : path.substr(slash + 1);
    if (EndsWith(name, u".lkb"))
        name.resize(name.size() - 4);
    return name;
}

Outcome ChangeDefaultFolder(VaultCatalogue& catalogue, const std::u16string& folder,
                            const AskFn& ask)
{
    if (folder.empty())
        return refused(MessageId::DefaultPathEmpty, kIdDefaultPath);
    if (folder == catalogue.DefaultPath)
        return done(false);
    if (!on_fixed_disk(folder))
        return refused(MessageId::DefaultPathNotLocal, kIdDefaultPath);
    if (!DirectoryExists(folder)) {
        if (!ask_yes(ask, MessageId::DefaultPathCreateAsk,
                     MessageText(MessageId::DefaultPathCreateAsk))) {
            Outcome o = declined(MessageId::DefaultPathCreateAsk);
            o.focus = kIdDefaultPath;
            return o;
        }
        if (!CreateDirectoryTree(folder))
            return refused(MessageId::DefaultPathCreateFailed, kIdDefaultPath);
    }
    catalogue.DefaultPath = folder;
    save_catalogue(catalogue);
    return done(false);
}

std::vector<SettingsDisk> ListSettingsDisks(const RedAvClient& client)
{
    std::vector<SettingsDisk> disks;
    WCHAR roots[256] = {};
    DWORD length = GetLogicalDriveStringsW(256, roots);
    if (length == 0 || length > 256)
        return disks;
    for (const WCHAR* root = roots; *root; root += std::char_traits<char16_t>::length(root) + 1) {
        if (GetDriveTypeW(root) != DRIVE_FIXED)
            continue;
        std::u16string device, filePath;
        LARGE_INTEGER size{};
        BYTE cdrom = 0, readOnly = 0, encrypt = 0;
        DWORD status = 0;
        // A vault's own volume looks like a local disk; it is no place for vaults.
        if (client.QueryVolume(root[0], device, filePath, size, cdrom, readOnly, encrypt, status))
            continue;
        WCHAR fileSystem[261] = {};
        if (!GetVolumeInformationW(root, nullptr, 0, nullptr, nullptr, nullptr, fileSystem, 261))
            fileSystem[0] = 0;
        disks.push_back({root[0], fileSystem, IsNtfsVolume(root[0])});
    }
    return disks;
}
