// Helpers shared by the namespace's source files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace hostns::detail {

// The generated upper-casing table (upcase_table.cpp), sorted by lower.
struct upcase_pair {
    char16_t lower;
    char16_t upper;
};
extern const upcase_pair upcase_pairs[];
extern const size_t upcase_pair_count;

bool is_drive_name(std::u16string_view name);
// Components between '\' or '/' separators, empty ones dropped.
std::vector<std::u16string_view> split(std::u16string_view path);
// A device name as a file name of R/volumes, and back.
std::string escape(std::u16string_view name);
std::u16string unescape(std::string_view file_name);

} // namespace hostns::detail
