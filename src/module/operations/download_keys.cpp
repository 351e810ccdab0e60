// download_keys(username, password): fetches the account's key bundle and
// unpacks it into /tmp/.
#include "api/api_url.h"
#include "api/key_bundle.h"
#include "common/host_paths.h"
#include "module/operations.h"

namespace marnu::ops {

py::object download_keys(py::object username, py::object password) {
    const std::string query =
        key_bundle_query(text_argument(username, "username"), text_argument(password, "password"));
    const py::object answer = call_operation("send_to_api", from_utf8(query));
    const std::optional<std::string_view> bytes = byte_contents(answer);
    if (!bytes) raise(PyExc_TypeError, "The key bundle must be bytes, not " + type_name(answer));
    // Unpacked without the Python lock: a bytes object cannot change
    // meanwhile, a bytearray could, so only that is copied first.
    std::string copy;
    std::string_view archive = *bytes;
    if (!PyBytes_Check(answer.ptr())) archive = copy.assign(*bytes);
    {
        const py::gil_scoped_release without_gil;
        extract_key_bundle(archive, kKeyDirectory);
    }
    return py::none();
}

}  // namespace marnu::ops
