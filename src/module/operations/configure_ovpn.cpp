// configure_ovpn(ip, protocol, port, username): writes the OpenVPN profile
// for the chosen server to OVPN_CONFIG_FILE.
#include "common/private_files.h"
#include "module/console.h"
#include "module/operations.h"
#include "tunnel_config/ovpn_profile.h"

namespace marnu::ops {

py::object configure_ovpn(py::object ip, py::object protocol, py::object port, py::object username) {
    console::print("\n[+] Configuring VPN settings.");
    // Every value is checked before the file is opened, in the order the
    // profile uses them.
    const std::string protocol_text = text_argument(protocol, "protocol");
    text_argument(username, "username");
    // Python's own lower(), so every letter is lowered as Python lowers it.
    const std::string lowercase_username = to_utf8(username.attr("lower")());
    const std::string ip_text = text_argument(ip, "ip");
    const std::string port_text = text_argument(port, "port");
    const std::string path = text_argument(module_value("OVPN_CONFIG_FILE"), "OVPN_CONFIG_FILE");

    const std::string profile = ovpn_profile(ip_text, protocol_text, port_text, lowercase_username);
    {
        const py::gil_scoped_release without_gil;
        write_own_file(path, profile);
    }
    return py::none();
}

}  // namespace marnu::ops
