#include "tunnel_config/ovpn_profile.h"

namespace marnu {

std::string ovpn_profile(std::string_view ip, std::string_view protocol, std::string_view port,
                         std::string_view lowercase_username) {
    std::string profile = "client\nproto ";
    profile += protocol;
    profile += "\ndev tun\nca ca.crt\ncert ";
    profile += lowercase_username;
    profile += ".crt\nkey ";
    profile += lowercase_username;
    profile += ".key\nremote ";
    profile += ip;
    profile += ' ';
    profile += port;
    profile +=
        "\ncipher AES-128-CBC\n"
        "verb 1\n"
        "mute 20\n"
        "pull-filter ignore \"ifconfig-ipv6 \"\n"
        "pull-filter ignore \"route-ipv6 \"\n"
        "keepalive 10 120\n"
        "comp-lzo\n"
        "persist-key\n"
        "connect-retry 1 5\n"
        "float\n"
        "resolv-retry infinite\n"
        "nobind\n"
        "auth-nocache\n"
        "remote-cert-tls server\n";
    return profile;
}

}  // namespace marnu
