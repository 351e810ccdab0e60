#include "tunnel_control/tunnel_watch.h"

#include <mutex>
#include <utility>

namespace marnu {
namespace {

struct Watch {
    std::mutex lock;
    TunnelId last = 0;
    // Tunnels up to this one are ended on purpose.
    TunnelId expected_up_to = 0;
    std::optional<int> unexpected_end;
    std::vector<std::pair<TunnelId, TunnelNotice>> notices;
};

Watch& watch() {
    static Watch state;
    return state;
}

}  // namespace

TunnelId watch_new_tunnel() {
    Watch& state = watch();
    const std::lock_guard guard(state.lock);
    return ++state.last;
}

void tunnel_ended(TunnelId tunnel, int exit_code) {
    Watch& state = watch();
    const std::lock_guard guard(state.lock);
    if (tunnel > state.expected_up_to) state.unexpected_end = exit_code;
}

TunnelId expect_tunnel_ends() {
    Watch& state = watch();
    const std::lock_guard guard(state.lock);
    const TunnelId before = state.expected_up_to;
    state.expected_up_to = state.last;
    state.unexpected_end.reset();
    return before;
}

void watch_again(TunnelId expected_before) {
    Watch& state = watch();
    const std::lock_guard guard(state.lock);
    state.expected_up_to = expected_before;
}

std::optional<int> take_unexpected_tunnel_end() {
    Watch& state = watch();
    const std::lock_guard guard(state.lock);
    std::optional<int> end;
    end.swap(state.unexpected_end);
    return end;
}

void post_tunnel_notice(TunnelId tunnel, TunnelNotice notice) {
    Watch& state = watch();
    const std::lock_guard guard(state.lock);
    state.notices.emplace_back(tunnel, notice);
}

std::vector<TunnelNotice> take_tunnel_notices() {
    Watch& state = watch();
    const std::lock_guard guard(state.lock);
    std::vector<TunnelNotice> taken;
    for (const auto& [tunnel, notice] : state.notices)
        if (tunnel > state.expected_up_to) taken.push_back(notice);
    state.notices.clear();
    return taken;
}

}  // namespace marnu
