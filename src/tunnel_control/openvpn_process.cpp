#include "tunnel_control/openvpn_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <string_view>

#include "common/ascii.h"
#include "common/unique_fd.h"

namespace marnu {
namespace {

struct DirectoryClose {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

// The process's command name, as /proc shows it (what killall matches).
bool named_openvpn(int proc, const char* pid) {
    const UniqueFd comm(::openat(proc, (std::string(pid) + "/comm").c_str(), O_RDONLY | O_CLOEXEC));
    if (!comm) return false;  // ended meanwhile
    char name[32];
    const ssize_t length = ::read(comm.get(), name, sizeof name);
    return length > 0 && std::string_view(name, static_cast<size_t>(length)) == "openvpn\n";
}

}  // namespace

bool openvpn_running() {
    const std::unique_ptr<DIR, DirectoryClose> proc(::opendir("/proc"));
    if (!proc) return false;
    while (const dirent* entry = ::readdir(proc.get())) {
        if (ascii::is_digit(entry->d_name[0]) && named_openvpn(::dirfd(proc.get()), entry->d_name))
            return true;
    }
    return false;
}

}  // namespace marnu
