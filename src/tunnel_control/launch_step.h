// What a Connect does before it switches the firewall and starts OpenVPN.
#pragma once

namespace marnu {

enum class LaunchStep {
    none,
    install_openvpn,       // OpenVPN is missing
    stop_running_openvpn,  // a tunnel is up
};

// Whether OpenVPN is where Debian's package installs it.
bool openvpn_installed();

// Installing OpenVPN comes first when it is missing; otherwise a tunnel that
// is up is stopped.
LaunchStep launch_step(bool openvpn_installed, bool connected);

}  // namespace marnu
