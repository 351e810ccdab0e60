// What the connection monitor makes of the connection command's output.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace marnu {

// OpenVPN writes this once the tunnel is up.
inline constexpr std::string_view kConnectedMarker = "Initialization Sequence Completed";

class ConnectionMonitor {
public:
    enum class Verdict {
        read_on,
        connected,  // the tunnel is up
        give_up,    // the line budget is spent
    };

    // Lines read before the command is given up: 80 for an OpenVPN command
    // (installation and ferm restart lines count too), 20 for anything else.
    explicit ConnectionMonitor(std::string_view command);

    // Takes the next line of output (ending in "\n"). The marker counts even
    // on the last line of the budget.
    Verdict take(std::string_view line);

    // Whether the output holds sudo's refusal to run anything for the user:
    // on Tails, that means no administration password was set at start.
    bool reports_sudo_refusal() const;

    // The output so far as shown in debug mode: every "secure" removed, and
    // control characters made visible (see visible_text.h).
    std::string debug_dump() const;

private:
    std::size_t budget_;
    std::size_t lines_ = 0;
    std::string output_;
};

}  // namespace marnu
