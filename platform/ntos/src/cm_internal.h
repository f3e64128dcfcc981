// The registry store on disk, below the state folder:
//   <state>/registry/machine/k_<name>/k_<name>/...   one folder per key
//   .../v_<name>                                      one file per value
// Names are folded to upper case before they are encoded, so lookups ignore letter case as the
// registry does. A value file holds "LBRV", the type (32-bit little-endian), the name's byte
// length, the name as first written (UTF-16LE) and the data. Writes go to a temporary file that
// is renamed over the old one, so a value is either the old or the new one after a crash.
#pragma once

#include <ntifs.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ntos::detail {

struct cm_value {
    ULONG type = 0;
    std::u16string name; // as the writer spelt it
    std::vector<uint8_t> data;
};

// Largest value the store takes; bigger ones fail with STATUS_INSUFFICIENT_RESOURCES.
inline constexpr size_t cm_max_value_data = 16u << 20;
// Longest key name component and value name, in characters, as the registry limits them.
inline constexpr size_t cm_max_key_name = 255;
inline constexpr size_t cm_max_value_name = 16383;

// Called at layer start: removes the volatile keys of the previous run and makes sure the
// machine root and its SYSTEM, SOFTWARE and HARDWARE keys exist.
void cm_start();

// Upper-case folding of a name: the namespace's fold, as the platform matches key names.
std::u16string cm_fold(std::u16string_view name);
// Host file-name form of a folded name, with its prefix ("k_" or "v_"); long names become a
// hash, with the real name kept inside the value file.
std::string cm_encode_name(const char* prefix, std::u16string_view folded);

// <state>/registry/machine, created on demand.
std::string cm_machine_folder();

// Splits a path relative to a key into its components. Empty components (a doubled, leading
// or trailing backslash) give STATUS_OBJECT_NAME_INVALID, as do over-long components.
NTSTATUS cm_split(std::u16string_view relative, std::vector<std::u16string>* components);

// Host folder of a key below base_folder, following the components (no existence check).
std::string cm_child_folder(const std::string& base_folder,
                            const std::vector<std::u16string>& components);

// Values of the key in key_folder. STATUS_OBJECT_NAME_NOT_FOUND when the value does not exist,
// STATUS_KEY_DELETED when the key folder has gone.
NTSTATUS cm_read_value(const std::string& key_folder, std::u16string_view name, cm_value* value);
NTSTATUS cm_write_value(const std::string& key_folder, const cm_value& value);
NTSTATUS cm_delete_value(const std::string& key_folder, std::u16string_view name);
// All values of a key, ordered by folded name.
NTSTATUS cm_list_values(const std::string& key_folder, std::vector<cm_value>* values);

} // namespace ntos::detail
