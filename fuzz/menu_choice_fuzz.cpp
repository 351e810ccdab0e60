// Menu-line parsing: a line is accepted exactly when it is made of ASCII
// digits only and its value lies in 1..choices, and then the value is the one
// returned. Input: 8 bytes of `choices` (little endian), then the line.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "client/menu_choice.h"
#include "fuzz_check.h"

namespace {

bool all_digits(std::string_view line) {
    for (const char c : line)
        if (c < '0' || c > '9') return false;
    return !line.empty();
}

// Compares two decimal numbers written without leading zeros, of any length.
int compare_decimal(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b) < 0 ? -1 : a.compare(b) > 0 ? 1 : 0;
}

// The number a line of digits stands for, without leading zeros ("" for 0).
std::string_view significant_digits(std::string_view line) {
    const size_t first = line.find_first_not_of('0');
    return first == std::string_view::npos ? std::string_view() : line.substr(first);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < sizeof(std::int64_t)) return 0;
    std::uint64_t raw = 0;
    for (size_t i = 0; i < sizeof raw; ++i) raw |= std::uint64_t{data[i]} << (8 * i);
    const auto choices = static_cast<long long>(raw);
    const std::string_view line(reinterpret_cast<const char*>(data) + sizeof raw, size - sizeof raw);

    const auto parsed = marnu::parse_menu_choice(line, choices);

    const std::string_view value = significant_digits(line);
    const bool expected = all_digits(line) && !value.empty() && choices >= 1 &&
                          compare_decimal(value, std::to_string(choices)) <= 0;
    FUZZ_CHECK(parsed.has_value() == expected);
    if (parsed) FUZZ_CHECK(std::to_string(*parsed) == value);
    return 0;
}
