// reset_firewall(): puts the saved firewall configuration back and leaves
// OpenVPN and CONNECTED alone.
#include "module/console.h"
#include "module/operations.h"
#include "tunnel_control/host_commands.h"
#include "tunnel_control/tunnel_state.h"

namespace marnu::ops {

py::object reset_firewall() {
    const TunnelState before = tunnel_state();
    run_console_command(kResetFirewallCommand);
    if (!teardown_ran(Teardown::reset, before, state_after(Teardown::reset, before, {})))
        console::print(kNothingChangedFirewall);
    return py::none();
}

}  // namespace marnu::ops
