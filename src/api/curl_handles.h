// Owners of libcurl's handles: each is cleaned up exactly once, on every path.
#pragma once

#include <memory>

#include "api/curl_library.h"

namespace marnu {

struct CurlEasyCleanup {
    void operator()(CURL* handle) const { curl_library().easy_cleanup(handle); }
};
struct CurlMultiCleanup {
    void operator()(CURLM* handle) const { curl_library().multi_cleanup(handle); }
};
struct CurlSlistFree {
    void operator()(curl_slist* list) const { curl_library().slist_free_all(list); }
};

using CurlEasy = std::unique_ptr<CURL, CurlEasyCleanup>;
using CurlMulti = std::unique_ptr<CURLM, CurlMultiCleanup>;
using CurlList = std::unique_ptr<curl_slist, CurlSlistFree>;

// An easy handle attached to a multi handle for the owner's lifetime. Declare
// it after both handles, so that it is detached before either is cleaned up.
class CurlAttachment {
public:
    CurlAttachment(CURLM* multi, CURL* easy) : multi_(multi), easy_(easy) {
        if (curl_library().multi_add_handle(multi_, easy_) != CURLM_OK) multi_ = nullptr;
    }
    CurlAttachment(const CurlAttachment&) = delete;
    CurlAttachment& operator=(const CurlAttachment&) = delete;
    ~CurlAttachment() {
        if (multi_) curl_library().multi_remove_handle(multi_, easy_);
    }
    bool attached() const { return multi_ != nullptr; }

private:
    CURLM* multi_;
    CURL* easy_;
};

}  // namespace marnu
