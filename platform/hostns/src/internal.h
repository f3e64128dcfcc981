// Helpers shared by the namespace's source files.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace hostns::detail {

char16_t upper(char16_t c);
bool iequal(std::u16string_view a, std::u16string_view b);
bool istarts_with(std::u16string_view text, std::u16string_view prefix);
bool is_drive_name(std::u16string_view name);
// Components between '\' or '/' separators, empty ones dropped.
std::vector<std::u16string_view> split(std::u16string_view path);
// A device name as a file name of R/volumes, and back.
std::string escape(std::u16string_view name);
std::u16string unescape(std::string_view file_name);

} // namespace hostns::detail
