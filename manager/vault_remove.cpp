// Deleting (forgetting) and destroying vaults.
#include "operation_outcomes.h"
#include "vault_state.h"

#include "fileapi.h"

using namespace ops_detail;

namespace {

// The list offers both commands only for a closed vault. An open vault removed from the list
// could no longer be closed from it, and destroying one would delete the file under its volume.
bool is_open(const VaultCatalogue& catalogue, const RedAvClient& client, const std::u16string& name)
{
    VaultRecord vault;
    return catalogue.FindByName(name, vault) && IsVaultMounted(client, vault);
}

} // namespace

Outcome DeleteVault(VaultCatalogue& catalogue, const RedAvClient& client,
                    const std::u16string& name, const AskFn& ask)
{
    if (is_open(catalogue, client, name))
        return stopped(StopReason::Mounted);
    if (!ask_yes(ask, MessageId::DeleteAsk, MessageText(MessageId::DeleteAsk, name.c_str())))
        return declined(MessageId::DeleteAsk);
    catalogue.RemoveVault(name);
    save_catalogue(catalogue);
    return done();
}

Outcome DestroyVault(VaultCatalogue& catalogue, const RedAvClient& client,
                     const std::u16string& name, const AskFn& ask)
{
    VaultRecord vault;
    if (!catalogue.FindByName(name, vault))
        return stopped(StopReason::NotFound);
    if (IsVaultMounted(client, vault))
        return stopped(StopReason::Mounted);
    if (!ask_yes(ask, MessageId::DestroyAsk, MessageText(MessageId::DestroyAsk, name.c_str())))
        return declined(MessageId::DestroyAsk);
    if (!ask_yes(ask, MessageId::DestroyAskAgain,
                 MessageText(MessageId::DestroyAskAgain, name.c_str())))
        return declined(MessageId::DestroyAskAgain);
    // Forget first: a failed deletion must never leave a record of a deleted container.
    catalogue.RemoveVault(name);
    save_catalogue(catalogue);
    DeleteFileW(vault.Path.c_str());
    return done();
}
