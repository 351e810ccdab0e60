#include "tunnel_control/openvpn_process.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <string>
#include <string_view>

#include "common/unique_dir.h"
#include "common/unique_fd.h"

namespace marnu {
namespace {

// A file of a process as /proc shows it to anyone (its start, which is all
// that is read of it); empty once the process has ended.
std::string proc_file(int proc, const std::string& pid, const char* name) {
    const UniqueFd file(::openat(proc, (pid + "/" + name).c_str(), O_RDONLY | O_CLOEXEC));
    if (!file) return {};
    char text[4096];
    const ssize_t length = ::read(file.get(), text, sizeof text);
    return length > 0 ? std::string(text, static_cast<size_t>(length)) : std::string();
}

// The value of a "Name:\tvalue" line of a status.
std::string_view field(std::string_view status, std::string_view name) {
    for (size_t start = 0; start < status.size();) {
        const size_t end = std::min(status.find('\n', start), status.size());
        const std::string_view line = status.substr(start, end - start);
        if (line.size() > name.size() + 1 && line.starts_with(name) && line.substr(name.size(), 2) == ":\t")
            return line.substr(name.size() + 2);
        start = end + 1;
    }
    return {};
}

// How many PID namespaces down from this one's root a process sits: its
// PIDs, one a namespace, in "NSpid". A process of a container or sandbox
// started on this system sits deeper than this system's own processes.
size_t namespace_depth(std::string_view status) {
    const std::string_view pids = field(status, "NSpid");
    return static_cast<size_t>(std::count(pids.begin(), pids.end(), '\t')) + (pids.empty() ? 0 : 1);
}

size_t own_namespace_depth() {
    static const size_t depth = [] {
        const UniqueDir proc(::opendir("/proc"));
        return proc ? namespace_depth(proc_file(::dirfd(proc.get()), "self", "status")) : 0;
    }();
    return depth;
}

}  // namespace

std::vector<pid_t> openvpn_processes() {
    std::vector<pid_t> found;
    const UniqueDir proc(::opendir("/proc"));
    if (!proc) return found;
    while (const dirent* entry = ::readdir(proc.get())) {
        const std::string_view name = entry->d_name;
        pid_t pid = 0;
        if (name.empty() || std::from_chars(name.data(), name.data() + name.size(), pid).ptr != name.data() + name.size())
            continue;
        // The command name (what killall matches), of this system's processes only.
        const int proc_fd = ::dirfd(proc.get());
        if (proc_file(proc_fd, entry->d_name, "comm") == "openvpn\n" &&
            namespace_depth(proc_file(proc_fd, entry->d_name, "status")) <= own_namespace_depth())
            found.push_back(pid);
    }
    return found;
}

bool openvpn_running() { return !openvpn_processes().empty(); }

bool openvpn_started_since(const std::vector<pid_t>& earlier) {
    const std::vector<pid_t> now = openvpn_processes();
    return std::any_of(now.begin(), now.end(), [&](pid_t pid) {
        return std::find(earlier.begin(), earlier.end(), pid) == earlier.end();
    });
}

}  // namespace marnu
