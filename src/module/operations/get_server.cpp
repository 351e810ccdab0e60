// get_server(username, password): downloads the keys, lists the provider's
// servers numbered and returns the record of the one the user picks, with
// its "name" set.
#include <optional>
#include <vector>

#include "api/key_bundle.h"
#include "api/server_settings_check.h"
#include "common/visible_text.h"
#include "module/console.h"
#include "module/operations.h"

namespace marnu::ops {
namespace {

struct ListedServer {
    py::object name;
    py::object record;
};

// The members of the server list that are server records (objects), in the
// order received; the provider's "status" member is not one of them.
std::vector<ListedServer> listed_servers(const py::object& servers) {
    if (!PyDict_Check(servers.ptr()))
        raise(PyExc_TypeError, "The server list must be a dict, not " + type_name(servers));
    // A snapshot of the members: printing runs Python code, which must not
    // change what is being listed.
    const auto items = py::reinterpret_steal<py::list>(PyDict_Items(servers.ptr()));
    if (!items) throw py::error_already_set();
    std::vector<ListedServer> listed;
    for (const py::handle item : items) {
        const py::tuple member = py::reinterpret_borrow<py::tuple>(item);
        if (PyDict_Check(member[1].ptr())) listed.push_back({member[0], member[1]});
    }
    return listed;
}

// A member of the record that must be text; nothing when it is missing or not text.
std::optional<std::string> text_member(const py::object& record, const char* name) {
    PyObject* value = PyDict_GetItemString(record.ptr(), name);
    if (value == nullptr || !PyUnicode_Check(value)) return std::nullopt;
    return to_utf8(value);
}

// These settings go verbatim into root's OpenVPN profile and firewall rules.
bool usable_settings(const py::object& record) {
    const auto address = text_member(record, "address");
    const auto port = text_member(record, "port");
    const auto protocol = text_member(record, "proto");
    return address && port && protocol && usable_server_settings(*address, *port, *protocol);
}

// A server's name as the terminal shows it: it comes from the provider, and
// no control character in it may reach the terminal.
std::string shown_name(const ListedServer& server) { return visible_text(to_utf8(py::str(server.name))); }

[[noreturn]] void refuse(const std::string& message) {
    console::print("[-] " + message);
    raise(PyExc_ValueError, message);
}

}  // namespace

py::object get_server(py::object username, py::object password) {
    console::print("\n[*] Getting servers...\n");
    enter_key_directory();
    call_operation("download_keys", username, password);
    const std::vector<ListedServer> servers = listed_servers(call_operation("get_servers", username, password));
    for (size_t i = 0; i < servers.size(); ++i)
        console::print(std::to_string(i + 1) + ". " + shown_name(servers[i]));
    if (servers.empty()) refuse("No VPN servers are available for this account.");

    const py::object choice = call_operation("get_input", py::int_(servers.size()));
    const long long number = py::int_(choice).cast<long long>();
    if (number < 1 || static_cast<size_t>(number) > servers.size())
        raise(PyExc_IndexError, "The choice " + std::to_string(number) + " is not one of the listed servers.");
    const ListedServer& chosen = servers[static_cast<size_t>(number) - 1];

    if (!usable_settings(chosen.record))
        refuse("The provider sent unusable settings for server " + shown_name(chosen) + ".");
    chosen.record[py::str("name")] = chosen.name;
    return chosen.record;
}

}  // namespace marnu::ops
