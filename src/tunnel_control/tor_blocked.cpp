#include "tunnel_control/tor_blocked.h"

#include "tunnel_config/firewall_files.h"
#include "tunnel_control/openvpn_process.h"

namespace marnu {

bool tor_blocked_without_tunnel() { return live_firewall_confines_tor() && !openvpn_running(); }

}  // namespace marnu
