// The properties of a closed vault, and the drive-letter list the dialogs share.
#include "operation_outcomes.h"
#include "vault_state.h"

#include "common/text_compare.h"

using namespace ops_detail;

std::vector<LetterItem> LetterListItems(const RedAvClient& client)
{
    std::vector<LetterItem> items{{kAutoLetterItem, 0}};
    for (WCHAR letter : client.GetFreeLetters())
        items.push_back({std::u16string(1, letter), letter});
    return items;
}

Outcome LoadVaultProperties(const VaultCatalogue& catalogue, const RedAvClient& client,
                            const std::u16string& name, PropertiesView& view)
{
    VaultRecord vault;
    if (!catalogue.FindByName(name, vault))
        return stopped(StopReason::NotFound);
    if (IsVaultMounted(client, vault))
        return stopped(StopReason::Mounted);
    view.vault = vault;
    view.letters = LetterListItems(client);
    view.selectedLetter = -1;
    if (vault.autoassign != 0) {
        view.selectedLetter = 0;
    } else {
        const char16_t stored[2] = {vault.Letter, 0};
        for (size_t i = 1; i < view.letters.size(); ++i)
            if (vault.Letter != 0 && EqualsNoCase(view.letters[i].text.c_str(), stored))
                view.selectedLetter = int(i);
    }
    return done(false);
}

Outcome UpdateVaultProperties(VaultCatalogue& catalogue, const RedAvClient& client,
                              const PropertiesInput& input)
{
    VaultRecord vault;
    if (!catalogue.FindByName(input.name, vault))
        return stopped(StopReason::NotFound);
    // A new letter for an open vault would hide it from the list's open state.
    if (IsVaultMounted(client, vault))
        return stopped(StopReason::Mounted);
    int32_t autoassign = vault.autoassign;
    WCHAR letter = vault.Letter;
    const int data = input.letterData;
    if (data == 0) {
        autoassign = 1;
    } else if ((data >= u'D' && data <= u'Z') || (data >= u'd' && data <= u'z')) {
        autoassign = 0;
        letter = WCHAR(data);
    }
    // No item selected (or no letter): the vault keeps its policy, so the file stays readable.
    catalogue.UpdateProperties(vault.Name, autoassign, letter, input.loadtype, input.description);
    save_catalogue(catalogue);
    return done();
}
