// The fixed root command lines of the tunnel's life cycle.
#pragma once

namespace marnu {

// A fresh package index before OpenVPN is installed.
inline constexpr char kAptUpdateCommand[] = "sudo bash -c 'apt update'";

// Steps joined by ";": each runs whatever became of the one before.
inline constexpr char kDisconnectCommand[] =
    "sudo bash -c 'killall openvpn; mv /tmp/ferm.conf.back /etc/ferm/ferm.conf; "
    "/etc/init.d/network-manager restart; /etc/init.d/ferm restart; /etc/init.d/tor restart'";
inline constexpr char kResetFirewallCommand[] =
    "sudo bash -c 'mv /tmp/ferm.conf.back /etc/ferm/ferm.conf; "
    "/etc/init.d/network-manager restart; /etc/init.d/ferm restart; /etc/init.d/tor restart'";

}  // namespace marnu
