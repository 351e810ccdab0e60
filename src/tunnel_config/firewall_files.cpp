#include "tunnel_config/firewall_files.h"

#include <string>

#include "common/errors.h"
#include "common/host_paths.h"
#include "common/private_files.h"
#include "tunnel_config/ferm_rewrite.h"

namespace marnu {
namespace {

std::string saved_firewall_config() {
    // Taken once: later rewrites start again from the configuration as it
    // was before the first one, so rules of earlier servers never pile up.
    if (!anything_at(kSavedFermConfig)) create_own_file(kSavedFermConfig, read_whole_file(kLiveFermConfig));
    // Root later moves this file over the live configuration, so it must be
    // ours and no link to something else.
    return read_own_file(kSavedFermConfig);
}

}  // namespace

void write_firewall_config(std::string_view ip, std::string_view protocol, std::string_view port) {
    const std::string rule = server_rule(ip, protocol, port);
    write_own_file(kRewrittenFermConfig, rewrite_ferm_config(saved_firewall_config(), rule));
}

bool live_firewall_confines_tor() {
    try {
        return confines_tor_to_tunnel(read_whole_file(kLiveFermConfig));
    } catch (const OsFailure&) {
        return false;
    }
}

}  // namespace marnu
