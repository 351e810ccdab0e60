// Where the client finds and puts things on the Tails host, and how it
// reaches Tor. Every path and command line that names them is composed
// from here.
#pragma once

#include "common/fixed_text.h"

namespace marnu {

// Tor's SOCKS port; "socks5h" has the proxy resolve the host names.
inline constexpr char kTorProxy[] = "socks5h://localhost:9050";

// Where Debian's package installs OpenVPN.
inline constexpr char kOpenvpnProgram[] = "/usr/sbin/openvpn";

// The tunnel device that OpenVPN's "dev tun" gets, and to which the
// rewritten firewall confines Tor.
inline constexpr char kTunnelDevice[] = "tun0";

// OpenVPN's management socket. Root's OpenVPN makes it in /run, where no
// other user can put a file of theirs, and answers the client's user only.
inline constexpr char kOpenvpnManagementSocket[] = "/run/marnu-openvpn.sock";

// Tails marks a Tor that has bootstrapped since its last restart with a
// file in this folder; its own programs that need Tor wait for it.
inline constexpr char kTorBootstrappedFolder[] = "/run/tor-has-bootstrapped";
inline constexpr auto& kTorBootstrappedFlag = join<kTorBootstrappedFolder, "/done">;

// The directory of the client's files, which other local users share (in
// RAM on Tails).
inline constexpr char kTmpDirectory[] = "/tmp/";
// Where the key files are unpacked, and the working directory that the
// tunnel runs from: the OpenVPN profile names the key files relative to it.
inline constexpr auto& kKeyDirectory = kTmpDirectory;
inline constexpr auto& kOvpnConfigFile = join<kTmpDirectory, "config.ovpn">;

// The live firewall configuration.
inline constexpr char kLiveFermConfig[] = "/etc/ferm/ferm.conf";
// The rewrite, which the connection command moves over the live file.
inline constexpr auto& kRewrittenFermConfig = join<kTmpDirectory, "ferm.conf">;
// The live configuration as it was before any rewrite; disconnect and
// reset move it back.
inline constexpr auto& kSavedFermConfig = join<kTmpDirectory, "ferm.conf.back">;

}  // namespace marnu
