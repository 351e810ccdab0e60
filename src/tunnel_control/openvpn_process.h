// Whether an OpenVPN process runs on the host.
#pragma once

namespace marnu {

// True when a process named "openvpn" runs (what `killall openvpn` would
// stop), whoever started it.
bool openvpn_running();

}  // namespace marnu
