// Firewall rewrite: for any configuration text and any server settings that
// pass the client's checks, the rewrite equals a single left-to-right scan
// that copies every byte outside a match unchanged, puts the server rule on
// a line of its own after each " Local resources" (in any ASCII case),
// confines each Tor owner match to tun0 and opens the first "chain OUTPUT {"
// with the rule for Tor's packets outside the tunnel. Input: three length-prefixed fields
// (address, protocol, port; one length byte each), then the configuration.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "api/server_settings_check.h"
#include "fuzz_check.h"
#include "tunnel_config/ferm_rewrite.h"

namespace {

constexpr std::string_view kLocalResources = " Local resources";
constexpr std::string_view kTorOwner = "mod owner uid-owner debian-tor";
constexpr std::string_view kTorOwnerInTunnel = "outerface tun0 mod owner uid-owner debian-tor";
constexpr std::string_view kOutputChain = "chain OUTPUT {";

std::string tor_outside_tunnel(bool log_reject) {
    return std::string("\n            mod owner uid-owner debian-tor outerface ! tun0 @subchain \"tor_outside_tunnel\" {\n"
                       "                daddr (127.0.0.0/8 10.0.0.0/8 172.16.0.0/12 192.168.0.0/16) RETURN;\n") +
           (log_reject ? "                jump log_reject;\n" : "                REJECT reject-with icmp-port-unreachable;\n") +
           "            }";
}

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool matches_ignoring_case(std::string_view text, std::string_view word) {
    if (text.size() < word.size()) return false;
    for (size_t i = 0; i < word.size(); ++i)
        if (lower(text[i]) != lower(word[i])) return false;
    return true;
}

std::string expected_rewrite(std::string_view config, std::string_view rule) {
    std::string out;
    bool chain_opened = false;
    for (size_t at = 0; at < config.size();) {
        const std::string_view rest = config.substr(at);
        if (!chain_opened && rest.starts_with(kOutputChain)) {
            out.append(kOutputChain).append(tor_outside_tunnel(config.find("chain log_reject") != std::string_view::npos));
            at += kOutputChain.size();
            chain_opened = true;
        } else if (matches_ignoring_case(rest, kLocalResources)) {
            out.append(rest.substr(0, kLocalResources.size())).append("\n").append(rule);
            at += kLocalResources.size();
        } else if (rest.starts_with(kTorOwner)) {
            out.append(kTorOwnerInTunnel);
            at += kTorOwner.size();
        } else {
            out.push_back(config[at++]);
        }
    }
    return out;
}

// The next length-prefixed field; nothing when the input ends first.
std::optional<std::string_view> field(std::string_view& input) {
    if (input.empty()) return std::nullopt;
    const size_t length = static_cast<unsigned char>(input[0]);
    if (input.size() < 1 + length) return std::nullopt;
    const std::string_view value = input.substr(1, length);
    input.remove_prefix(1 + length);
    return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::optional<std::string_view> address = field(input);
    std::optional<std::string_view> protocol = field(input);
    std::optional<std::string_view> port = field(input);
    if (!port) return 0;
    // Server records that fail the checks never reach the rewrite.
    if (!marnu::usable_server_address(*address)) address = "10.0.0.1";
    if (!marnu::usable_server_protocol(*protocol)) protocol = "udp";
    if (!marnu::usable_server_port(*port)) port = "1194";

    const std::string rule = marnu::server_rule(*address, *protocol, *port);
    FUZZ_CHECK(rule.find('\n') == std::string::npos);
    FUZZ_CHECK(marnu::rewrite_ferm_config(input, rule) == expected_rewrite(input, rule));
    return 0;
}
