// How the kernel sends packets to the VPN server, read through rtnetlink as
// any user may: whether they leave outside the tunnel, as they must. Route
// and link changes are announced on a socket the tunnel's watch waits on.
#pragma once

#include <netinet/in.h>

#include "common/unique_fd.h"

namespace marnu {

// Whether the kernel sends the server's packets out through an interface
// other than the tunnel (`tunnel_device`), so that OpenVPN's own packets can
// reach it; a lookup that fails counts as no route.
bool route_outside_tunnel(in_addr server, const char* tunnel_device);

// A socket that becomes readable whenever an IPv4 route, address or a link
// changes; invalid when the kernel refuses one.
UniqueFd route_changes();
// Reads and discards what has come on it.
void discard_pending(int route_changes_fd);

}  // namespace marnu
