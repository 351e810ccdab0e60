// reset_firewall(): puts the saved firewall configuration back and leaves
// OpenVPN and CONNECTED alone.
#include "module/operations.h"
#include "tunnel_control/host_commands.h"

namespace marnu::ops {

py::object reset_firewall() {
    run_console_command(kResetFirewallCommand);
    return py::none();
}

}  // namespace marnu::ops
