#include "tunnel_control/tunnel_health_watch.h"

#include <arpa/inet.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <thread>

#include "common/host_paths.h"
#include "tunnel_config/firewall_files.h"
#include "tunnel_control/openvpn_management.h"
#include "tunnel_control/server_route.h"
#include "tunnel_control/tunnel_health.h"

namespace marnu {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// OpenVPN makes its socket before it connects; an OpenVPN the client did not
// start may have none at all.
constexpr int kReachTries = 50;
constexpr int kReachPauseMs = 100;
// Routes change in bursts (a link going down takes several with it): the
// routes are read once the burst is over.
constexpr milliseconds kSettle{300};
// Routes are read again now and then, should a change go unannounced.
constexpr milliseconds kLookAgain{5000};

std::optional<ManagementConnection> reach_openvpn() {
    for (int attempt = 0; attempt < kReachTries; ++attempt) {
        if (std::optional<ManagementConnection> found = ManagementConnection::open(kOpenvpnManagementSocket))
            return found;
        ::poll(nullptr, 0, kReachPauseMs);
    }
    return std::nullopt;
}

int milliseconds_until(Clock::time_point when) {
    const auto left = std::chrono::duration_cast<milliseconds>(when - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, kLookAgain.count()));
}

// What OpenVPN has said so far: its state, and the server's address once it
// has been connected.
struct OpenvpnView {
    std::optional<bool> connected;  // unknown until OpenVPN has said
    std::optional<in_addr> server;
};

enum class Heard { nothing, news, end };

// Takes the lines that have come from OpenVPN, without waiting.
Heard hear(ManagementConnection& openvpn, OpenvpnView& view) {
    const std::optional<std::vector<std::string>> lines = openvpn.read_lines();
    if (!lines) return Heard::end;  // OpenVPN has ended: the thread that reaps it tells
    Heard heard = Heard::nothing;
    for (const std::string& line : *lines) {
        const std::optional<OpenvpnState> state = parse_state_line(line);
        if (!state) continue;
        if (state->name == "EXITING") return Heard::end;
        view.connected = state->name == "CONNECTED";
        in_addr address{};
        if (*view.connected && ::inet_pton(AF_INET, state->remote.c_str(), &address) == 1) view.server = address;
        heard = Heard::news;
    }
    return heard;
}

void watch(TunnelId tunnel) {
    std::optional<ManagementConnection> openvpn = reach_openvpn();
    // "all": the states so far first, the server's address among them.
    if (!openvpn || !openvpn->send("state on all\n")) return;
    const UniqueFd changes = route_changes();
    TunnelHealth health;
    OpenvpnView view;
    std::optional<Clock::time_point> settled_at;
    Clock::time_point next_look = Clock::now() + kLookAgain;

    for (;;) {
        const Clock::time_point wake = settled_at ? std::min(*settled_at, next_look) : next_look;
        pollfd entries[2] = {{openvpn->fd(), POLLIN, 0}, {changes.get(), POLLIN, 0}};
        const nfds_t count = changes ? 2 : 1;
        if (::poll(entries, count, milliseconds_until(wake)) < 0 && errno != EINTR) return;
        bool look = false;
        if (entries[0].revents != 0) {
            const Heard heard = hear(*openvpn, view);
            if (heard == Heard::end) return;
            look = heard == Heard::news;
        }
        const Clock::time_point now = Clock::now();
        if (count == 2 && entries[1].revents != 0) {
            discard_pending(changes.get());
            if (!settled_at) settled_at = now + kSettle;
        }
        if (settled_at && now >= *settled_at) {
            settled_at.reset();
            look = true;
        }
        if (now >= next_look) look = true;
        if (!look || !view.connected) continue;
        next_look = now + kLookAgain;
        // After Reset (3) Tor no longer waits for the tunnel: nothing to tell
        // of it, and nothing to restart.
        if (!live_firewall_confines_tor()) continue;
        const bool outside = !view.server || route_outside_tunnel(*view.server, kTunnelDevice);
        const HealthStep step = health.observe({.openvpn_connected = *view.connected,
                                                .route_outside_tunnel = outside});
        if (step.notice) post_tunnel_notice(tunnel, *step.notice);
        if (!step.restart) continue;
        // OpenVPN may have begun a restart of its own meanwhile: a SIGUSR1
        // then would become a SIGHUP (see tunnel_health.h).
        if (hear(*openvpn, view) == Heard::end) return;
        if (*view.connected && !openvpn->send("signal SIGUSR1\n")) return;
    }
}

}  // namespace

void watch_tunnel_health(TunnelId tunnel) {
    // The watch takes no signals, so Ctrl+C always reaches the main thread.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        std::thread(watch, tunnel).detach();
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace marnu
