// A command whose merged standard output and error the client reads line by
// line. Lines end at "\n", "\r\n" or a lone "\r" and are delivered ending in
// "\n" (a last line without a line end is delivered as it is).
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "common/interrupt.h"
#include "common/unique_fd.h"
#include "tunnel_control/child_process.h"
#include "tunnel_control/tunnel_watch.h"

namespace marnu {

class PipedCommand {
public:
    // Starts `command` as `options` say; its output always comes here.
    explicit PipedCommand(const std::string& command, ShellOptions options = {});

    // The next line, or nothing once the output has ended.
    std::optional<std::string> read_line(const InterruptCheck& interrupted);
    // Asks the child to terminate (SIGTERM).
    void terminate() const { child_.terminate(); }
    // Waits for the child; 0 only for a normal exit with status 0.
    int wait(const InterruptCheck& interrupted) { return child_.wait(interrupted); }
    // Leaves the child running: a background thread keeps reading (and
    // discarding) its output so it never blocks on a full pipe, then reaps
    // it, and reports the end of a watched tunnel (see tunnel_watch.h).
    void keep_running_in_background(std::optional<TunnelId> tunnel = std::nullopt);

private:
    PipedCommand(const std::string& command, ShellOptions options, std::pair<UniqueFd, UniqueFd> pipe);
    // Fills the buffer; false at the end of the output.
    bool read_more(const InterruptCheck& interrupted);

    UniqueFd output_;
    ChildProcess child_;
    std::string buffer_;
    size_t start_ = 0;           // first unread byte of buffer_
    bool skip_line_feed_ = false;  // a "\r" ended the last line; drop a "\n" right after it
    bool ended_ = false;
};

}  // namespace marnu
