// The root command line that switches the firewall and runs OpenVPN.
#pragma once

#include <string>
#include <string_view>

#include "tunnel_control/launch_step.h"

namespace marnu {

// "sudo bash -c '...'": the optional step, the move of /tmp/ferm.conf over
// the live configuration, the ferm restart, Tor's restart (its failure does
// not stop the rest), and OpenVPN with `profile`, the password read from
// `askpass` (see password_handover.h) and its management socket open to
// `management_user` (see openvpn_management.h). The line holds no secret:
// sudo logs it, and every local user can read it in /proc while it runs.
// InvalidValue for a path or name with a character the shells would read.
std::string connection_command(LaunchStep step, std::string_view profile, std::string_view askpass,
                               std::string_view management_user);

}  // namespace marnu
