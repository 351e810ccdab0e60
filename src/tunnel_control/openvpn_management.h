// OpenVPN's management interface as the client's user reaches it: root's
// OpenVPN listens on a Unix socket in /run and answers that user only. The
// client follows OpenVPN's state changes there and asks it to restart its
// connection, neither of which needs root.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/unique_fd.h"

namespace marnu {

// One of OpenVPN's state lines: ">STATE:time,NAME,reason,local,remote,..."
// as it reports a change, or the same without ">STATE:" in the answer to
// "state". `remote` is the server's address once connected, else empty.
struct OpenvpnState {
    std::string name;    // CONNECTING, WAIT, AUTH, ..., CONNECTED, RECONNECTING, EXITING
    std::string reason;  // e.g. "SIGUSR1", "ping-restart", "SUCCESS"
    std::string remote;
};

// The name of the user the client runs as, whom the management socket is to
// answer. OsFailure when the system does not know it.
std::string client_user_name();

// The state a management line reports, or nothing for any other line.
std::optional<OpenvpnState> parse_state_line(std::string_view line);

class ManagementConnection {
public:
    // Connects to the socket at `path` when it is a socket of root's (a file
    // anyone else made is never trusted); nothing when there is none to reach.
    static std::optional<ManagementConnection> open(const char* path);

    int fd() const { return fd_.get(); }
    // Sends one command (its line end included); false once OpenVPN has gone.
    bool send(std::string_view command) const;
    // The complete lines that have come, without their line ends; nothing
    // once the connection has ended. Call when fd() is readable.
    std::optional<std::vector<std::string>> read_lines();

private:
    explicit ManagementConnection(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
    std::string pending_;
};

}  // namespace marnu
