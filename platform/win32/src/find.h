// File searches (FindFirstFileW) and the attributes the layer reports for host files.
#pragma once

#include "handle_table.h"
#include "minwinbase.h"

#include <sys/stat.h>

#include <vector>

namespace win32::detail {

// A search's results, taken when the search starts.
class SearchObject : public HandleObject {
public:
    explicit SearchObject(std::vector<WIN32_FIND_DATAW> entries) : entries_(std::move(entries)) {}
    // False when every entry has been handed out.
    bool next(WIN32_FIND_DATAW* out);

private:
    std::vector<WIN32_FIND_DATAW> entries_;
    size_t position_ = 0;
};

// FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_READONLY for a file its owner may not write, else
// FILE_ATTRIBUTE_NORMAL.
DWORD file_attributes(const struct stat& st);

// Windows wildcard match of a name ('*', '?', "*.*" for any name), ignoring letter case.
bool wildcard_match(std::u16string_view pattern, std::u16string_view name);

} // namespace win32::detail
