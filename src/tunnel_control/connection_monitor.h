// What the connection monitor looks for in the command's output.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace marnu {

// OpenVPN writes this once the tunnel is up.
inline constexpr std::string_view kConnectedMarker = "Initialization Sequence Completed";

// Lines read before the command is given up: 80 for an OpenVPN command
// (installation and ferm restart lines count too), 20 for anything else.
std::size_t line_budget(std::string_view command);

bool reports_connected(std::string_view line);

// Whether the output holds sudo's refusal to run anything for the user:
// on Tails, that means no administration password was set at start.
bool reports_sudo_refusal(std::string_view output);

// The output as shown in debug mode: every "secure" removed.
std::string debug_dump(std::string_view output);

}  // namespace marnu
