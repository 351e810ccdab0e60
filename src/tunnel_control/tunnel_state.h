// What the host shows of a tunnel, whichever run of the client started it.
// The client reads it when it starts, and around Disconnect and Reset, whose
// root commands tell it nothing (sudo may refuse to run them at all).
#pragma once

#include <string_view>

#include "common/interrupt.h"

namespace marnu {

struct TunnelState {
    bool openvpn_running = false;
    // The live ferm.conf is the client's rewrite, confining Tor to the tunnel.
    bool firewall_switched = false;
    // The saved copy of the live configuration is in /tmp.
    bool firewall_saved = false;
    // A live ferm.conf exists (on Tails, always).
    bool firewall_present = false;
};

TunnelState tunnel_state();

// What a client that starts finds of an earlier run: the line that says so
// (empty when there is nothing to say), and whether the client counts as
// connected, so that Disconnect (2) is offered.
struct LeftBehind {
    std::string_view notice;
    bool connected = false;
};
LeftBehind left_behind(const TunnelState& state);

enum class Teardown { disconnect, reset };

// The state once a Disconnect's or Reset's root command has ended; an
// OpenVPN that Disconnect stopped is given a few seconds to exit.
TunnelState state_after(Teardown teardown, const TunnelState& before, const InterruptCheck& interrupted);

// Whether the root command ran, judged by what it changes whenever it runs:
// it moves the saved copy away, and Disconnect stops OpenVPN.
bool teardown_ran(Teardown teardown, const TunnelState& before, const TunnelState& after);

// The line for a root command that did not run, by what stays as it was.
inline constexpr std::string_view kNothingChangedTunnelUp =
    "[-] Nothing was changed: the administration password was not accepted. The VPN connection is still up.";
inline constexpr std::string_view kNothingChangedFirewall =
    "[-] Nothing was changed: the administration password was not accepted. Tails' firewall was not put back.";
// What Quit says of a tunnel it could not stop.
inline constexpr std::string_view kTunnelStaysUp =
    "[*] The VPN connection stays up: start the client again and choose 2 to disconnect.";

}  // namespace marnu
