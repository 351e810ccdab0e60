// Operations not built yet. Each entry moves to its subsystem when built.
#include "module/operations.h"

namespace marnu::ops {
namespace {
[[noreturn]] void pending(const char* name) { raise(PyExc_NotImplementedError, std::string(name) + " is not built yet"); }
}  // namespace

py::object get_token(py::object, py::object) { pending("get_token"); }
py::object download_keys(py::object, py::object) { pending("download_keys"); }
py::object get_servers(py::object, py::object) { pending("get_servers"); }
py::object send_to_api(py::object) { pending("send_to_api"); }
py::object get_server(py::object, py::object) { pending("get_server"); }

}  // namespace marnu::ops
