#include "tunnel_config/ferm_rewrite.h"

#include "common/text_replace.h"

namespace marnu {
namespace {

// The comment that heads the rules for local resources in the OUTPUT chain.
constexpr std::string_view kLocalResources = " Local resources";
constexpr std::string_view kTorOwnerMatch = "mod owner uid-owner debian-tor";
constexpr std::string_view kTorThroughTunnel = "outerface tun0 mod owner uid-owner debian-tor";

}  // namespace

std::string server_rule(std::string_view ip, std::string_view protocol, std::string_view port) {
    std::string rule = "            daddr ";
    rule += ip;
    rule += " proto ";
    rule += protocol;
    rule += " dport ";
    rule += port;
    rule += " {mod owner uid-owner root ACCEPT;} ";
    return rule;
}

std::string rewrite_ferm_config(std::string_view config, std::string_view rule) {
    const std::string with_rule = insert_after_all_ignoring_ascii_case(config, kLocalResources, "\n" + std::string(rule));
    return replace_all(with_rule, kTorOwnerMatch, kTorThroughTunnel);
}

bool confines_tor_to_tunnel(std::string_view config) { return config.find(kTorThroughTunnel) != std::string_view::npos; }

}  // namespace marnu
