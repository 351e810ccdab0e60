// execute_connection_command(command, server): runs the connection command,
// shows a dot per line of its output and reports whether the tunnel came up.
#include <chrono>
#include <optional>
#include <vector>

#include "common/visible_text.h"
#include "module/console.h"
#include "module/operations.h"
#include "tunnel_control/connection_monitor.h"
#include "tunnel_control/openvpn_process.h"
#include "tunnel_control/piped_command.h"
#include "tunnel_control/terminal_handover.h"
#include "tunnel_control/tor_blocked.h"
#include "tunnel_control/tunnel_health_watch.h"
#include "tunnel_control/tunnel_watch.h"

namespace marnu::ops {
namespace {

std::optional<std::string> next_line(PipedCommand& process, const InterruptCheck& interrupted) {
    const py::gil_scoped_release without_gil;
    return process.read_line(interrupted);
}

// How long a command that was asked to terminate may take to end.
constexpr auto kEndingTime = std::chrono::seconds(10);

// The rest of the output of a command that was asked to terminate: what it
// still writes is kept for the debug dump, without dots. Its output ends once
// every process of it has ended, OpenVPN included.
void read_to_end(PipedCommand& process, ConnectionMonitor& monitor, const InterruptCheck& interrupted) {
    const auto give_up_at = ConnectionMonitor::Clock::now() + kEndingTime;
    const auto late = [&] { return ConnectionMonitor::Clock::now() >= give_up_at; };
    const InterruptCheck interrupted_or_late = [&] {
        interrupted();
        if (late()) throw TimeLimitReached();
    };
    try {
        while (const std::optional<std::string> line = next_line(process, interrupted_or_late)) {
            monitor.keep(*line);
            if (late()) break;
        }
    } catch (const TimeLimitReached&) {
        // Something of it outlives the request; the wait below still ends
        // with the shell.
    }
}

int wait_for_end(PipedCommand& process, const InterruptCheck& interrupted) {
    const py::gil_scoped_release without_gil;
    return process.wait(interrupted);
}

}  // namespace

py::object execute_connection_command(py::object command, py::object server) {
    const std::string command_line = text_argument(command, "command");
    const InterruptCheck interrupted = python_interrupt_check();
    console::flush();
    TerminalHandover handover;
    // OpenVPN's first line is the first one read once an OpenVPN that was
    // not running before runs.
    const std::vector<pid_t> earlier_openvpn = openvpn_processes();
    // Nothing run as root reads the console: sudo asks on the terminal itself.
    PipedCommand process(command_line, {.input_from_null = true, .own_process_group = true,
                                        .terminal_fd = handover.terminal()});
    ConnectionMonitor monitor(command_line);
    // Waits for output end at the time limit too.
    const InterruptCheck interrupted_or_late = [&] {
        interrupted();
        if (monitor.out_of_time(ConnectionMonitor::Clock::now())) throw TimeLimitReached();
    };

    std::string server_name;
    try {
        server_name = text_argument(server["name"], "the server's \"name\"");
    } catch (const py::error_already_set&) {
        // The command has started and is left to itself, but it is still
        // drained and reaped.
        process.keep_running_in_background();
        throw;
    }
    // The name comes from the provider: it may not drive the terminal.
    server_name = visible_text(server_name);
    console::print("\r[+] Connecting to " + server_name + " VPN server");

    for (;;) {
        std::optional<std::string> line;
        try {
            line = next_line(process, interrupted_or_late);
        } catch (const TimeLimitReached&) {
            process.terminate();
            read_to_end(process, monitor, interrupted);
            break;
        }
        if (!line) break;
        if (module_flag("DEBUG")) console::print(visible_text(*line, LineEnds::keep));
        console::write(".");
        console::flush();
        const auto now = ConnectionMonitor::Clock::now();
        if (!monitor.openvpn_has_started() && openvpn_started_since(earlier_openvpn)) monitor.openvpn_started(now);
        const ConnectionMonitor::Verdict verdict = monitor.take(*line, now);
        if (verdict == ConnectionMonitor::Verdict::connected) {
            handover.take_back();
            console::print("\n[+] Connected to " + server_name + " VPN server.");
            console::print("[*] Use option 2 to disconnect, 4 to quit. Do NOT use CTRL + C to quit the program.");
            set_module_flag("CONNECTED", true);
            // OpenVPN stays up; its output must never fill the pipe.
            const TunnelId tunnel = watch_new_tunnel();
            process.keep_running_in_background(tunnel);
            watch_tunnel_health(tunnel);
            return py::int_(0);
        }
        if (verdict == ConnectionMonitor::Verdict::give_up) {
            // The whole command ends, OpenVPN too: sudo passes the signal on.
            process.terminate();
            read_to_end(process, monitor, interrupted);
            break;
        }
    }

    const int exit_code = wait_for_end(process, interrupted);
    handover.take_back();
    if (exit_code == 0) return py::int_(0);
    console::print("\n[-] Something went wrong.");
    if (monitor.reports_sudo_refusal())
        console::print("[-] Tails needs an administration password for this: set one at the Welcome Screen when "
                       "you start Tails.");
    if (tor_blocked_without_tunnel()) console::print(kTorBlockedChooseReset);
    if (module_flag("DEBUG")) console::print(monitor.debug_dump());
    return py::none();
}

}  // namespace marnu::ops
