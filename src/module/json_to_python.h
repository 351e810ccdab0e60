// JSON documents decoded straight into Python objects.
#pragma once

#include <optional>
#include <string_view>

#include "module/python.h"

namespace marnu {

// The document in `bytes` (UTF-8, UTF-16 or UTF-32, recognised as Python's
// json.loads does) as Python objects: objects become dicts in member order
// (a repeated key keeps its first position and its last value), integers of
// any size stay exact, other numbers become floats. Nothing when the bytes
// are not a valid JSON text.
std::optional<py::object> json_to_python(std::string_view bytes);

// An answer of the provider decoded as JSON: bytes, bytearray or str. Raises
// TypeError for another type and ValueError when it is not a JSON text.
py::object decode_json_answer(py::handle answer);

}  // namespace marnu
