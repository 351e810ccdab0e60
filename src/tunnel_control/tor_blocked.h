// Whether Tor is cut off: the live firewall confines it to a tunnel that
// no OpenVPN holds up.
#pragma once

#include <string_view>

namespace marnu {

// How the user gets Tor back, after a Connect that failed and when the
// client has to end.
inline constexpr std::string_view kTorBlockedChooseReset = "[*] Tor is blocked: choose 3 to put Tails' firewall back.";
inline constexpr std::string_view kTorBlockedRestartAndReset =
    "[*] Tor is blocked: start the client again and choose 3 to put Tails' firewall back.";

// True when /etc/ferm/ferm.conf is the client's rewrite (Tor only through
// tun0) and no OpenVPN runs. Reset firewall settings (3) gets Tor back.
bool tor_blocked_without_tunnel();

}  // namespace marnu
