// Opening and closing vaults.
#include "operation_outcomes.h"
#include "vault_key.h"
#include "vault_state.h"

#include "common/text_format.h"
#include "drive_holders.h"
#include "fileapi.h"

using namespace ops_detail;

namespace ops_detail {

bool on_fixed_disk(const std::u16string& path)
{
    std::u16string root = path.substr(0, 3);
    return GetDriveTypeW(root.c_str()) == DRIVE_FIXED;
}

void save_catalogue(VaultCatalogue& catalogue)
{
    catalogue.SaveConfig(kConfigFileName);
}

} // namespace ops_detail

Outcome CheckOpenPassword(const std::u16string& password)
{
    if (password.empty())
        return refused(MessageId::OpenPasswordEmpty, kIdOpenPassword);
    return done(false);
}

Outcome OpenVault(VaultCatalogue& catalogue, const RedAvClient& client, const std::u16string& name,
                  const PasswordFn& askPassword)
{
    VaultRecord vault;
    if (!catalogue.FindByName(name, vault))
        return stopped(StopReason::NotFound);
    if (IsVaultMounted(client, vault))
        return done(false, vault.Letter);

    std::optional<std::u16string> password = askPassword ? askPassword(vault) : std::nullopt;
    if (!password)
        return stopped(StopReason::Cancelled);
    if (Outcome check = CheckOpenPassword(*password); check.result != OpResult::Done)
        return check;

    VaultKey key;
    DWORD keyLength = 0;
    if (!MakeVaultKey(*password, key, keyLength))
        return refused(MessageId::KeyDerivationFailed);

    WCHAR letter = 0;
    if (vault.autoassign == 1) {
        if (vault.Letter != 0 && client.IsLetterFree(vault.Letter))
            letter = vault.Letter;
        else
            letter = client.FindFreeLetter(true);
        if (letter == 0)
            return refused(MessageId::NoFreeLetter);
    } else {
        if (vault.Letter == 0 || !client.IsLetterFree(vault.Letter))
            return refused(MessageId::TargetLetterTaken);
        letter = vault.Letter;
    }

    if (!client.MountExistDisk(letter, vault.Path, false, true, key.data(), keyLength, true))
        return refused(MessageId::OpenFailed, 0, OpResult::DriverFailed);

    if (letter != vault.Letter) {
        catalogue.SetLetter(vault.Name, letter);
        save_catalogue(catalogue);
    }
    return done(true, letter);
}

std::u16string DriveHoldersText(WCHAR letter)
{
    std::u16string text;
    for (const DriveHolder& h : GetDriveHolders(letter)) {
        const char16_t* how = h.how == DriveHoldKind::WorkingDirectory ? u"工作目录"
                              : h.how == DriveHoldKind::Mapping        ? u"映射文件"
                                                                       : u"打开文件";
        text += FormatText(u"%lu %ws: %ws %ws\n", h.pid, h.name.c_str(), how, h.path.c_str());
    }
    if (!text.empty())
        text = u"正在使用该盘的进程:\n" + text;
    return text;
}

Outcome CloseVault(VaultCatalogue& catalogue, const RedAvClient& client, const std::u16string& name,
                   const AskFn& ask)
{
    VaultRecord vault;
    if (!catalogue.FindByName(name, vault))
        return stopped(StopReason::NotFound);
    // The list offers closing only for an open vault; a letter that another volume holds now is
    // not this vault's to dismount.
    if (!IsVaultMounted(client, vault))
        return stopped(StopReason::NotMounted);
    const WCHAR letter = vault.Letter;
    if (client.DisMount(letter, false))
        return done(true, letter);

    const char narrow = char(letter);
    std::u16string question = MessageText(MessageId::ForceDismountAsk, narrow);
    if (!ask_yes(ask, MessageId::ForceDismountAsk, question, DriveHoldersText(letter)))
        return declined(MessageId::ForceDismountAsk, true);
    if (!client.DisMount(letter, true)) {
        Outcome o = refused(MessageId::ForceDismountFailed, 0, OpResult::DriverFailed);
        o.text = MessageText(MessageId::ForceDismountFailed, narrow);
        return o;
    }
    return done(true, letter);
}
