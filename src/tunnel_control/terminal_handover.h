// The user's terminal, lent to the connection command while it starts.
//
// While the command runs up to the tunnel's marker, its process group is
// the terminal's foreground: sudo can ask for the administration password,
// and a Ctrl+C stops the attempt rather than the client. Then the client
// takes the terminal back, and the tunnel's group is left in the
// background, where the terminal's Ctrl+C and hangup no longer reach it.
#pragma once

#include <signal.h>
#include <termios.h>

#include "common/unique_fd.h"

namespace marnu {

class TerminalHandover {
public:
    // Lends nothing (terminal() is -1) unless this process has a
    // controlling terminal whose foreground is its own process group.
    TerminalHandover();
    TerminalHandover(const TerminalHandover&) = delete;
    TerminalHandover& operator=(const TerminalHandover&) = delete;
    ~TerminalHandover() { take_back(); }

    // The terminal to give a child's process group (ShellOptions::terminal_fd).
    int terminal() const { return terminal_.get(); }
    // Makes our process group the foreground again, with the terminal's
    // settings as they were when it was lent. Idempotent.
    void take_back();

private:
    UniqueFd terminal_;
    termios settings_{};
    // SIGTTOU is held while the terminal is lent: writing the progress dots
    // from the background, or taking the foreground back, must never stop
    // the client.
    sigset_t previous_mask_{};
};

}  // namespace marnu
