// The fourteen operations of the module. Each takes and returns Python
// objects; None stands for "no result".
#pragma once

#include "module/python.h"

namespace marnu::ops {

py::object execute_connection_command(py::object command, py::object server);
py::object get_token(py::object username, py::object password);
py::object download_keys(py::object username, py::object password);
py::object get_servers(py::object username, py::object password);
py::object send_to_api(py::object query);
py::object configure_ferm(py::object ip, py::object protocol, py::object port);
py::object get_input(py::object choices);
py::object configure_tails(py::object server, py::object username);
py::object configure_ovpn(py::object ip, py::object protocol, py::object port, py::object username);
py::object connect(py::object server, py::object password);
py::object disconnect();
py::object reset_firewall();
py::object get_server(py::object username, py::object password);
py::object run(py::object debug);

}  // namespace marnu::ops
