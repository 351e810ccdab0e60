#include "tunnel_control/tunnel_health.h"

namespace marnu {

HealthStep TunnelHealth::observe(const HealthView& view) {
    HealthStep step;
    const bool up = view.openvpn_connected && view.route_outside_tunnel;
    if (up != said_up_) {
        step.notice = up ? TunnelNotice::back : TunnelNotice::down;
        said_up_ = up;
    }
    if (up) {
        restart_asked_ = false;
    } else if (view.openvpn_connected && !restart_asked_) {
        // Connected, but the server's packets would go into the tunnel
        // itself, or nowhere: the connection is dead.
        step.restart = true;
        restart_asked_ = true;
    }
    return step;
}

}  // namespace marnu
