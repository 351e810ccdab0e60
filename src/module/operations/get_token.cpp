// get_token(username, password): the login. Returns the provider's token, or 0
// when the provider refused.
#include "api/api_url.h"
#include "module/console.h"
#include "module/json_answer.h"
#include "module/operations.h"

namespace marnu::ops {

py::object get_token(py::object username, py::object password) {
    const std::string query =
        authentication_query(text_argument(username, "username"), text_argument(password, "password"));
    console::print("\n[*] Authenticating, please wait... ");
    const py::object answer = call_operation("send_to_api", from_utf8(query));
    if (answer.equal(py::int_(0))) return py::int_(0);
    console::print("[+] Authentication successful.");
    return decoded_answer(answer)[py::str("data")][py::str("cookie_id")];
}

}  // namespace marnu::ops
