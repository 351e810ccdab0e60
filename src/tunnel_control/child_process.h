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
    // With terminal_fd >= 0 (our controlling terminal, whose foreground we
    // are) the child gets a process group of its own, made the terminal's
    // foreground before the command runs.
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

    void terminate() const;
    // Waits for the end and returns its exit code: the exit status, or minus
    // the signal number for a child killed by a signal.
    int wait(const InterruptCheck& interrupted);
    // Gives up ownership; the caller reaps the process.
    pid_t release();

private:
    explicit ChildProcess(pid_t pid) : pid_(pid) {}
    pid_t pid_ = -1;
};

// The exit code of a wait status: the exit status, or minus the signal number.
int exit_code(int status);

// Runs a command that shares the console and waits for it; returns its exit code.
int run_sharing_console(const std::string& command, const InterruptCheck& interrupted);

}  // namespace marnu
