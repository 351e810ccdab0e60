// The OpenVPN client profile: a fixed text with the server and the account
// filled in.
#pragma once

#include <string>
#include <string_view>

namespace marnu {

// The whole profile. `lowercase_username` names the account's certificate
// and key files and must already be lower-cased; the other values are
// inserted verbatim. The tunnel device does not persist across restarts of
// the connection: a restart (a network that came back, see
// tunnel_control/tunnel_health.h) opens it anew and adds the routes again,
// the one to the server through the network of the moment among them. Its
// attempts are at most 5 s apart, however long the network was away, so
// that a network that comes back is used within seconds.
std::string ovpn_profile(std::string_view ip, std::string_view protocol, std::string_view port,
                         std::string_view lowercase_username);

}  // namespace marnu
