// The firewall configuration for one VPN server, written where the
// connection command takes it from (common/host_paths.h).
#pragma once

#include <string_view>

namespace marnu {

// Writes the rewrite of the saved configuration for the server to
// kRewrittenFermConfig (see ferm_rewrite.h). The live configuration is saved
// first when no saved copy exists yet.
void write_firewall_config(std::string_view ip, std::string_view protocol, std::string_view port);

}  // namespace marnu
