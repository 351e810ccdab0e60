// Parsing of one typed menu line, free of any console I/O.
#pragma once

#include <optional>
#include <string_view>

namespace marnu {

// The chosen number when `line` is made only of ASCII digits (at least one)
// and its value lies in 1..choices; nothing otherwise. Lines of any length
// are handled: a value too large for any integer is simply out of range.
std::optional<long long> parse_menu_choice(std::string_view line, long long choices);

}  // namespace marnu
