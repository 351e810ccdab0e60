// One HTTP(S) GET request through Tor's SOCKS proxy, free of Python.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/interrupt.h"

namespace marnu {

// Redirects followed before the request fails (libcurl's default is unlimited).
inline constexpr long kMaxRedirects = 30;
// Tor circuits can be slow to build: generous limits for connecting and for
// a transfer that has stalled.
inline constexpr long kConnectTimeoutSeconds = 120;
inline constexpr long kStallSeconds = 120;
// How long a CA store parsed for one request may serve later ones.
inline constexpr long kCaStoreCacheSeconds = 300;
// A larger answer (after content decoding) is refused rather than held in memory.
inline constexpr std::size_t kMaxResponseBytes = std::size_t{64} << 20;

// Request headers as name and value.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// Sends one GET request for `url` through Tor (kTorProxy in
// common/host_paths.h) and returns the whole body, whatever the HTTP status.
// Throws ConnectionFailure with libcurl's message when the request cannot
// complete, InvalidValue for a header that cannot be sent. Calls
// `interrupted` several times a second while waiting; what it throws ends
// the transfer.
std::string http_get(const std::string& url, const HttpHeaders& headers, const InterruptCheck& interrupted);

}  // namespace marnu
