// disconnect(): stops OpenVPN and puts the saved firewall configuration back.
#include "module/console.h"
#include "module/operations.h"
#include "tunnel_control/host_commands.h"
#include "tunnel_control/tor_blocked.h"
#include "tunnel_control/tunnel_state.h"
#include "tunnel_control/tunnel_watch.h"

namespace marnu::ops {

py::object disconnect() {
    if (!module_flag("CONNECTED")) {
        console::print("\n[-] You are not connected to a VPN server.");
        return py::none();
    }
    const TunnelState before = tunnel_state();
    // The end of the tunnel is asked for, not news.
    const TunnelId expected_before = expect_tunnel_ends();
    run_console_command(kDisconnectCommand);
    const TunnelState after = [&] {
        const InterruptCheck interrupted = python_interrupt_check();
        const py::gil_scoped_release without_gil;
        return state_after(Teardown::disconnect, before, interrupted);
    }();
    if (!teardown_ran(Teardown::disconnect, before, after)) {
        // sudo ran nothing: the tunnel, if any, goes on as it was.
        watch_again(expected_before);
        console::print(after.openvpn_running ? kNothingChangedTunnelUp : kNothingChangedFirewall);
        return py::none();
    }
    set_module_flag("CONNECTED", false);
    if (after.firewall_switched && !after.openvpn_running) console::print(kTorBlockedChooseReset);
    return py::none();
}

}  // namespace marnu::ops
