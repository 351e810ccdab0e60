// The libcurl multi handle a request runs on.
#pragma once

#include <mutex>

#include "api/curl_handles.h"
#include "api/kept_request_handle.h"

namespace marnu {

// One multi handle is kept from request to request, because libcurl keeps the
// parsed CA store there: reading the system's CA bundle again costs about
// 20 ms per request. Requests take it in turn; a request that finds it in use
// by another thread gets a multi handle of its own. What carries over between
// requests is that store and nothing else: each request has its own easy
// handle and a fresh connection that is closed at its end.
class RequestMulti {
public:
    RequestMulti();
    CURLM* get() const { return handle_; }

private:
    std::unique_lock<std::mutex> lease_;
    CurlMulti own_;
    CURLM* handle_ = nullptr;
};

}  // namespace marnu
