// The OpenVPN client profile: a fixed text with the server and the account
// filled in.
#pragma once

#include <string>
#include <string_view>

namespace marnu {

// The whole profile. `lowercase_username` names the account's certificate
// and key files and must already be lower-cased; the other values are
// inserted verbatim.
std::string ovpn_profile(std::string_view ip, std::string_view protocol, std::string_view port,
                         std::string_view lowercase_username);

}  // namespace marnu
