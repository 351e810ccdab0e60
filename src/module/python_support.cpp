#include "module/python.h"

#include "tunnel_control/child_process.h"
#include "module/console.h"

namespace marnu {

void raise(PyObject* type, const std::string& message) {
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

std::string to_utf8(py::handle text) {
    const py::bytes encoded = text.attr("encode")("utf-8", "surrogateescape");
    return std::string(encoded);
}

py::str from_utf8(std::string_view text) {
    PyObject* decoded = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
    if (decoded == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::str>(decoded);
}

std::string text_argument(py::handle value, std::string_view what) {
    if (!py::isinstance<py::str>(value))
        raise(PyExc_TypeError, std::string(what) + " must be text (str), not " +
                                   std::string(py::str(py::type::handle_of(value).attr("__name__"))));
    return to_utf8(value);
}

std::optional<std::string_view> byte_contents(py::handle value) {
    if (PyBytes_Check(value.ptr()))
        return std::string_view(PyBytes_AS_STRING(value.ptr()), static_cast<size_t>(PyBytes_GET_SIZE(value.ptr())));
    if (PyByteArray_Check(value.ptr()))
        return std::string_view(PyByteArray_AS_STRING(value.ptr()),
                                static_cast<size_t>(PyByteArray_GET_SIZE(value.ptr())));
    return std::nullopt;
}

std::string type_name(py::handle value) { return py::str(py::type::handle_of(value).attr("__name__")); }

py::module_ module_namespace() { return py::module_::import("marnu_tails_client"); }

py::object module_value(const char* name) { return module_namespace().attr(name); }

bool module_flag(const char* name) { return py::bool_(module_value(name)); }

void set_module_flag(const char* name, bool value) { module_namespace().attr(name) = py::bool_(value); }

InterruptCheck python_interrupt_check() {
    return [] {
        const py::gil_scoped_acquire with_gil;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    };
}

void run_console_command(const std::string& command) {
    console::flush();
    const InterruptCheck interrupted = python_interrupt_check();
    const py::gil_scoped_release without_gil;
    run_sharing_console(command, interrupted);
}

}  // namespace marnu
