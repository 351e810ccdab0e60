#include "tunnel_config/ferm_rewrite.h"

#include "common/fixed_text.h"
#include "common/host_paths.h"
#include "common/text_replace.h"

namespace marnu {
namespace {

// The comment that heads the rules for local resources in the OUTPUT chain.
constexpr std::string_view kLocalResources = " Local resources";
constexpr std::string_view kTorOwnerMatch = "mod owner uid-owner debian-tor";
constexpr std::string_view kTorThroughTunnel = join<"outerface ", kTunnelDevice, " mod owner uid-owner debian-tor">;
// Where the rules for outgoing packets begin: Tails' filter table comes
// before its nat table.
constexpr std::string_view kOutputChain = "chain OUTPUT {";
// Tails' chain that logs a refused packet, then refuses it (since 2021).
constexpr std::string_view kLogReject = "chain log_reject";

// Tails lets every established connection through before any other rule.
// While OpenVPN builds the tunnel again, its address may stand a moment
// without the tunnel's routes: Tor's connections made through the tunnel
// would then go out through the network itself. So Tor's packets leave
// outside the tunnel only for this host and its local networks (its replies
// to Tor Browser's network namespace among them), established or not.
std::string tor_outside_tunnel_rule(bool log_reject) {
    std::string rule = "\n            mod owner uid-owner debian-tor outerface ! ";
    rule += kTunnelDevice;
    rule += " @subchain \"tor_outside_tunnel\" {\n"
            "                daddr (127.0.0.0/8 10.0.0.0/8 172.16.0.0/12 192.168.0.0/16) RETURN;\n";
    rule += log_reject ? "                jump log_reject;\n" : "                REJECT reject-with icmp-port-unreachable;\n";
    rule += "            }";
    return rule;
}

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
    std::string rewritten = replace_all(with_rule, kTorOwnerMatch, kTorThroughTunnel);
    if (const size_t chain = rewritten.find(kOutputChain); chain != std::string::npos)
        rewritten.insert(chain + kOutputChain.size(),
                         tor_outside_tunnel_rule(config.find(kLogReject) != std::string_view::npos));
    return rewritten;
}

bool confines_tor_to_tunnel(std::string_view config) { return config.find(kTorThroughTunnel) != std::string_view::npos; }

}  // namespace marnu
