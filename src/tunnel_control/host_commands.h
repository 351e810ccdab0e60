// The fixed root command lines of the client's life cycle.
#pragma once

#include "common/fixed_text.h"
#include "common/host_paths.h"

namespace marnu {

// SOCKS support for Python's HTTP clients, when libcurl lacks it.
inline constexpr char kSocksInstallCommand[] =
    "sudo bash -c 'apt update && apt-get -qq install python3-pip 2> /dev/null && pip3 install pysocks'";

// A fresh package index before OpenVPN is installed.
inline constexpr char kAptUpdateCommand[] = "sudo bash -c 'apt update'";

// The saved firewall configuration moved back, and what depends on it
// restarted. Steps joined by ";": each runs whatever became of the one before.
// NetworkManager's init script is restarted only where there is one: Debian
// 12's and 13's network-manager (Tails 6 and 7) ships none, and bash would
// complain of the missing file at every Disconnect and Reset.
inline constexpr auto& kFirewallRestoreSteps =
    join<"mv ", kSavedFermConfig, " ", kLiveFermConfig,
         "; [ ! -x /etc/init.d/network-manager ] || /etc/init.d/network-manager restart; "
         "/etc/init.d/ferm restart; /etc/init.d/tor restart">;

inline constexpr auto& kDisconnectCommand = join<"sudo bash -c 'killall openvpn; ", kFirewallRestoreSteps, "'">;
inline constexpr auto& kResetFirewallCommand = join<"sudo bash -c '", kFirewallRestoreSteps, "'">;

}  // namespace marnu
