#include "client/socks_support.h"

#include "api/curl_handles.h"
#include "common/host_paths.h"

namespace marnu {

bool socks5h_supported() {
    const CurlLibrary& curl = curl_library();
    const CurlEasy handle(curl.easy_init());
    if (!handle) return false;
    // Both options are refused by a library built without proxy or SOCKS support.
    return curl.easy_setopt(handle.get(), CURLOPT_PROXY, kTorProxy) == CURLE_OK &&
           curl.easy_setopt(handle.get(), CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_SOCKS5_HOSTNAME)) ==
               CURLE_OK;
}

}  // namespace marnu
