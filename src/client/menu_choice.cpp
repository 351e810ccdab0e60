#include "client/menu_choice.h"

namespace marnu {

std::optional<long long> parse_menu_choice(std::string_view line, long long choices) {
    if (line.empty()) return std::nullopt;
    for (const char c : line)
        if (c < '0' || c > '9') return std::nullopt;
    const size_t first = line.find_first_not_of('0');
    if (first == std::string_view::npos) return std::nullopt;  // the value 0
    const std::string_view digits = line.substr(first);
    // 19 digits always fit an unsigned 64-bit value; anything longer exceeds every choice.
    if (digits.size() > 19 || choices < 1) return std::nullopt;
    unsigned long long value = 0;
    for (const char c : digits) value = value * 10 + static_cast<unsigned>(c - '0');
    if (value > static_cast<unsigned long long>(choices)) return std::nullopt;
    return static_cast<long long>(value);
}

}  // namespace marnu
