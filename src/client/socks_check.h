#pragma once

namespace marnu {

// Installs SOCKS support through the host's package tools when the HTTP
// client library lacks it; prints nothing when it is present.
void ensure_socks_support();

}  // namespace marnu
