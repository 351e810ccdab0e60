// Whether an OpenVPN process runs on the host.
#pragma once

#include <sys/types.h>

#include <vector>

namespace marnu {

// This system's processes named "openvpn" (what `killall openvpn` would
// stop), whoever started them; those of containers and sandboxes started on
// it (other PID namespaces) are not this system's.
std::vector<pid_t> openvpn_processes();

// True when a process named "openvpn" runs.
bool openvpn_running();

// Whether an OpenVPN process runs that is not among `earlier`.
bool openvpn_started_since(const std::vector<pid_t>& earlier);

}  // namespace marnu
