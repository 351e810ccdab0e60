// What the client makes of a tunnel that is up, from what OpenVPN says of
// its state and what the kernel's routes say of the way to the server: when
// to tell the user the tunnel is down or back, and when to have OpenVPN
// build its connection again.
//
// A network that goes away takes the route to the server with it, and one
// that comes back does not bring it back: OpenVPN's packets would follow the
// tunnel's own routes into the tunnel until its keepalive gave up, minutes
// later. Restarted at once, OpenVPN closes the tunnel device and its routes,
// tries again every few seconds (the profile caps its wait between
// attempts) and, once the server answers, opens the device anew and adds the
// routes through the network of the moment.
#pragma once

#include <optional>

namespace marnu {

enum class TunnelNotice {
    down,  // the tunnel carries nothing; OpenVPN builds it again, and Tor waits
    back,  // it carries Tor's traffic again
};

struct HealthView {
    bool openvpn_connected = false;     // OpenVPN's last state is CONNECTED
    bool route_outside_tunnel = false;  // see server_route.h
};

struct HealthStep {
    std::optional<TunnelNotice> notice;
    // Ask OpenVPN to restart its connection (SIGUSR1). Only ever while it is
    // connected: OpenVPN takes a SIGUSR1 that comes while it prepares a
    // connection for a SIGHUP, which would read the password again.
    bool restart = false;
};

class TunnelHealth {
public:
    // The tunnel was up when the watch began.
    HealthStep observe(const HealthView& view);

private:
    bool said_up_ = true;
    // Asked once for the connection that lost its route, so that a route
    // that never comes right cannot loop restarts.
    bool restart_asked_ = false;
};

}  // namespace marnu
