// How the account password reaches OpenVPN without a copy anywhere else: no
// command line, environment, log or file holds it. The client offers it on a
// FIFO in a folder of its own in /tmp (mode 0700: root may open it, no other
// user), and OpenVPN's --askpass reads it from there; the password only ever
// passes through the kernel's pipe buffer.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <thread>

#include "common/unique_fd.h"

namespace marnu {

class PasswordHandover {
public:
    // Makes the folder and the FIFO and starts offering `password` and a line
    // feed to the first reader. OsFailure when /tmp refuses them.
    explicit PasswordHandover(std::string_view password);
    PasswordHandover(const PasswordHandover&) = delete;
    PasswordHandover& operator=(const PasswordHandover&) = delete;
    // Stops offering and removes the FIFO and its folder, whether or not the
    // password was read.
    ~PasswordHandover();

    // The FIFO, for OpenVPN's --askpass.
    const std::string& path() const { return fifo_; }

private:
    void offer();
    void remove_files() const;

    std::string folder_;
    std::string fifo_;
    std::string secret_;
    UniqueFd fifo_itself_;
    std::atomic<bool> stop_ = false;
    std::thread writer_;
};

// Removes the hand-over folders in /tmp that clients no longer running left
// behind (a client that was killed cannot remove its own).
void remove_stale_handovers();

}  // namespace marnu
