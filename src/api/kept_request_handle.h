// What the HTTP client keeps from one request to the next, as the rest of
// the client sees it: without libcurl's types.
#pragma once

namespace marnu {

// Lets the kept request handle go (unless a request is using it): it holds
// two sockets and the parsed CA store, and while the client waits for its
// user it holds nothing but its standard streams. The next request starts
// a new one (see request_multi.h).
void release_kept_request_handle();

}  // namespace marnu
