// get_servers(username, password): the provider's server list, its "data"
// object in the order received.
#include "api/api_url.h"
#include "module/json_answer.h"
#include "module/operations.h"

namespace marnu::ops {

py::object get_servers(py::object username, py::object password) {
    const std::string query =
        server_list_query(text_argument(username, "username"), text_argument(password, "password"));
    const py::object answer = call_operation("send_to_api", from_utf8(query));
    return decoded_answer(answer)[py::str("data")];
}

}  // namespace marnu::ops
