// Shared helpers of the code that handles Python objects, all of it in
// module/. The subsystems that build texts, parse, run processes and talk
// HTTP never include this header: they see no Python type.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "common/interrupt.h"

namespace py = pybind11;

namespace marnu {

// Sets a Python exception and throws it through C++.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// The UTF-8 bytes of a str; text that came in undecodable (surrogate escapes)
// keeps its original bytes.
std::string to_utf8(py::handle text);
// A str from UTF-8 text; invalid bytes become U+FFFD.
py::str from_utf8(std::string_view text);
// The UTF-8 bytes of an argument that must be a str; TypeError naming
// `what` otherwise.
std::string text_argument(py::handle value, std::string_view what);

// The contents of a bytes or bytearray object, valid while it lives
// unchanged; nothing for any other type.
std::optional<std::string_view> byte_contents(py::handle value);
// The name of a value's type, for messages.
std::string type_name(py::handle value);

// The module's own namespace: the one home of its values and operations.
py::module_ module_namespace();
// A module value or operation as it stands now.
py::object module_value(const char* name);
bool module_flag(const char* name);
void set_module_flag(const char* name, bool value);

// Calls an operation through the module namespace, so a replaced operation is
// the one called.
template <typename... Args>
py::object call_operation(const char* name, Args&&... args) {
    return module_value(name)(std::forward<Args>(args)...);
}

// An InterruptCheck for waits without the Python lock: it takes the lock,
// runs Python's pending signal handlers and throws what they raise
// (KeyboardInterrupt for Ctrl+C).
InterruptCheck python_interrupt_check();

// Runs a console-sharing host command: flushes sys.stdout first, waits without
// the Python lock, ignores the exit status.
void run_console_command(const std::string& command);

}  // namespace marnu
