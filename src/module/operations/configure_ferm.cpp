// configure_ferm(ip, protocol, port): writes the firewall configuration for
// the chosen server to /tmp/ferm.conf, built from the saved copy of the live one.
#include "module/console.h"
#include "module/operations.h"
#include "tunnel_config/firewall_files.h"

namespace marnu::ops {

py::object configure_ferm(py::object ip, py::object protocol, py::object port) {
    console::print("[+] Configuring firewall.\n");
    // Checked before any file is opened, in the order the rule uses them.
    const std::string ip_text = text_argument(ip, "ip");
    const std::string protocol_text = text_argument(protocol, "protocol");
    const std::string port_text = text_argument(port, "port");
    {
        const py::gil_scoped_release without_gil;
        write_firewall_config(ip_text, protocol_text, port_text);
    }
    return py::none();
}

}  // namespace marnu::ops
