#include "tunnel_control/terminal_handover.h"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

namespace marnu {

TerminalHandover::TerminalHandover() {
    UniqueFd terminal(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!terminal || ::tcgetpgrp(terminal.get()) != ::getpgrp() || ::tcgetattr(terminal.get(), &settings_) != 0)
        return;
    sigset_t ttou;
    sigemptyset(&ttou);
    sigaddset(&ttou, SIGTTOU);
    pthread_sigmask(SIG_BLOCK, &ttou, &previous_mask_);
    terminal_ = std::move(terminal);
}

void TerminalHandover::take_back() {
    if (!terminal_) return;
    ::tcsetpgrp(terminal_.get(), ::getpgrp());
    // Whatever the command did to the terminal's mode (a root tool may have
    // left it raw) is undone: the menu reads cooked lines.
    ::tcsetattr(terminal_.get(), TCSANOW, &settings_);
    terminal_.reset();
    pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
}

}  // namespace marnu
