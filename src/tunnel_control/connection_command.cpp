#include "tunnel_control/connection_command.h"

#include <algorithm>

#include "common/ascii.h"
#include "common/errors.h"
#include "common/fixed_text.h"
#include "common/host_paths.h"
#include "tunnel_control/host_commands.h"

namespace marnu {
namespace {

// Tor is restarted once its confinement is loaded, so that it drops the
// connections it opened before, around the tunnel, and opens new ones through
// it. On Tails, NetworkManager's dispatcher restarts Tor as soon as tun0 is
// up, the first moment Tor can use it: there Tor is only stopped here, and
// that restart starts it. (Restarted here as well, Tor started twice in a
// row: the second start killed Tails' wait for the first, and a Connect,
// Disconnect and Connect again reached systemd's start limit.) OpenVPN
// starts whatever becomes of this step.
constexpr auto& kFirewallSwitchAndOpenvpn =
    join<"mv -f ", kRewrittenFermConfig, " ", kLiveFermConfig, " && /etc/init.d/ferm restart && (",
         kTorStartLimitReset, "; if [ -x ", kDispatcherTorRestart,
         " ]; then /etc/init.d/tor stop; else /etc/init.d/tor restart; fi || true) && openvpn --config ">;

std::string_view first_step(LaunchStep step) {
    switch (step) {
        case LaunchStep::install_openvpn:
            return "apt-get -qq install openvpn 2> /dev/null && ";
        case LaunchStep::stop_running_openvpn:
            // Waits until the old OpenVPN has ended, so that its tunnel
            // device is free for the new one, which Tor's rule names.
            return "killall -w openvpn && ";
        case LaunchStep::none:
            break;
    }
    return "";
}

bool plain_character(char c) { return ascii::is_alnum(c) || c == '.' || c == '_' || c == '-'; }

// A path stands unquoted in both shells' view of the line.
bool plain_path(std::string_view path) {
    return path.starts_with('/') &&
           std::all_of(path.begin(), path.end(), [](char c) { return plain_character(c) || c == '/'; });
}

// So does a user name, which may not pass for an option either.
bool plain_name(std::string_view name) {
    return !name.empty() && !name.starts_with('-') && std::all_of(name.begin(), name.end(), plain_character);
}

}  // namespace

std::string connection_command(LaunchStep step, std::string_view profile, std::string_view askpass,
                               std::string_view management_user) {
    for (const std::string_view path : {profile, askpass})
        if (!plain_path(path))
            throw InvalidValue("The path '" + std::string(path) + "' cannot stand in the root command line");
    if (!plain_name(management_user))
        throw InvalidValue("The user name '" + std::string(management_user) +
                           "' cannot stand in the root command line");
    std::string script(first_step(step));
    script += kFirewallSwitchAndOpenvpn;
    script += profile;
    script += " --askpass ";
    script += askpass;
    // The client's user follows OpenVPN's state there and may ask it to
    // restart its connection; no other user may (OpenVPN checks who connects).
    script += " --management ";
    script += kOpenvpnManagementSocket;
    script += " unix --management-client-user ";
    script += management_user;
    return "sudo bash -c '" + script + "'";
}

}  // namespace marnu
