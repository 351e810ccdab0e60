// Checks of the server settings that the provider sends. They end up in
// root's OpenVPN profile and firewall configuration, so anything beyond the
// plain characters of their kind (a line break, ferm syntax) is refused.
#pragma once

#include <string_view>

namespace marnu {

// A host name or IP address: letters, digits, ".", ":" and "-", not empty
// and not beginning with "-".
bool usable_server_address(std::string_view address);
// A port number from 1 to 65535 in decimal digits, without leading zeros.
bool usable_server_port(std::string_view port);
// A protocol name: letters, digits and "-", not empty.
bool usable_server_protocol(std::string_view protocol);
// All three of a server record.
bool usable_server_settings(std::string_view address, std::string_view port, std::string_view protocol);

}  // namespace marnu
