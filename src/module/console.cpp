#include "module/console.h"

#include <termios.h>
#include <unistd.h>

#include "api/kept_request_handle.h"
#include "common/wait_readable.h"
#include "module/python.h"
#include "tunnel_control/tunnel_watch.h"

namespace marnu::console {
namespace {

py::object stream(const char* name) { return py::module_::import("sys").attr(name); }

// Turns terminal echo off for its lifetime. Nothing typed is discarded: the
// change takes effect at once (TCSANOW), unlike a flushing change.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd) {
        if (fd_ < 0 || !::isatty(fd_) || ::tcgetattr(fd_, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = ::tcsetattr(fd_, TCSANOW, &quiet) == 0;
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
    ~EchoOff() {
        if (active_) ::tcsetattr(fd_, TCSANOW, &saved_);
    }
    bool active() const { return active_; }

private:
    int fd_;
    termios saved_{};
    bool active_ = false;
};

int stdin_descriptor() {
    try {
        return stream("stdin").attr("fileno")().cast<int>();
    } catch (const py::error_already_set&) {
        return -1;  // replaced by an object without a descriptor: not a terminal
    }
}

// A terminal in canonical mode hands over at most one line per read, so
// sys.stdin never holds typed text back and the descriptor alone tells
// whether a line is there. A pipe or file may have lines waiting in Python's
// buffer instead.
bool hands_over_whole_lines(int fd) {
    termios settings{};
    return fd >= 0 && ::isatty(fd) && ::tcgetattr(fd, &settings) == 0 && (settings.c_lflag & ICANON) != 0;
}

std::string exit_description(int exit_code) {
    return exit_code >= 0 ? "[*] OpenVPN's exit status: " + std::to_string(exit_code) + "."
                          : "[*] OpenVPN was ended by signal " + std::to_string(-exit_code) + ".";
}

std::string_view notice_line(TunnelNotice notice) {
    switch (notice) {
        case TunnelNotice::down:
            return "[-] The VPN connection is down: it is being re-established, and Tor waits until it is back.";
        case TunnelNotice::back:
            break;
    }
    return "[+] The VPN connection is back up: Tor goes through it again.";
}

// A tunnel that ended on its own leaves Tor confined to a tunnel that is
// gone, and one that went down leaves Tor waiting: the user hears of it at
// once, then the prompt shows again and the line typed so far goes on. Once
// the tunnel has ended, what was said of its coming back is moot.
void tell_of_tunnel_news(std::string_view prompt) {
    const std::optional<int> end = take_unexpected_tunnel_end();
    const std::vector<TunnelNotice> notices = take_tunnel_notices();
    if (!module_flag("CONNECTED") || (!end && notices.empty())) return;
    if (end) {
        print("\n\n[-] The VPN connection has ended: Tor is blocked until you disconnect (2).");
        if (module_flag("DEBUG")) print(exit_description(*end));
    } else {
        for (const TunnelNotice notice : notices) print("\n\n" + std::string(notice_line(notice)));
    }
    write(prompt);
    flush();
}

py::str read_stdin_line(std::string_view prompt) {
    release_kept_request_handle();
    // A Ctrl+C that comes after the last look for signals but before the read
    // blocks would wait for the next line: on a terminal the wait for the line
    // looks for it again and again; elsewhere one look right before the read
    // is what can be done. The same goes for the end of a tunnel.
    if (const int fd = stdin_descriptor(); hands_over_whole_lines(fd)) {
        const InterruptCheck interrupted_or_ended = [prompt] {
            const py::gil_scoped_acquire with_gil;
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            tell_of_tunnel_news(prompt);
        };
        const py::gil_scoped_release without_gil;
        wait_until_readable(fd, interrupted_or_ended);
    } else {
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        tell_of_tunnel_news(prompt);
    }
    const py::str line = stream("stdin").attr("readline")();
    if (py::len(line) == 0) raise(PyExc_EOFError, "EOF when reading a line");
    return line.attr("removesuffix")("\n");
}

}  // namespace

void write(std::string_view text) { stream("stdout").attr("write")(from_utf8(text)); }

void print(std::string_view text) {
    std::string line(text);
    line.push_back('\n');
    write(line);
}

void flush() { stream("stdout").attr("flush")(); }

py::str read_line(std::string_view prompt) {
    write(prompt);
    flush();
    return read_stdin_line(prompt);
}

py::str read_password(std::string_view prompt) {
    const EchoOff echo_off(stdin_descriptor());
    write(prompt);
    flush();
    py::str password = read_stdin_line(prompt);
    if (echo_off.active()) {
        // The user's Enter was not echoed either.
        write("\n");
        flush();
    }
    return password;
}

}  // namespace marnu::console
