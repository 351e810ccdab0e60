#include "module/json_to_python.h"

#include <charconv>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "api/json_scan.h"
#include "api/json_text.h"

namespace marnu {
namespace {

// Lookups by string_view in a map whose keys are strings.
struct TextHash : std::hash<std::string_view> {
    using is_transparent = void;
};

// The values of scan_json, turned into Python objects as they come. A
// failure to build a value ends the scan; the document then counts as not
// JSON. Server lists repeat the same few member names thousands of times:
// each name becomes one str, shared, whose hash Python computes once.
class PythonBuilder {
public:
    bool null() { return add(py::none()); }
    bool boolean(bool value) { return add(py::bool_(value)); }

    // Integers of any size stay exact: Python reads those beyond 64 bits.
    bool integer(std::string_view lexeme) {
        long long value = 0;
        if (std::from_chars(lexeme.data(), lexeme.data() + lexeme.size(), value).ec == std::errc())
            return add_new(PyLong_FromLongLong(value));
        return add_new(PyLong_FromString(std::string(lexeme).c_str(), nullptr, 10));
    }

    bool floating(std::string_view lexeme) {
        // Python's own conversion (float() and json.loads use it), so the
        // float is exactly the one json.loads gives.
        const double value = PyOS_string_to_double(std::string(lexeme).c_str(), nullptr, nullptr);
        if (value == -1.0 && PyErr_Occurred()) return failed();
        return add_new(PyFloat_FromDouble(value));
    }

    bool string(std::string_view text) { return add_new(decode(text)); }

    bool key(std::string_view name) {
        const auto known = names_.find(name);
        if (known != names_.end()) {
            name_ = known->second;
            return true;
        }
        PyObject* decoded = decode(name);
        if (decoded == nullptr) return failed();
        name_ = py::reinterpret_steal<py::object>(decoded);
        names_.emplace(name, name_);
        return true;
    }

    bool start_object() { return open(PyDict_New(), true); }
    bool end_object() { return close(); }
    bool start_array() { return open(PyList_New(0), false); }
    bool end_array() { return close(); }

    py::object result() const { return result_; }

private:
    struct Container {
        py::object object;
        bool is_dict;
    };

    static PyObject* decode(std::string_view text) {
        return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
    }

    static bool failed() {
        PyErr_Clear();
        return false;
    }

    bool add_new(PyObject* value) {
        if (value == nullptr) return failed();
        return add(py::reinterpret_steal<py::object>(value));
    }

    // Places a value in the open container, or makes it the document. In a
    // dict it goes under the name that came just before it.
    bool add(const py::object& value) {
        if (open_.empty()) {
            result_ = value;
            return true;
        }
        const Container& container = open_.back();
        if (container.is_dict) {
            // A repeated name keeps its first position and takes the new value.
            return PyDict_SetItem(container.object.ptr(), name_.ptr(), value.ptr()) == 0 || failed();
        }
        return PyList_Append(container.object.ptr(), value.ptr()) == 0 || failed();
    }

    // A container joins its parent at once, so a dict member keeps its place.
    bool open(PyObject* created, bool is_dict) {
        if (created == nullptr) return failed();
        auto container = py::reinterpret_steal<py::object>(created);
        if (!add(container)) return false;
        open_.push_back({std::move(container), is_dict});
        return true;
    }

    bool close() {
        open_.pop_back();
        return true;
    }

    py::object result_;
    std::vector<Container> open_;
    // The name of the member whose value comes next: a value follows its
    // name before anything else, so one is enough.
    py::object name_;
    std::unordered_map<std::string, py::object, TextHash, std::equal_to<>> names_;
};

std::optional<py::object> parse_utf8(std::string_view text) {
    PythonBuilder builder;
    if (!scan_json(text, builder)) return std::nullopt;
    return builder.result();
}

}  // namespace

std::optional<py::object> json_to_python(std::string_view bytes) {
    const std::optional<std::string> text = json_text_as_utf8(bytes);
    if (!text) return std::nullopt;
    return parse_utf8(*text);
}

py::object decode_json_answer(py::handle answer) {
    std::optional<py::object> decoded;
    if (const std::optional<std::string_view> bytes = byte_contents(answer)) {
        decoded = json_to_python(*bytes);
    } else if (PyUnicode_Check(answer.ptr())) {
        // Text is already decoded: only a leading byte order mark is refused.
        const std::string text = to_utf8(answer);
        if (!text.starts_with("\xEF\xBB\xBF")) decoded = parse_utf8(text);
    } else {
        raise(PyExc_TypeError, "the JSON object must be str, bytes or bytearray, not " + type_name(answer));
    }
    if (!decoded) raise(PyExc_ValueError, "The provider's answer is not valid JSON.");
    return *decoded;
}

}  // namespace marnu
