// The module's surface: its six values and fourteen operations, in order.
#include "client/settings.h"
#include "module/exceptions.h"
#include "module/operations.h"

namespace {

py::str text(std::string_view value) { return py::str(value.data(), value.size()); }

}  // namespace

PYBIND11_MODULE(marnu_tails_client, m) {
    using namespace marnu;
    namespace s = marnu::settings;
    register_exception_translators();

    m.attr("BANNER") = text(s::kBanner);
    m.attr("API_KEY") = text(s::kApiKey);
    m.attr("OVPN_CONFIG_FILE") = text(s::kOvpnConfigFile);
    py::dict headers;
    headers[text(s::kUserAgentHeader)] = text(s::kUserAgent);
    m.attr("HEADERS") = headers;
    m.attr("CONNECTED") = py::bool_(false);
    m.attr("DEBUG") = py::bool_(false);

    // Each with a one-line description for help(); pybind11 adds the signature.
    m.def("execute_connection_command", &ops::execute_connection_command, py::arg("command"), py::arg("server"),
          "Run the connection command, one dot per line of output; 0 once connected, None on failure.");
    m.def("get_token", &ops::get_token, py::arg("username"), py::arg("password"),
          "Log in; the provider's token, or 0 when it refuses.");
    m.def("download_keys", &ops::download_keys, py::arg("username"), py::arg("password"),
          "Fetch the account's key bundle and unpack it into /tmp/.");
    m.def("get_servers", &ops::get_servers, py::arg("username"), py::arg("password"),
          "The provider's server list, in the order received.");
    m.def("send_to_api", &ops::send_to_api, py::arg("query"),
          "One request to the provider through Tor; the answer's body, or 0 after a refusal.");
    m.def("configure_ferm", &ops::configure_ferm, py::arg("ip"), py::arg("protocol"), py::arg("port"),
          "Write /tmp/ferm.conf: the saved firewall configuration, opened to the server for OpenVPN.");
    m.def("get_input", &ops::get_input, py::arg("choices"),
          "Ask until a number from 1 to choices is typed; that number.");
    m.def("configure_tails", &ops::configure_tails, py::arg("server"), py::arg("username"),
          "Write the OpenVPN profile and the firewall configuration for a server record.");
    m.def("configure_ovpn", &ops::configure_ovpn, py::arg("ip"), py::arg("protocol"), py::arg("port"),
          py::arg("username"), "Write the OpenVPN profile for the server to OVPN_CONFIG_FILE.");
    m.def("connect", &ops::connect, py::arg("server"), py::arg("password"),
          "Switch the firewall and start OpenVPN as root, installing it or stopping the tunnel first.");
    m.def("disconnect", &ops::disconnect,
          "Stop OpenVPN and put the saved firewall configuration back.");
    m.def("reset_firewall", &ops::reset_firewall,
          "Put the saved firewall configuration back; OpenVPN keeps running.");
    m.def("get_server", &ops::get_server, py::arg("username"), py::arg("password"),
          "Fetch the keys and the server list; the record of the server the user picks.");
    m.def("run", &ops::run, py::arg("debug") = false,
          "The interactive client: the main menu until the user quits.");
}
