// run(debug=False): the interactive client. Serves the main menu until the
// user quits; any failure inside the menu loop ends the process with status 0.
#include "client/main_menu.h"
#include "client/socks_support.h"
#include "client/tor_ready.h"
#include "common/core_dumps.h"
#include "common/visible_text.h"
#include "module/console.h"
#include "module/operations.h"
#include "tunnel_control/host_commands.h"
#include "tunnel_control/openvpn_process.h"
#include "tunnel_control/tor_blocked.h"
#include "tunnel_control/tunnel_health_watch.h"
#include "tunnel_control/tunnel_state.h"

namespace marnu::ops {
namespace {

// Installs SOCKS support through the host's package tools when libcurl
// lacks it; prints nothing when it is present.
void ensure_socks_support() {
    if (socks5h_supported()) return;
    console::print("[-] SOCKS support is missing.");
    console::print("[+] pysocks will be installed through pip3.");
    console::print("[+] Updating APT cache, please wait.");
    run_console_command(kSocksInstallCommand);
}

// On Tails, Tor restarts after Disconnect and Reset and whenever a tunnel
// comes up, and the menu is back long before Tor is: a Connect's requests
// wait for it, a bounded time.
void wait_for_tor() {
    if (!tor_starting()) return;
    console::print("[*] Waiting for Tor to be ready...");
    console::flush();
    const InterruptCheck interrupted = python_interrupt_check();
    const py::gil_scoped_release without_gil;
    wait_until_tor_ready(kTorReadyLimit, interrupted);
}

// A refused login is exactly the integer 0 (not False, not 0.0).
bool is_refusal(const py::object& token) {
    return PyLong_CheckExact(token.ptr()) && token.cast<long long>() == 0;
}

[[noreturn]] void end_after_failure(const py::error_already_set& failure, int line) {
    if (module_flag("DEBUG")) {
        // A failure's description may quote what the provider sent.
        const std::string description = visible_text(to_utf8(py::str(failure.value())), LineEnds::keep);
        console::print(description);
        console::print("Error on line " + std::to_string(line) + " " +
                       to_utf8(py::str(failure.type().attr("__name__"))) + " " + description);
    }
    console::print("[-] Something went wrong during execution. Did you lose internet access?");
    if (tor_blocked_without_tunnel()) console::print(kTorBlockedRestartAndReset);
    PyErr_SetObject(PyExc_SystemExit, py::int_(0).ptr());
    throw py::error_already_set();
}

}  // namespace

py::object run(py::object debug) {
    if (py::bool_(debug)) {
        console::print("\nDEBUG");
        set_module_flag("DEBUG", true);
    }
    ensure_socks_support();
    console::print(to_utf8(py::str(module_value("BANNER"))));
    // A tunnel that an earlier run left (Ctrl+C, a closed terminal) is this
    // run's to stop.
    const TunnelState state = tunnel_state();
    const LeftBehind found = left_behind(state);
    if (!found.notice.empty()) console::print(found.notice);
    if (found.connected) set_module_flag("CONNECTED", true);
    // Tor waits for that tunnel: this run watches over it as over its own.
    if (state.openvpn_running && state.firewall_switched) watch_tunnel_health(watch_new_tunnel());

    py::object username = py::str("");
    py::object password = py::str("");
    // The source line of the step under way, reported in debug mode.
    int line = __LINE__;
    try {
        for (;;) {
            line = __LINE__; console::write(main_menu(module_flag("CONNECTED")));
            line = __LINE__; const long long choice = call_operation("get_input", 4).cast<long long>();
            if (choice == 1) {
                if (py::len(username) == 0) {
                    line = __LINE__; username = console::read_line("\nUsername: ");
                    // From the password on, the process holds a secret.
                    forbid_core_dumps();
                    line = __LINE__; password = console::read_password("Password: ");
                    line = __LINE__; wait_for_tor();
                    line = __LINE__; const py::object token = call_operation("get_token", username, password);
                    if (is_refusal(token)) {
                        username = py::str("");
                        continue;
                    }
                } else {
                    line = __LINE__; wait_for_tor();
                }
                line = __LINE__; const py::object server = call_operation("get_server", username, password);
                line = __LINE__; call_operation("configure_tails", server, username);
                line = __LINE__; call_operation("connect", server, password);
            } else if (choice == 2) {
                line = __LINE__; if (module_flag("CONNECTED")) call_operation("disconnect");
            } else if (choice == 3) {
                line = __LINE__; call_operation("reset_firewall");
            } else if (choice == 4) {
                line = __LINE__; if (module_flag("CONNECTED")) call_operation("disconnect");
                // A Disconnect that did not happen is not passed over in silence.
                if (module_flag("CONNECTED"))
                    console::print(openvpn_running() ? kTunnelStaysUp : kTorBlockedRestartAndReset);
                return py::none();
            }
        }
    } catch (const py::error_already_set& failure) {
        // Ctrl+C and exits are not failures of the client: they pass through.
        if (!failure.matches(PyExc_Exception)) throw;
        end_after_failure(failure, line);
    }
}

}  // namespace marnu::ops
