#include "tunnel_control/piped_command.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "common/errors.h"
#include "tunnel_control/utf8_repair.h"

namespace marnu {
namespace {

// Read end first, write end second.
std::pair<UniqueFd, UniqueFd> open_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw_errno("Could not create a pipe", "");
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Our copy of the write end is closed right after the spawn, so that the end
// of the child's output is seen.
ChildProcess spawn_into(const std::string& command, ShellOptions options, UniqueFd write_end) {
    options.output_fd = write_end.get();
    return ChildProcess::spawn_shell(command, options);
}

void drain_and_reap(int fd, pid_t pid, std::optional<TunnelId> tunnel) {
    char scratch[65536];
    for (;;) {
        const ssize_t n = ::read(fd, scratch, sizeof scratch);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    ::close(fd);
    int status = 0;
    pid_t got = -1;
    while ((got = ::waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (tunnel && got == pid) tunnel_ended(*tunnel, exit_code(status));
}

}  // namespace

PipedCommand::PipedCommand(const std::string& command, ShellOptions options)
    : PipedCommand(command, options, open_pipe()) {}

PipedCommand::PipedCommand(const std::string& command, ShellOptions options, std::pair<UniqueFd, UniqueFd> pipe)
    : output_(std::move(pipe.first)), child_(spawn_into(command, options, std::move(pipe.second))) {}

std::optional<std::string> PipedCommand::read_line(const InterruptCheck& interrupted) {
    for (;;) {
        if (skip_line_feed_ && start_ < buffer_.size()) {
            if (buffer_[start_] == '\n') ++start_;
            skip_line_feed_ = false;
        }
        const size_t end = buffer_.find_first_of("\r\n", start_);
        if (end != std::string::npos) {
            std::string line = repair_utf8(std::string_view(buffer_).substr(start_, end - start_));
            line.push_back('\n');
            if (buffer_[end] == '\r') {
                if (end + 1 < buffer_.size()) {
                    start_ = buffer_[end + 1] == '\n' ? end + 2 : end + 1;
                } else {
                    // The "\n" of a "\r\n" may still be on its way; deliver now, drop it later.
                    start_ = end + 1;
                    skip_line_feed_ = true;
                }
            } else {
                start_ = end + 1;
            }
            return line;
        }
        if (ended_ || !read_more(interrupted)) {
            ended_ = true;
            if (start_ >= buffer_.size()) return std::nullopt;
            std::string last = repair_utf8(std::string_view(buffer_).substr(start_));
            buffer_.clear();
            start_ = 0;
            return last;
        }
    }
}

bool PipedCommand::read_more(const InterruptCheck& interrupted) {
    if (start_ > 0) {
        buffer_.erase(0, start_);
        start_ = 0;
    }
    char chunk[65536];
    for (;;) {
        pollfd entry{output_.get(), POLLIN, 0};
        const int ready = ::poll(&entry, 1, kInterruptPollMs);
        if (ready > 0) {
            const ssize_t n = ::read(output_.get(), chunk, sizeof chunk);
            if (n > 0) {
                buffer_.append(chunk, static_cast<size_t>(n));
                return true;
            }
            if (n == 0) return false;
            if (errno != EINTR && errno != EAGAIN) throw_errno("Could not read the command's output", "");
        } else if (ready < 0 && errno != EINTR) {
            throw_errno("Could not wait for the command's output", "");
        }
        if (interrupted) interrupted();
    }
}

void PipedCommand::keep_running_in_background(std::optional<TunnelId> tunnel) {
    const int fd = output_.release();
    const pid_t pid = child_.release();
    // The drain thread takes no signals, so Ctrl+C always reaches the main thread.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        std::thread(drain_and_reap, fd, pid, tunnel).detach();
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        ::close(fd);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

}  // namespace marnu
