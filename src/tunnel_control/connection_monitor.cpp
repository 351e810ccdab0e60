#include "tunnel_control/connection_monitor.h"

#include "common/text_replace.h"

namespace marnu {

std::size_t line_budget(std::string_view command) {
    return command.find("openvpn") != std::string_view::npos ? 80 : 20;
}

bool reports_connected(std::string_view line) { return line.find(kConnectedMarker) != std::string_view::npos; }

bool reports_sudo_refusal(std::string_view output) {
    for (const std::string_view refusal : {"is not in the sudoers file", "The administration password is disabled"})
        if (output.find(refusal) != std::string_view::npos) return true;
    return false;
}

std::string debug_dump(std::string_view output) { return replace_all(output, "secure", ""); }

}  // namespace marnu
