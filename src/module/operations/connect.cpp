// connect(server, password): puts the new firewall configuration in place
// and starts OpenVPN, installing it first or stopping the running tunnel.
#include "module/console.h"
#include "module/operations.h"
#include "tunnel_control/connection_command.h"
#include "tunnel_control/host_commands.h"
#include "tunnel_control/launch_step.h"
#include "tunnel_control/openvpn_management.h"
#include "tunnel_control/openvpn_process.h"
#include "tunnel_control/password_handover.h"
#include "tunnel_control/tunnel_watch.h"

namespace marnu::ops {

py::object connect(py::object server, py::object password) {
    const std::string password_text = text_argument(password, "password");
    const std::string profile = text_argument(module_value("OVPN_CONFIG_FILE"), "OVPN_CONFIG_FILE");
    const LaunchStep step = launch_step(openvpn_installed(), module_flag("CONNECTED") || openvpn_running());
    remove_stale_handovers();
    // Made first: a password that cannot be handed over fails before
    // anything runs. It is offered until this Connect is over, then removed.
    const PasswordHandover handover(password_text);
    const std::string command = connection_command(step, profile, handover.path(), client_user_name());

    if (step == LaunchStep::install_openvpn) {
        console::print("[-] OpenVPN is not installed.");
        console::print("[+] OpenVPN will be installed using apt... this will take a while\n");
        run_console_command(kAptUpdateCommand);
    } else if (step == LaunchStep::stop_running_openvpn) {
        console::print("[+] Disconnecting from current VPN server.");
        expect_tunnel_ends();
    }
    call_operation("execute_connection_command", command, server);
    return py::none();
}

}  // namespace marnu::ops
