#include "tunnel_control/tunnel_state.h"

#include <poll.h>

#include <chrono>

#include "common/host_paths.h"
#include "common/private_files.h"
#include "tunnel_config/firewall_files.h"
#include "tunnel_control/openvpn_process.h"
#include "tunnel_control/tor_blocked.h"

namespace marnu {
namespace {

// How long an OpenVPN that killall asked to stop may take to exit.
constexpr auto kOpenvpnExitTime = std::chrono::seconds(3);
constexpr int kLookAgainMs = 50;

}  // namespace

TunnelState tunnel_state() {
    return {.openvpn_running = openvpn_running(),
            .firewall_switched = live_firewall_confines_tor(),
            .firewall_saved = anything_at(kSavedFermConfig),
            .firewall_present = anything_at(kLiveFermConfig)};
}

LeftBehind left_behind(const TunnelState& state) {
    if (state.openvpn_running && state.firewall_switched)
        return {"[*] A VPN connection from an earlier run is still up: choose 2 to disconnect.", true};
    if (state.firewall_switched) return {kTorBlockedChooseReset, false};
    if (state.openvpn_running && state.firewall_present)
        return {"[*] An OpenVPN connection runs outside the client's firewall, and Tor does not use it: choose 2 "
                "to stop it.",
                true};
    return {};
}

TunnelState state_after(Teardown teardown, const TunnelState& before, const InterruptCheck& interrupted) {
    TunnelState after = tunnel_state();
    // A saved copy still there means the command did not run: nothing to wait for.
    if (teardown != Teardown::disconnect || (before.firewall_saved && after.firewall_saved)) return after;
    const auto give_up_at = std::chrono::steady_clock::now() + kOpenvpnExitTime;
    while (after.openvpn_running && std::chrono::steady_clock::now() < give_up_at) {
        ::poll(nullptr, 0, kLookAgainMs);
        if (interrupted) interrupted();
        after.openvpn_running = openvpn_running();
    }
    return after;
}

bool teardown_ran(Teardown teardown, const TunnelState& before, const TunnelState& after) {
    if (before.firewall_saved) return !after.firewall_saved;
    if (teardown == Teardown::disconnect && before.openvpn_running) return !after.openvpn_running;
    return true;  // nothing it would change is there to tell
}

}  // namespace marnu
