#include "vault_catalogue.h"

#include <algorithm>

#include "common/text_compare.h"
#include "xml_store.h"

VaultCatalogue g_VaultCatalogue;

VaultCatalogue::VaultCatalogue() = default;

std::vector<VaultRecord>::iterator VaultCatalogue::find(const std::u16string& name)
{
    return std::find_if(vaults_.begin(), vaults_.end(),
                        [&](const VaultRecord& r) { return EqualsNoCase(r.Name, name); });
}

std::vector<VaultRecord>::const_iterator VaultCatalogue::find(const std::u16string& name) const
{
    return std::find_if(vaults_.begin(), vaults_.end(),
                        [&](const VaultRecord& r) { return EqualsNoCase(r.Name, name); });
}

bool VaultCatalogue::FindByName(const std::u16string& name, VaultRecord& out) const
{
    auto it = find(name);
    if (it == vaults_.end())
        return false;
    out = *it;
    return true;
}

bool VaultCatalogue::ContainsPath(const std::u16string& path) const
{
    return std::any_of(vaults_.begin(), vaults_.end(),
                       [&](const VaultRecord& r) { return EqualsNoCase(r.Path, path); });
}

bool VaultCatalogue::SetLetter(const std::u16string& name, char16_t letter)
{
    auto it = find(name);
    if (it == vaults_.end())
        return false;
    it->Letter = letter;
    return true;
}

bool VaultCatalogue::UpdateProperties(const std::u16string& name, int32_t autoassign,
                                      char16_t letter, int32_t loadtype,
                                      const std::u16string& description)
{
    auto it = find(name);
    if (it == vaults_.end())
        return false;
    it->autoassign = autoassign;
    it->Letter = letter;
    it->loadtype = loadtype;
    it->Description = description;
    return true;
}

bool VaultCatalogue::AddVault(const std::u16string& name, const std::u16string& path,
                              int32_t autoassign, char16_t letter, int32_t loadtype,
                              const std::u16string& description)
{
    if (find(name) != vaults_.end())
        return false;
    VaultRecord r;
    r.Name = name;
    r.Path = path;
    r.autoassign = autoassign;
    r.Letter = letter;
    r.loadtype = loadtype;
    r.Description = description;
    vaults_.push_back(std::move(r));
    return true;
}

bool VaultCatalogue::RemoveVault(const std::u16string& name)
{
    auto it = find(name);
    if (it == vaults_.end())
        return false;
    vaults_.erase(it);
    return true;
}

bool VaultCatalogue::LoadConfig(const std::u16string& file)
{
    X doc(true);
    if (!doc.Load(file))
        return false;

    // Built aside and swapped in, so that running out of memory half way leaves the catalogue
    // as it was.
    std::vector<VaultRecord> loaded;
    X list = doc.GetChild(u"LockbinList");
    if (list.IsValid()) {
        for (X item = list.GetChild(u"Lockbin"); item.IsValid(); item.NextSibling()) {
            VaultRecord r;
            r.Name = item.GetChild(u"Name").GetText();
            r.Path = item.GetChild(u"Path").GetText();
            r.Description = item.GetChild(u"Description").GetText();
            r.loadtype = item.GetAttribute(u"loadtype").GetInt();
            X letter = item.GetChild(u"Letter");
            const std::u16string letterText = letter.GetText();
            if (!letterText.empty())
                r.Letter = letterText[0];
            r.autoassign = letter.GetAttribute(u"autoassign").GetInt();
            X password = item.GetChild(u"Password");
            r.remember = password.GetAttribute(u"remember").GetInt();
            r.Password = password.GetText();
            loaded.push_back(std::move(r));
        }
    }
    X config = doc.GetChild(u"Config");

    std::lock_guard<std::mutex> guard(lock_);
    vaults_.swap(loaded);
    fmtver = doc.GetAttribute(u"fmtver").GetInt();
    if (config.IsValid()) {
        NotRemind = config.GetChild(u"NotRemind").GetInt();
        DefaultPath = config.GetChild(u"DefaultPath").GetText();
    }
    return true;
}

bool VaultCatalogue::SaveConfig(const std::u16string& file)
{
    X doc(true);
    doc.Rename(u"update");
    {
        std::lock_guard<std::mutex> guard(lock_);
        doc.AddAttribute(u"fmtver").SetInt(fmtver);
        X config = doc.AddChild(u"Config");
        if (config.IsValid()) {
            config.AddChild(u"NotRemind").SetInt(NotRemind);
            config.AddChild(u"DefaultPath").SetText(DefaultPath);
        }
        X list = doc.AddChild(u"LockbinList");
        if (list.IsValid()) {
            for (const VaultRecord& r : vaults_) {
                X item = list.AddChild(u"Lockbin");
                item.AddChild(u"Name").SetText(r.Name);
                item.AddChild(u"Path").SetText(r.Path);
                item.AddChild(u"Description").SetText(r.Description);
                item.AddAttribute(u"loadtype").SetInt(r.loadtype);
                X letter = item.AddChild(u"Letter");
                letter.SetText(r.Letter != 0 ? std::u16string(1, r.Letter) : std::u16string());
                letter.AddAttribute(u"autoassign").SetInt(r.autoassign);
                X password = item.AddChild(u"Password");
                password.SetText(r.Password);
                password.AddAttribute(u"remember").SetInt(r.remember);
            }
        }
    }
    return doc.Save(file, true, true);
}
