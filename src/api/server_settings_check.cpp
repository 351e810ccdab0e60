#include "api/server_settings_check.h"

#include <algorithm>

namespace marnu {
namespace {

bool is_ascii_letter_or_digit(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool usable_server_address(std::string_view address) {
    return !address.empty() && address.front() != '-' && std::ranges::all_of(address, [](char c) {
        return is_ascii_letter_or_digit(c) || c == '.' || c == ':' || c == '-';
    });
}

bool usable_server_port(std::string_view port) {
    if (port.empty() || port.size() > 5 || port.front() == '0' || !std::ranges::all_of(port, is_digit)) return false;
    unsigned value = 0;
    for (const char c : port) value = value * 10 + static_cast<unsigned>(c - '0');
    return value <= 65535;
}

bool usable_server_protocol(std::string_view protocol) {
    return !protocol.empty() &&
           std::ranges::all_of(protocol, [](char c) { return is_ascii_letter_or_digit(c) || c == '-'; });
}

}  // namespace marnu
