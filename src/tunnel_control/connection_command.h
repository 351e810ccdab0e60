// The root command line that switches the firewall and runs OpenVPN.
#pragma once

#include <string>
#include <string_view>

#include "tunnel_control/launch_step.h"

namespace marnu {

// "sudo bash -c '...'": the optional step, the move of /tmp/ferm.conf over
// the live configuration, the ferm restart, and OpenVPN with `profile` and
// an askpass file that holds exactly `password` and a newline.
//
// A password of ASCII letters, digits and _ . , + @ % = : / - that does not
// begin with "-" stands literally in `echo '...'`. Any other one would be
// read by the shell (or by echo as an option), so it is printed by printf
// from a quoted argument instead. InvalidValue for a password with a NUL
// character, which no command line can carry.
std::string connection_command(LaunchStep step, std::string_view profile, std::string_view password);

}  // namespace marnu
