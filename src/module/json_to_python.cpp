#include "module/json_to_python.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "api/json_text.h"

namespace marnu {
namespace {

// Floats as long double: integers too large for 64 bits reach us as floats,
// and their lexeme (exact up to the range of long double, beyond Python's own
// limit on integer digits) becomes a Python int.
using Json = nlohmann::basic_json<std::map, std::vector, std::string, bool, std::int64_t, std::uint64_t, long double>;

bool is_integer_lexeme(const std::string& lexeme) { return lexeme.find_first_of(".eE") == std::string::npos; }

// nlohmann's SAX events, turned into Python objects as they come. A failure
// to build a value ends the parse; the document then counts as not JSON.
class PythonBuilder {
public:
    using number_integer_t = Json::number_integer_t;
    using number_unsigned_t = Json::number_unsigned_t;
    using number_float_t = Json::number_float_t;
    using string_t = Json::string_t;
    using binary_t = Json::binary_t;

    bool null() { return add(py::none()); }
    bool boolean(bool value) { return add(py::bool_(value)); }
    bool number_integer(number_integer_t value) { return add_new(PyLong_FromLongLong(value)); }
    bool number_unsigned(number_unsigned_t value) { return add_new(PyLong_FromUnsignedLongLong(value)); }
    bool number_float(number_float_t, const string_t& lexeme) {
        if (is_integer_lexeme(lexeme)) return add_new(PyLong_FromString(lexeme.c_str(), nullptr, 10));
        // Python's own conversion, so the float is exactly the one json.loads gives.
        const py::str text(lexeme);
        return add_new(PyFloat_FromString(text.ptr()));
    }
    bool string(string_t& value) { return add_new(decode(value)); }
    bool binary(binary_t&) { return false; }
    bool start_object(std::size_t) { return open(PyDict_New()); }
    bool key(string_t& name) {
        PyObject* decoded = decode(name);
        if (decoded == nullptr) return failed();
        keys_.push_back(py::reinterpret_steal<py::object>(decoded));
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(std::size_t) { return open(PyList_New(0)); }
    bool end_array() { return close(); }
    bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) { return false; }

    py::object result() const { return result_; }

private:
    static PyObject* decode(const std::string& text) {
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

    // Places a value in the open container, or makes it the document.
    bool add(const py::object& value) {
        if (open_.empty()) {
            result_ = value;
            return true;
        }
        const py::object& container = open_.back();
        if (PyDict_Check(container.ptr())) {
            const py::object name = std::move(keys_.back());
            keys_.pop_back();
            // A repeated key keeps its first position and takes the new value.
            if (PyDict_SetItem(container.ptr(), name.ptr(), value.ptr()) != 0) return failed();
        } else if (PyList_Append(container.ptr(), value.ptr()) != 0) {
            return failed();
        }
        return true;
    }

    // A container joins its parent at once, so a dict member keeps its place.
    bool open(PyObject* created) {
        if (created == nullptr) return failed();
        const auto container = py::reinterpret_steal<py::object>(created);
        if (!add(container)) return false;
        open_.push_back(container);
        return true;
    }

    bool close() {
        open_.pop_back();
        return true;
    }

    py::object result_;
    std::vector<py::object> open_;
    std::vector<py::object> keys_;
};

std::optional<py::object> parse_utf8(const std::string& text) {
    PythonBuilder builder;
    try {
        if (!Json::sax_parse(text, &builder)) return std::nullopt;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
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
