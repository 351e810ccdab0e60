#include "module/json_answer.h"

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace marnu {
namespace {

// The answer send_to_api returned last and its document, as a tuple: an owned
// reference the module keeps between calls. Never released at exit: a
// static's destructor would run after the interpreter has ended. Holding the
// answer keeps its identity from passing to another object; bytes cannot
// change, so the same object means the same document.
PyObject* remembered = nullptr;

py::object take_remembered() { return py::reinterpret_steal<py::object>(std::exchange(remembered, nullptr)); }

// json.loads, as the provider's answers are read: its decoder, but NaN,
// Infinity and -Infinity, which no JSON text holds, are refused.
py::object json_decoder(const py::module_& json) {
    const py::cpp_function refuse_constant(
        [](py::handle constant) { raise(PyExc_ValueError, std::string(py::str(constant)) + " is not JSON"); });
    return json.attr("JSONDecoder")(py::arg("parse_constant") = refuse_constant);
}

bool is_surrogate(Py_UCS4 code_point) { return code_point >= 0xD800 && code_point <= 0xDFFF; }

bool holds_surrogate(PyObject* text) {
    const int kind = PyUnicode_KIND(text);
    if (kind == PyUnicode_1BYTE_KIND) return false;
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < length; ++i)
        if (is_surrogate(PyUnicode_READ(kind, data, i))) return true;
    return false;
}

// Whether a member name or a string anywhere in the document holds a
// surrogate. Iterative: the document may be as deep as json.loads goes.
bool document_holds_surrogate(py::handle document) {
    // Borrowed references: no Python code runs while the document is walked.
    std::vector<PyObject*> pending{document.ptr()};
    while (!pending.empty()) {
        PyObject* value = pending.back();
        pending.pop_back();
        if (PyUnicode_Check(value)) {
            if (holds_surrogate(value)) return true;
        } else if (PyList_Check(value)) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) pending.push_back(PyList_GET_ITEM(value, i));
        } else if (PyDict_Check(value)) {
            Py_ssize_t position = 0;
            PyObject* name = nullptr;
            PyObject* member = nullptr;
            while (PyDict_Next(value, &position, &name, &member)) {
                pending.push_back(name);
                pending.push_back(member);
            }
        }
    }
    return false;
}

// Whether the text may hold an escaped surrogate ("\ud800" to "\udfff").
// Looked for only in text of one byte per character, which plain server
// lists are, with a search much quicker than Python's; other text may.
bool may_hold_escaped_surrogate(const py::str& text) {
    if (PyUnicode_KIND(text.ptr()) != PyUnicode_1BYTE_KIND) return true;
    const std::string_view characters(static_cast<const char*>(PyUnicode_DATA(text.ptr())),
                                      static_cast<size_t>(PyUnicode_GET_LENGTH(text.ptr())));
    for (size_t at = characters.find("\\u"); at != std::string_view::npos; at = characters.find("\\u", at + 2))
        if (at + 2 < characters.size() && (characters[at + 2] == 'd' || characters[at + 2] == 'D')) return true;
    return false;
}

std::optional<py::object> decode_text(const py::module_& json, py::handle answer) {
    py::str text;
    if (PyUnicode_Check(answer.ptr())) {
        // A surrogate outside a string breaks the JSON text, inside one it
        // would be a lone half in the document.
        if (holds_surrogate(answer.ptr())) return std::nullopt;
        text = py::reinterpret_borrow<py::str>(answer);
    } else {
        // Strict decoding, where json.loads lets encoded surrogates through.
        text = answer.attr("decode")(json.attr("detect_encoding")(answer));
    }
    // A byte order mark is no part of a JSON text; json.loads refuses it too.
    if (PyUnicode_GET_LENGTH(text.ptr()) > 0 && PyUnicode_READ_CHAR(text.ptr(), 0) == 0xFEFF) return std::nullopt;
    py::object document = json_decoder(json).attr("decode")(text);
    // A lone surrogate can come in only escaped: look for one where it might have.
    if (may_hold_escaped_surrogate(text) && document_holds_surrogate(document))
        return std::nullopt;
    return document;
}

}  // namespace

std::optional<py::object> decode_json(py::handle answer) {
    // Imported at the first answer rather than with the module: json brings
    // re, enum and more, which would cost the client's start-up several ms.
    const py::module_ json = py::module_::import("json");
    try {
        return decode_text(json, answer);
    } catch (const py::error_already_set& failure) {
        // Invalid text or encoding, or nested deeper than the interpreter's
        // recursion limit lets json go.
        if (failure.matches(PyExc_ValueError) || failure.matches(PyExc_RecursionError)) return std::nullopt;
        throw;
    }
}

void remember_decoded(py::handle answer, std::optional<py::object> document) {
    const py::object previous = take_remembered();
    if (document) remembered = py::make_tuple(answer, *document).release().ptr();
}

py::object decoded_answer(py::handle answer) {
    if (remembered != nullptr && PyTuple_GET_ITEM(remembered, 0) == answer.ptr()) {
        // Handed out once: the caller may change the document.
        const py::object kept = take_remembered();
        return kept[py::int_(1)];
    }
    if (!byte_contents(answer) && !PyUnicode_Check(answer.ptr()))
        raise(PyExc_TypeError, "the JSON object must be str, bytes or bytearray, not " + type_name(answer));
    std::optional<py::object> document = decode_json(answer);
    if (!document) raise(PyExc_ValueError, "The provider's answer is not valid JSON.");
    return *document;
}

}  // namespace marnu
