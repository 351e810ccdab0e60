#include "tunnel_control/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
// glibc 2.36 (Debian 12) declares pidfd_open without C linkage for C++.
extern "C" {
#include <sys/pidfd.h>
}

#include <cerrno>
#include <utility>

#include "common/errors.h"
#include "common/unique_fd.h"

extern char** environ;

namespace marnu {
namespace {

// posix_spawn's owners: attributes and file actions are destroyed on every path.
struct SpawnAttributes {
    posix_spawnattr_t value;
    SpawnAttributes() { posix_spawnattr_init(&value); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&value); }
};

struct SpawnFileActions {
    posix_spawn_file_actions_t value;
    SpawnFileActions() { posix_spawn_file_actions_init(&value); }
    ~SpawnFileActions() { posix_spawn_file_actions_destroy(&value); }
};

// Non-blocking reap; returns true and sets `status` once the child has ended.
bool try_reap(pid_t pid, int& status) {
    for (;;) {
        const pid_t got = ::waitpid(pid, &status, WNOHANG);
        if (got == pid) return true;
        if (got == 0) return false;
        if (errno != EINTR) throw_errno("Could not wait for child process " + std::to_string(pid), "");
    }
}

}  // namespace

int exit_code(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    return -1;
}

ChildProcess ChildProcess::spawn_shell(const std::string& command, const ShellOptions& options) {
    SpawnAttributes attributes;
    // Python ignores SIGPIPE and SIGXFSZ; the shell and its tools expect the defaults.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGXFSZ);
    sigset_t no_mask;
    sigemptyset(&no_mask);
    posix_spawnattr_setsigdefault(&attributes.value, &defaults);
    posix_spawnattr_setsigmask(&attributes.value, &no_mask);
    short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;

    SpawnFileActions actions;
    const bool own_group = options.own_process_group || options.terminal_fd >= 0;
    if (own_group) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attributes.value, 0);
    }
    if (options.terminal_fd >= 0) {
        // The terminal's Ctrl+C and hangup reach the child's group instead
        // of ours. The child makes it the foreground itself, before the
        // command can read the terminal (with every signal still blocked, so
        // SIGTTOU cannot stop it).
        posix_spawn_file_actions_addtcsetpgrp_np(&actions.value, options.terminal_fd);
    }
    posix_spawnattr_setflags(&attributes.value, flags);
    if (options.input_from_null) posix_spawn_file_actions_addopen(&actions.value, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (options.output_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions.value, options.output_fd, STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions.value, options.output_fd, STDERR_FILENO);
    }
    // Root's commands get the standard streams and nothing else of ours, even
    // a descriptor that a library opened without close-on-exec.
    posix_spawn_file_actions_addclosefrom_np(&actions.value, STDERR_FILENO + 1);

    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, "/bin/sh", &actions.value, &attributes.value,
                                 const_cast<char* const*>(argv), environ);
    if (rc != 0) {
        errno = rc;
        throw_errno("Could not start the system shell", "/bin/sh");
    }
    return ChildProcess(pid, own_group);
}

ChildProcess::~ChildProcess() {
    if (pid_ <= 0) return;
    terminate();
    // Reap it if it ends within a second; otherwise leave it rather than hang.
    for (int i = 0; i < 20; ++i) {
        int status = 0;
        const pid_t got = ::waitpid(pid_, &status, WNOHANG);
        if (got == pid_ || (got < 0 && errno != EINTR)) return;
        ::poll(nullptr, 0, 50);
    }
}

void ChildProcess::terminate() const {
    if (pid_ > 0) ::kill(group_leader_ ? -pid_ : pid_, SIGTERM);
}

pid_t ChildProcess::release() { return std::exchange(pid_, -1); }

int ChildProcess::wait(const InterruptCheck& interrupted) {
    int status = 0;
    // A pidfd lets us sleep until the child ends and still look for Ctrl+C.
    UniqueFd pidfd(::pidfd_open(pid_, 0));
    while (!try_reap(pid_, status)) {
        if (pidfd) {
            pollfd entry{pidfd.get(), POLLIN, 0};
            ::poll(&entry, 1, kInterruptPollMs);
        } else {
            ::poll(nullptr, 0, 20);
        }
        if (interrupted) interrupted();
    }
    pid_ = -1;
    return exit_code(status);
}

int run_sharing_console(const std::string& command, const InterruptCheck& interrupted) {
    ChildProcess child = ChildProcess::spawn_shell(command);
    return child.wait(interrupted);
}

}  // namespace marnu
