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

    m.def("execute_connection_command", &ops::execute_connection_command, py::arg("command"), py::arg("server"));
    m.def("get_token", &ops::get_token, py::arg("username"), py::arg("password"));
    m.def("download_keys", &ops::download_keys, py::arg("username"), py::arg("password"));
    m.def("get_servers", &ops::get_servers, py::arg("username"), py::arg("password"));
    m.def("send_to_api", &ops::send_to_api, py::arg("query"));
    m.def("configure_ferm", &ops::configure_ferm, py::arg("ip"), py::arg("protocol"), py::arg("port"));
    m.def("get_input", &ops::get_input, py::arg("choices"));
    m.def("configure_tails", &ops::configure_tails, py::arg("server"), py::arg("username"));
    m.def("configure_ovpn", &ops::configure_ovpn, py::arg("ip"), py::arg("protocol"), py::arg("port"),
          py::arg("username"));
    m.def("connect", &ops::connect, py::arg("server"), py::arg("password"));
    m.def("disconnect", &ops::disconnect);
    m.def("reset_firewall", &ops::reset_firewall);
    m.def("get_server", &ops::get_server, py::arg("username"), py::arg("password"));
    m.def("run", &ops::run, py::arg("debug") = false);
}
