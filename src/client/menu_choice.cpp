#include "client/menu_choice.h"

#include <algorithm>
#include <charconv>

#include "common/ascii.h"

namespace marnu {

std::optional<long long> parse_menu_choice(std::string_view line, long long choices) {
    if (line.empty() || !std::ranges::all_of(line, ascii::is_digit) || choices < 1) return std::nullopt;
    // Leading zeros are read past; a value too large for 64 bits exceeds every choice.
    unsigned long long value = 0;
    if (std::from_chars(line.data(), line.data() + line.size(), value).ec != std::errc()) return std::nullopt;
    if (value < 1 || value > static_cast<unsigned long long>(choices)) return std::nullopt;
    return static_cast<long long>(value);
}

}  // namespace marnu
