#include "client/socks_support.h"

#include <curl/curl.h>

#include <memory>

namespace marnu {

bool socks5h_supported() {
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> handle(curl_easy_init(), curl_easy_cleanup);
    if (!handle) return false;
    // Both options are refused by a library built without proxy or SOCKS support.
    return curl_easy_setopt(handle.get(), CURLOPT_PROXY, "socks5h://localhost:9050") == CURLE_OK &&
           curl_easy_setopt(handle.get(), CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_SOCKS5_HOSTNAME)) ==
               CURLE_OK;
}

}  // namespace marnu
