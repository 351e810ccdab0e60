#include "tunnel_control/launch_step.h"

#include <sys/stat.h>

#include "common/host_paths.h"

namespace marnu {

bool openvpn_installed() {
    struct stat info {};
    return ::stat(kOpenvpnProgram, &info) == 0;
}

LaunchStep launch_step(bool openvpn_installed, bool connected_or_running) {
    if (!openvpn_installed) return LaunchStep::install_openvpn;
    return connected_or_running ? LaunchStep::stop_running_openvpn : LaunchStep::none;
}

}  // namespace marnu
