// configure_tails(server, username): the profile and the firewall file for
// the server the user picked.
#include "module/operations.h"

namespace marnu::ops {

py::object configure_tails(py::object server, py::object username) {
    // All three are looked up before anything is written.
    const py::object ip = server["address"];
    const py::object port = server["port"];
    const py::object protocol = server["proto"];
    call_operation("configure_ovpn", ip, protocol, port, username);
    call_operation("configure_ferm", ip, protocol, port);
    return py::none();
}

}  // namespace marnu::ops
