#include "api/server_settings_check.h"

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "common/ascii.h"

namespace marnu {

bool usable_server_address(std::string_view address) {
    return !address.empty() && address.front() != '-' && std::ranges::all_of(address, [](char c) {
        return ascii::is_alnum(c) || c == '.' || c == ':' || c == '-';
    });
}

bool usable_server_port(std::string_view port) {
    if (port.empty() || port.front() == '0' || !std::ranges::all_of(port, ascii::is_digit)) return false;
    // A port number is what fits in 16 bits.
    std::uint16_t value = 0;
    return std::from_chars(port.data(), port.data() + port.size(), value).ec == std::errc();
}

bool usable_server_protocol(std::string_view protocol) {
    return !protocol.empty() && std::ranges::all_of(protocol, [](char c) { return ascii::is_alnum(c) || c == '-'; });
}

bool usable_server_settings(std::string_view address, std::string_view port, std::string_view protocol) {
    return usable_server_address(address) && usable_server_port(port) && usable_server_protocol(protocol);
}

}  // namespace marnu
