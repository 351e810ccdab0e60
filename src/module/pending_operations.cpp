// Operations not built yet. Each entry moves to its subsystem when built.
#include "module/operations.h"

namespace marnu::ops {
namespace {
[[noreturn]] void pending(const char* name) { raise(PyExc_NotImplementedError, std::string(name) + " is not built yet"); }
}  // namespace

py::object execute_connection_command(py::object, py::object) { pending("execute_connection_command"); }
py::object configure_ferm(py::object, py::object, py::object) { pending("configure_ferm"); }
py::object configure_tails(py::object, py::object) { pending("configure_tails"); }
py::object configure_ovpn(py::object, py::object, py::object, py::object) { pending("configure_ovpn"); }
py::object connect(py::object, py::object) { pending("connect"); }
py::object disconnect() { pending("disconnect"); }
py::object reset_firewall() { pending("reset_firewall"); }

}  // namespace marnu::ops
