#include "tunnel_control/connection_command.h"

#include <algorithm>

#include "common/ascii.h"
#include "common/errors.h"
#include "common/fixed_text.h"
#include "common/host_paths.h"
#include "common/text_replace.h"

namespace marnu {
namespace {

constexpr auto& kFirewallSwitchAndOpenvpn =
    join<"mv -f ", kRewrittenFermConfig, " ", kLiveFermConfig, " && /etc/init.d/ferm restart && openvpn --config ">;

std::string_view first_step(LaunchStep step) {
    switch (step) {
        case LaunchStep::install_openvpn:
            return "apt-get -qq install openvpn 2> /dev/null && ";
        case LaunchStep::stop_running_openvpn:
            return "killall openvpn && ";
        case LaunchStep::none:
            break;
    }
    return "";
}

bool stands_literally(std::string_view password) {
    constexpr std::string_view kPunctuation = "_.,+@%=:/-";
    const auto plain = [&](char c) { return ascii::is_alnum(c) || kPunctuation.find(c) != std::string_view::npos; };
    return !password.starts_with('-') && std::all_of(password.begin(), password.end(), plain);
}

// The body of a single-quoted word for sh and bash: a quote ends the
// quoting, stands escaped, and the quoting starts again.
std::string quoted_body(std::string_view text) { return replace_all(text, "'", "'\\''"); }

}  // namespace

std::string connection_command(LaunchStep step, std::string_view profile, std::string_view password) {
    if (password.find('\0') != std::string_view::npos)
        throw InvalidValue("The password holds a NUL character, which cannot be handed to OpenVPN");
    std::string script(first_step(step));
    script += kFirewallSwitchAndOpenvpn;
    script += profile;
    if (stands_literally(password)) {
        // The quotes around the password close and reopen sh's quoting; with
        // these characters nothing changes on the way.
        script += " --askpass <(echo '";
        script += password;
        script += "')";
        return "sudo bash -c '" + script + "'";
    }
    script += " --askpass <(printf '%s\\n' '" + quoted_body(password) + "')";
    return "sudo bash -c '" + quoted_body(script) + "'";
}

}  // namespace marnu
