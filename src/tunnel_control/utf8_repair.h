// Child output is read as UTF-8 text; bytes that are not valid UTF-8 are
// replaced by U+FFFD, never fatal.
#pragma once

#include <string>
#include <string_view>

namespace marnu {

// Returns `bytes` with each invalid sequence replaced by U+FFFD, one
// replacement per maximal invalid subpart, as Python's "replace" handler does.
std::string repair_utf8(std::string_view bytes);

}  // namespace marnu
