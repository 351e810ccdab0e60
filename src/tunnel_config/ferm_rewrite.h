// The rewrite of the host's ferm configuration for one VPN server: OpenVPN
// (root) may reach that server, and Tor's own traffic may leave only
// through the tunnel.
#pragma once

#include <string>
#include <string_view>

namespace marnu {

// The rule line that lets root send to the server, without its line end.
std::string server_rule(std::string_view ip, std::string_view protocol, std::string_view port);

// Inserts `rule` on a line of its own after every " Local resources"
// (Tails up to 2021 writes "local resources", so the letters' case does not
// matter), confines every "mod owner uid-owner debian-tor" to tun0, and
// opens the first OUTPUT chain with a rule that keeps Tor's packets, those
// of established connections too, from leaving outside tun0 but for this
// host and its local networks. Everything else is carried over byte for byte.
std::string rewrite_ferm_config(std::string_view config, std::string_view rule);

// Whether `config` is such a rewrite: Tor's traffic may leave only through tun0.
bool confines_tor_to_tunnel(std::string_view config);

}  // namespace marnu
