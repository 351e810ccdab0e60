// Tunnels left running once they came up: the thread that drains a tunnel's
// output sees it end, the thread that watches its health (see
// tunnel_health_watch.h) sees it go down and come back, and the client tells
// the user unless the end was asked for (Disconnect, or a Connect that
// replaces the tunnel).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "tunnel_control/tunnel_health.h"

namespace marnu {

using TunnelId = std::uint64_t;

// A tunnel that has come up and is now watched.
TunnelId watch_new_tunnel();
// Called once the tunnel's command has ended, with its exit code.
void tunnel_ended(TunnelId tunnel, int exit_code);
// Every tunnel watched so far is about to be ended on purpose: its end is
// not reported, and one that ended unreported already is forgotten. Returns
// what to hand to watch_again.
TunnelId expect_tunnel_ends();
// The tunnels were not ended after all (the root command did not run): their
// end is reported again, as before expect_tunnel_ends.
void watch_again(TunnelId expected_before);
// The exit code of a watched tunnel that ended on its own, once; nothing
// when none has since the last call.
std::optional<int> take_unexpected_tunnel_end();

// A watched tunnel went down or came back.
void post_tunnel_notice(TunnelId tunnel, TunnelNotice notice);
// The notices posted since the last call, in order, but those of tunnels
// being ended on purpose.
std::vector<TunnelNotice> take_tunnel_notices();

}  // namespace marnu
