#include "api/http_get.h"

#include <new>

#include "api/curl_handles.h"
#include "api/request_multi.h"
#include "common/errors.h"
#include "common/host_paths.h"

namespace marnu {
namespace {

struct ResponseBody {
    std::string data;
    bool too_large = false;
    bool out_of_memory = false;
};

// Exceptions must not cross libcurl; failures are noted and the transfer aborted.
size_t append_to_body(char* chunk, size_t size, size_t count, void* user_data) {
    auto& body = *static_cast<ResponseBody*>(user_data);
    const size_t length = size * count;
    if (length > kMaxResponseBytes - body.data.size()) {
        body.too_large = true;
        return CURL_WRITEFUNC_ERROR;
    }
    try {
        body.data.append(chunk, length);
    } catch (const std::bad_alloc&) {
        body.out_of_memory = true;
        return CURL_WRITEFUNC_ERROR;
    }
    return length;
}

[[noreturn]] void fail(std::string_view reason) {
    throw ConnectionFailure("The request to the provider failed: " + std::string(reason));
}

template <typename Value>
void set_option(CURL* handle, CURLoption option, Value value) {
    const CURLcode result = curl_library().easy_setopt(handle, option, value);
    if (result != CURLE_OK) fail(std::string("could not set up the request: ") + curl_library().easy_strerror(result));
}

CurlList header_list(const HttpHeaders& headers) {
    CurlList list;
    for (const auto& [name, value] : headers) {
        if ((name + value).find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos || name.empty())
            throw InvalidValue("The request header " + name + " cannot be sent: it holds a line break or is empty.");
        // libcurl sends "Name;" as a header with an empty value; "Name:" would remove it.
        const std::string line = value.empty() ? name + ";" : name + ": " + value;
        curl_slist* longer = curl_library().slist_append(list.get(), line.c_str());
        if (longer == nullptr) throw std::bad_alloc();
        list.release();
        list.reset(longer);
    }
    return list;
}

void configure(CURL* handle, const std::string& url, curl_slist* headers, ResponseBody& body, char* error_text) {
    set_option(handle, CURLOPT_ERRORBUFFER, error_text);
    set_option(handle, CURLOPT_URL, url.c_str());
    set_option(handle, CURLOPT_HTTPGET, 1L);
    set_option(handle, CURLOPT_HTTPHEADER, headers);
    set_option(handle, CURLOPT_WRITEFUNCTION, append_to_body);
    set_option(handle, CURLOPT_WRITEDATA, static_cast<void*>(&body));
    // One proxy for every scheme, so a redirect to plain HTTP goes through Tor
    // too; an empty exception list keeps a no_proxy variable from bypassing it.
    set_option(handle, CURLOPT_PROXY, kTorProxy);
    set_option(handle, CURLOPT_NOPROXY, "");
    // Tor listens on 127.0.0.1 only, and Tails drops packets to ::1 without an
    // answer: "localhost" must never be tried over IPv6.
    set_option(handle, CURLOPT_IPRESOLVE, static_cast<long>(CURL_IPRESOLVE_V4));
    set_option(handle, CURLOPT_PROTOCOLS_STR, "http,https");
    set_option(handle, CURLOPT_FOLLOWLOCATION, 1L);
    set_option(handle, CURLOPT_MAXREDIRS, kMaxRedirects);
    set_option(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // Tor asks for no authentication; nothing else (GSS-API, say) is offered
    // to whatever answers on the port.
    set_option(handle, CURLOPT_SOCKS5_AUTH, static_cast<long>(CURLAUTH_NONE));
    // A new connection for every request, closed when it is done.
    set_option(handle, CURLOPT_FRESH_CONNECT, 1L);
    set_option(handle, CURLOPT_FORBID_REUSE, 1L);
    set_option(handle, CURLOPT_SSL_VERIFYPEER, 1L);
    set_option(handle, CURLOPT_SSL_VERIFYHOST, 2L);
    // The system's CA bundle alone: it holds the certificates of the CA
    // directory as well (update-ca-certificates writes both), and libcurl
    // keeps a store parsed from a bundle for later requests, never one that
    // also reads a directory. Kept at most a few minutes, so that a change to
    // the bundle is seen by the next Connect.
    set_option(handle, CURLOPT_CAPATH, static_cast<const char*>(nullptr));
    set_option(handle, CURLOPT_CA_CACHE_TIMEOUT, kCaStoreCacheSeconds);
    // Every encoding libcurl can undo.
    set_option(handle, CURLOPT_ACCEPT_ENCODING, "");
    set_option(handle, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    set_option(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    set_option(handle, CURLOPT_LOW_SPEED_TIME, kStallSeconds);
    // Signals belong to Python (Ctrl+C); name resolution needs no alarm here.
    set_option(handle, CURLOPT_NOSIGNAL, 1L);
}

// Drives the transfer until it is done, looking for an interrupt every turn.
CURLcode perform(CURLM* multi, const InterruptCheck& interrupted) {
    const CurlLibrary& curl = curl_library();
    for (;;) {
        int running = 0;
        const CURLMcode performed = curl.multi_perform(multi, &running);
        if (performed != CURLM_OK) fail(curl.multi_strerror(performed));
        if (running == 0) break;
        const CURLMcode polled = curl.multi_poll(multi, nullptr, 0, kInterruptPollMs, nullptr);
        if (polled != CURLM_OK) fail(curl.multi_strerror(polled));
        if (interrupted) interrupted();
    }
    int queued = 0;
    while (const CURLMsg* message = curl.multi_info_read(multi, &queued))
        if (message->msg == CURLMSG_DONE) return message->data.result;
    return CURLE_OK;
}

// libcurl's text for a refusal from the proxy gives only the SOCKS reply code.
std::string_view proxy_refusal(long code) {
    switch (code) {
        case CURLPX_REPLY_GENERAL_SERVER_FAILURE: return "the proxy reports a general failure (no circuit?)";
        case CURLPX_REPLY_NOT_ALLOWED: return "the proxy does not allow the connection";
        case CURLPX_REPLY_NETWORK_UNREACHABLE: return "the proxy reports the network unreachable";
        case CURLPX_REPLY_HOST_UNREACHABLE: return "the proxy could not resolve or reach the host";
        case CURLPX_REPLY_CONNECTION_REFUSED: return "the host refused the proxy's connection";
        case CURLPX_REPLY_TTL_EXPIRED: return "the proxy timed out reaching the host";
        default: return {};
    }
}

std::string failure_reason(CURL* handle, CURLcode result, const char* error_text) {
    std::string reason = error_text[0] != '\0' ? error_text : curl_library().easy_strerror(result);
    long proxy_code = CURLPX_OK;
    if (result == CURLE_PROXY && curl_library().easy_getinfo(handle, CURLINFO_PROXY_ERROR, &proxy_code) == CURLE_OK &&
        !proxy_refusal(proxy_code).empty())
        reason.append(": ").append(proxy_refusal(proxy_code));
    return reason;
}

}  // namespace

std::string http_get(const std::string& url, const HttpHeaders& headers, const InterruptCheck& interrupted) {
    // A fresh easy handle for every request: no connection, cookie or
    // session carries over.
    const CurlList header_lines = header_list(headers);
    const CurlEasy easy(curl_library().easy_init());
    const RequestMulti multi;
    if (!easy || multi.get() == nullptr) fail("libcurl could not be initialised");

    ResponseBody body;
    char error_text[CURL_ERROR_SIZE] = {};
    configure(easy.get(), url, header_lines.get(), body, error_text);

    const CurlAttachment attachment(multi.get(), easy.get());
    if (!attachment.attached()) fail("libcurl could not start the transfer");
    const CURLcode result = perform(multi.get(), interrupted);

    if (body.too_large)
        fail("the answer is larger than " + std::to_string(kMaxResponseBytes >> 20) + " MiB and was refused");
    if (body.out_of_memory) throw std::bad_alloc();
    if (result != CURLE_OK) fail(failure_reason(easy.get(), result, error_text));
    return std::move(body.data);
}

}  // namespace marnu
