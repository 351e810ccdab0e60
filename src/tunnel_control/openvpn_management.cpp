#include "tunnel_control/openvpn_management.h"

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "common/errors.h"

namespace marnu {
namespace {

constexpr std::string_view kRealTimeState = ">STATE:";

// The comma-separated fields of a line; the last one runs to its end.
std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> found;
    for (size_t start = 0;;) {
        const size_t comma = line.find(',', start);
        found.push_back(line.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
        if (comma == std::string_view::npos) return found;
        start = comma + 1;
    }
}

bool all_upper_or_underscore(std::string_view text) {
    if (text.empty()) return false;
    for (const char c : text)
        if (!((c >= 'A' && c <= 'Z') || c == '_')) return false;
    return true;
}

bool all_digits(std::string_view text) {
    if (text.empty()) return false;
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}

}  // namespace

std::string client_user_name() {
    passwd entry{};
    passwd* found = nullptr;
    std::string strings(4096, '\0');
    const int failed = ::getpwuid_r(::getuid(), &entry, strings.data(), strings.size(), &found);
    if (failed != 0 || found == nullptr)
        throw OsFailure(failed != 0 ? failed : ENOENT, "Could not find the name of the user running the client");
    return entry.pw_name;
}

std::optional<OpenvpnState> parse_state_line(std::string_view line) {
    if (line.starts_with(kRealTimeState)) line.remove_prefix(kRealTimeState.size());
    const std::vector<std::string_view> parts = fields(line);
    // time,NAME,reason,local,remote,...: anything else is another answer.
    if (parts.size() < 3 || !all_digits(parts[0]) || !all_upper_or_underscore(parts[1])) return std::nullopt;
    OpenvpnState state{.name = std::string(parts[1]), .reason = std::string(parts[2]), .remote = {}};
    if (parts.size() > 4) state.remote = parts[4];
    return state;
}

std::optional<ManagementConnection> ManagementConnection::open(const char* path) {
    struct stat info {};
    if (::lstat(path, &info) != 0 || !S_ISSOCK(info.st_mode) || info.st_uid != 0) return std::nullopt;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) return std::nullopt;
    std::strcpy(address.sun_path, path);
    UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return std::nullopt;
    return ManagementConnection(std::move(fd));
}

bool ManagementConnection::send(std::string_view command) const {
    while (!command.empty()) {
        const ssize_t sent = ::send(fd_.get(), command.data(), command.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        command.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
}

std::optional<std::vector<std::string>> ManagementConnection::read_lines() {
    char chunk[4096];
    ssize_t got = 0;
    while ((got = ::recv(fd_.get(), chunk, sizeof chunk, MSG_DONTWAIT)) < 0 && errno == EINTR) {
    }
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return std::nullopt;
    if (got > 0) pending_.append(chunk, static_cast<size_t>(got));
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
        std::string line = pending_.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
    }
    pending_.erase(0, start);
    // OpenVPN's lines are short; a flood without line ends is not kept.
    if (pending_.size() > 65536) pending_.clear();
    return lines;
}

}  // namespace marnu
