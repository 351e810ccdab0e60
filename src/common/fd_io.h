// Whole-file reads and writes on a descriptor, retrying interrupted calls.
#pragma once

#include <string>
#include <string_view>

namespace marnu {

// Writes all of `data`; OsFailure naming `path` on error.
void write_all(int fd, std::string_view data, const std::string& path);
// Reads to the end; OsFailure naming `path` on error.
std::string read_all(int fd, const std::string& path);

}  // namespace marnu
