#include "tunnel_control/tor_blocked.h"

#include "common/errors.h"
#include "tunnel_config/ferm_rewrite.h"
#include "tunnel_config/firewall_files.h"
#include "tunnel_config/private_file.h"
#include "tunnel_control/openvpn_process.h"

namespace marnu {

bool tor_blocked_without_tunnel() {
    try {
        return confines_tor_to_tunnel(read_whole_file(kLiveFermConfig)) && !openvpn_running();
    } catch (const OsFailure&) {
        return false;  // an unreadable configuration tells nothing
    }
}

}  // namespace marnu
