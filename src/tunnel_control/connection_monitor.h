// What the connection monitor makes of the connection command's output.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace marnu {

// OpenVPN writes this once the tunnel is up.
inline constexpr std::string_view kConnectedMarker = "Initialization Sequence Completed";

// How long OpenVPN may try without reporting the tunnel up, counted from its
// first line: its own default for trying to connect. What comes before it
// (sudo's password prompt, an installation of OpenVPN) does not count.
inline constexpr std::chrono::seconds kOpenvpnTimeLimit{120};

// Thrown by a wait that outlasted the time limit.
struct TimeLimitReached {};

class ConnectionMonitor {
public:
    enum class Verdict {
        read_on,
        connected,  // the tunnel is up
        give_up,    // the line budget or the time limit is spent
    };
    using Clock = std::chrono::steady_clock;

    // Lines read before the command is given up: 80 for an OpenVPN command
    // (installation and ferm restart lines count too), 20 for anything else.
    explicit ConnectionMonitor(std::string_view command);

    // Takes the next line of output (ending in "\n"), read at `now`. The
    // marker counts even on the last line of the budget or at the time limit.
    Verdict take(std::string_view line, Clock::time_point now = Clock::now());

    // OpenVPN has started: its first line was read at `now`, and from then on
    // the time limit runs.
    void openvpn_started(Clock::time_point now);
    bool openvpn_has_started() const { return deadline_.has_value(); }
    // Whether the time limit is spent at `now`.
    bool out_of_time(Clock::time_point now) const { return deadline_ && now >= *deadline_; }

    // Keeps a line that came after the command was given up, for the
    // debug dump only.
    void keep(std::string_view line) { output_ += line; }

    // Whether the output holds sudo's refusal to run anything for the user:
    // on Tails, that means no administration password was set at start.
    bool reports_sudo_refusal() const;

    // The output so far as shown in debug mode: every "secure" removed, and
    // control characters made visible (see visible_text.h).
    std::string debug_dump() const;

private:
    std::size_t budget_;
    std::size_t lines_ = 0;
    std::optional<Clock::time_point> deadline_;
    std::string output_;
};

}  // namespace marnu
