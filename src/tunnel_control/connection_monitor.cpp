#include "tunnel_control/connection_monitor.h"

#include "common/text_replace.h"
#include "common/visible_text.h"

namespace marnu {

ConnectionMonitor::ConnectionMonitor(std::string_view command)
    : budget_(command.find("openvpn") != std::string_view::npos ? 80 : 20) {}

ConnectionMonitor::Verdict ConnectionMonitor::take(std::string_view line, Clock::time_point now) {
    ++lines_;
    output_ += line;
    if (line.find(kConnectedMarker) != std::string_view::npos) return Verdict::connected;
    return lines_ == budget_ || out_of_time(now) ? Verdict::give_up : Verdict::read_on;
}

void ConnectionMonitor::openvpn_started(Clock::time_point now) {
    if (!deadline_) deadline_ = now + kOpenvpnTimeLimit;
}

bool ConnectionMonitor::reports_sudo_refusal() const {
    for (const std::string_view refusal : {"is not in the sudoers file", "The administration password is disabled"})
        if (output_.find(refusal) != std::string::npos) return true;
    return false;
}

std::string ConnectionMonitor::debug_dump() const {
    return visible_text(replace_all(output_, "secure", ""), LineEnds::keep);
}

}  // namespace marnu
