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

// Where systemd runs, a Tor restarted too often in a short while (Tails'
// NetworkManager dispatcher restarts it whenever an interface comes up, a
// tunnel device rebuilt after a network loss among them) stays down for good
// at its start limit: Tor's restarts clear that first.
inline constexpr char kTorStartLimitReset[] =
    "[ ! -d /run/systemd/system ] || systemctl reset-failed tor@default.service 2> /dev/null";

// Tails' dispatcher script that restarts Tor when an interface comes up: on
// Tails it restarts Tor once OpenVPN's tun0 is up.
inline constexpr char kDispatcherTorRestart[] = "/etc/NetworkManager/dispatcher.d/10-tor.sh";

// The saved firewall configuration moved back, and what depends on it
// restarted. Steps joined by ";": each runs whatever became of the one before.
// NetworkManager's init script is restarted only where there is one: Debian
// 12's and 13's network-manager (Tails 6 and 7) ships none, and bash would
// complain of the missing file at every Disconnect and Reset.
inline constexpr auto& kFirewallRestoreSteps =
    join<"mv ", kSavedFermConfig, " ", kLiveFermConfig,
         "; [ ! -x /etc/init.d/network-manager ] || /etc/init.d/network-manager restart; "
         "/etc/init.d/ferm restart; ", kTorStartLimitReset, "; /etc/init.d/tor restart">;

inline constexpr auto& kDisconnectCommand = join<"sudo bash -c 'killall openvpn; ", kFirewallRestoreSteps, "'">;
inline constexpr auto& kResetFirewallCommand = join<"sudo bash -c '", kFirewallRestoreSteps, "'">;

}  // namespace marnu
