#pragma once

namespace marnu {

// Whether the HTTP client library can use a SOCKS5 proxy that resolves host
// names itself ("socks5h"), which every request through Tor needs.
bool socks5h_supported();

}  // namespace marnu
