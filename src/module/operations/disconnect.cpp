// disconnect(): stops OpenVPN and puts the saved firewall configuration back.
#include "module/console.h"
#include "module/operations.h"
#include "tunnel_control/host_commands.h"

namespace marnu::ops {

py::object disconnect() {
    if (!module_flag("CONNECTED")) {
        console::print("\n[-] You are not connected to a VPN server.");
        return py::none();
    }
    // Whatever became of the steps, the tunnel is no longer ours.
    run_console_command(kDisconnectCommand);
    set_module_flag("CONNECTED", false);
    return py::none();
}

}  // namespace marnu::ops
