// send_to_api(query): one request to the provider through Tor. The body comes
// back as received, or 0 after a refusal.
#include "api/api_url.h"
#include "api/http_get.h"
#include "module/console.h"
#include "module/json_answer.h"
#include "module/operations.h"

namespace marnu::ops {
namespace {

// The request headers as the module holds them now.
HttpHeaders request_headers() {
    HttpHeaders headers;
    for (const py::handle item : module_value("HEADERS").attr("items")()) {
        const py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        headers.emplace_back(text_argument(pair[0], "a HEADERS name"), text_argument(pair[1], "a HEADERS value"));
    }
    return headers;
}

// The provider's success flag is the text "1"; anything else is a refusal.
// JSON without that envelope fails the lookup with Python's own error
// (KeyError, TypeError).
bool accepted(py::handle document) {
    const py::object status = document[py::str("data")][py::str("status")];
    return PyUnicode_Check(status.ptr()) && PyUnicode_CompareWithASCIIString(status.ptr(), "1") == 0;
}

}  // namespace

py::object send_to_api(py::object query) {
    const std::string url = api_request_url(text_argument(module_value("API_KEY"), "API_KEY"),
                                            text_argument(query, "query"));
    const HttpHeaders headers = request_headers();
    std::string body;
    {
        const InterruptCheck interrupted = python_interrupt_check();
        const py::gil_scoped_release without_gil;
        body = http_get(url, headers, interrupted);
    }
    const py::bytes answer(body);
    // A body that is not JSON (the key bundle, an error page) goes back as it is.
    const std::optional<py::object> document = decode_json(answer);
    if (document && !accepted(*document)) {
        console::print("[-] Could not communicate with server, wrong credentials or could not connect to server.");
        return py::int_(0);
    }
    remember_decoded(answer, document);
    return answer;
}

}  // namespace marnu::ops
