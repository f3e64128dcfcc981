// The manager's catalogue of vaults and its configuration file "Lockbin.xml". The in-memory
// catalogue is the authority: callers change it first and then rewrite the whole file.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <mutex>
#include <string>
#include <vector>

// One catalogued vault, as the user chose it. Whether it is mounted is never stored here.
struct VaultRecord {
    std::u16string Name;     // the key, compared without regard to letter case
    std::u16string Path;     // full path of the container file
    int32_t autoassign = 0;  // 1: letter chosen at open time, Letter preferred; 0: Letter is fixed
    char16_t Letter = 0;     // 'D' to 'Z' as the dialogs choose it; 0 for none
    int32_t remember = 0;    // carried through load and save, read by nothing
    std::u16string Password; // carried through load and save, read by nothing
    int32_t loadtype = 0;    // 0 automatic, 1 manual: the index in the dialogs' load-mode list
    std::u16string Description; // free text, may hold "\r\n"
};

// Every lookup by name finds the first record, in list order, whose Name equals the given one
// ignoring letter case. Only LoadConfig and SaveConfig take the lock; the other operations are
// meant for the user-interface thread alone.
class VaultCatalogue {
public:
    VaultCatalogue();
    VaultCatalogue(const VaultCatalogue&) = delete;
    VaultCatalogue& operator=(const VaultCatalogue&) = delete;

    // A full copy of the record into out; false, with out untouched, when there is none.
    bool FindByName(const std::u16string& name, VaultRecord& out) const;
    // True when some record's Path equals path, ignoring letter case.
    bool ContainsPath(const std::u16string& path) const;
    bool SetLetter(const std::u16string& name, char16_t letter);
    // Sets autoassign, Letter, loadtype and Description of the record; false when there is none.
    bool UpdateProperties(const std::u16string& name, int32_t autoassign, char16_t letter,
                          int32_t loadtype, const std::u16string& description);
    // Appends a record with an empty Password and remember 0; false, changing nothing, when a
    // record of that name exists. The catalogue sets no limit on the number of records.
    bool AddVault(const std::u16string& name, const std::u16string& path, int32_t autoassign,
                  char16_t letter, int32_t loadtype, const std::u16string& description);
    // Erases the first record of that name only.
    bool RemoveVault(const std::u16string& name);

    size_t GetCount() const { return vaults_.size(); }
    // The records in list order (file order, additions at the end).
    std::vector<VaultRecord>::const_iterator begin() const { return vaults_.begin(); }
    std::vector<VaultRecord>::const_iterator end() const { return vaults_.end(); }

    // Fills the catalogue from the file, leniently: elements and attributes are optional, a
    // missing text reads as empty and a missing or non-numeric integer as 0, and no value is
    // validated. False, with the catalogue unchanged, when the file cannot be read or parsed.
    bool LoadConfig(const std::u16string& file);
    // Rewrites the whole file (UTF-8 with byte order mark, indented). False when it could not be
    // written; the file is then as it was before.
    bool SaveConfig(const std::u16string& file);

    int32_t fmtver = 1;         // format version; what the file holds after a load (0 when absent)
    int32_t NotRemind = 0;      // read from and written back to the file, used by nothing else
    std::u16string DefaultPath; // folder proposed for new vaults

private:
    std::vector<VaultRecord>::iterator find(const std::u16string& name);
    std::vector<VaultRecord>::const_iterator find(const std::u16string& name) const;

    std::mutex lock_;
    std::vector<VaultRecord> vaults_;
};

// The program's single catalogue, alive from before main until after it.
extern VaultCatalogue g_VaultCatalogue;

// The configuration file's name, resolved against the current directory at each load and save.
inline constexpr char16_t kConfigFileName[] = u"Lockbin.xml";
