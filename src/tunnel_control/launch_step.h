// What a Connect does before it switches the firewall and starts OpenVPN.
#pragma once

namespace marnu {

enum class LaunchStep {
    none,
    install_openvpn,       // OpenVPN is missing
    stop_running_openvpn,  // a tunnel is up, or an OpenVPN runs
};

// Whether OpenVPN is where Debian's package installs it.
bool openvpn_installed();

// Installing OpenVPN comes first when it is missing; otherwise a tunnel that
// is up, or any OpenVPN that runs (one of an earlier run, say), is stopped:
// there is never more than one tunnel.
LaunchStep launch_step(bool openvpn_installed, bool connected_or_running);

}  // namespace marnu
