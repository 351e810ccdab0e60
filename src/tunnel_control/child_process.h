// A child started through the system shell, owned until it is reaped.
#pragma once

#include <sys/types.h>

#include <string>

#include "common/interrupt.h"

namespace marnu {

// How a command is started.
struct ShellOptions {
    // With output_fd >= 0 the child's standard output and error both go to
    // that descriptor; otherwise it shares ours.
    int output_fd = -1;
    // Standard input from /dev/null instead of ours.
    bool input_from_null = false;
    // A process group of its own, which terminate() ends as a whole: sudo
    // passes the signal on to root's command, which we may not signal.
    bool own_process_group = false;
    // With terminal_fd >= 0 (our controlling terminal, whose foreground we
    // are) the child's own process group is made the terminal's foreground
    // before the command runs.
    int terminal_fd = -1;
};

class ChildProcess {
public:
    // Runs `/bin/sh -c command` as `options` say.
    static ChildProcess spawn_shell(const std::string& command, const ShellOptions& options = {});

    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    // An unreaped child is asked to terminate and reaped if it ends soon.
    ~ChildProcess();

    // Asks the child (its whole process group, when it has one) to terminate.
    void terminate() const;
    // Waits for the end and returns its exit code: the exit status, or minus
    // the signal number for a child killed by a signal.
    int wait(const InterruptCheck& interrupted);
    // Gives up ownership; the caller reaps the process.
    pid_t release();

private:
    ChildProcess(pid_t pid, bool group_leader) : pid_(pid), group_leader_(group_leader) {}
    pid_t pid_ = -1;
    bool group_leader_ = false;
};

// The exit code of a wait status: the exit status, or minus the signal number.
int exit_code(int status);

// Runs a command that shares the console and waits for it; returns its exit code.
int run_sharing_console(const std::string& command, const InterruptCheck& interrupted);

}  // namespace marnu
