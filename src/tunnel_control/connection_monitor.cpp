#include "tunnel_control/connection_monitor.h"

#include "common/text_replace.h"

namespace marnu {

ConnectionMonitor::ConnectionMonitor(std::string_view command)
    : budget_(command.find("openvpn") != std::string_view::npos ? 80 : 20) {}

ConnectionMonitor::Verdict ConnectionMonitor::take(std::string_view line) {
    ++lines_;
    output_ += line;
    if (line.find(kConnectedMarker) != std::string_view::npos) return Verdict::connected;
    return lines_ == budget_ ? Verdict::give_up : Verdict::read_on;
}

std::string ConnectionMonitor::debug_dump() const { return replace_all(output_, "secure", ""); }

}  // namespace marnu
