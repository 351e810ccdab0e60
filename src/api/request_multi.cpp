#include "api/request_multi.h"

namespace marnu {
namespace {

struct KeptMulti {
    std::mutex in_use;
    // Never cleaned up: at exit OpenSSL may already be torn down, and freeing
    // the cached store then would touch it. The process's end frees it.
    CURLM* handle = nullptr;
};

KeptMulti& kept_multi() {
    static KeptMulti kept;
    return kept;
}

}  // namespace

RequestMulti::RequestMulti() {
    KeptMulti& kept = kept_multi();
    lease_ = std::unique_lock(kept.in_use, std::try_to_lock);
    if (lease_.owns_lock()) {
        if (kept.handle == nullptr) kept.handle = curl_library().multi_init();
        handle_ = kept.handle;
        if (handle_ != nullptr) return;
        lease_.unlock();
    }
    own_.reset(curl_library().multi_init());
    handle_ = own_.get();
}

}  // namespace marnu
