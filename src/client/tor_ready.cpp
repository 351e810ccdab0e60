#include "client/tor_ready.h"

#include <poll.h>
#include <sys/stat.h>

#include "common/host_paths.h"

namespace marnu {
namespace {

bool exists(const char* path) {
    struct stat info {};
    return ::stat(path, &info) == 0;
}

}  // namespace

bool tor_starting() { return exists(kTorBootstrappedFolder) && !exists(kTorBootstrappedFlag); }

bool wait_until_tor_ready(std::chrono::milliseconds limit, const InterruptCheck& interrupted) {
    const auto give_up_at = std::chrono::steady_clock::now() + limit;
    while (tor_starting()) {
        if (std::chrono::steady_clock::now() >= give_up_at) return false;
        ::poll(nullptr, 0, kInterruptPollMs);
        if (interrupted) interrupted();
    }
    return true;
}

}  // namespace marnu
