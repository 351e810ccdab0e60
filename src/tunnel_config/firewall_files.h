// Where the firewall configuration lives and where its copies go.
#pragma once

#include <string>

namespace marnu {

inline constexpr char kLiveFermConfig[] = "/etc/ferm/ferm.conf";
// The live configuration as it was before any rewrite; disconnect and
// reset move it back.
inline constexpr char kSavedFermConfig[] = "/tmp/ferm.conf.back";
// The rewrite, which the connection command moves over the live file.
inline constexpr char kRewrittenFermConfig[] = "/tmp/ferm.conf";

// Saves the live configuration when no saved copy exists yet, then returns
// the saved copy: the base of every rewrite.
std::string saved_firewall_config();

}  // namespace marnu
