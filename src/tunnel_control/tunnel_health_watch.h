// The watch over a tunnel that is up, on a thread of its own for as long as
// its OpenVPN runs: it follows OpenVPN's state through the management
// socket and the kernel's routes through rtnetlink, posts what the user is
// to hear (tunnel_watch.h), and has OpenVPN restart a connection that has
// lost its way to the server. Nothing of it needs root.
#pragma once

#include "tunnel_control/tunnel_watch.h"

namespace marnu {

// Starts watching `tunnel`; returns at once. Does nothing when OpenVPN's
// management socket cannot be reached (an OpenVPN started otherwise).
void watch_tunnel_health(TunnelId tunnel);

}  // namespace marnu
