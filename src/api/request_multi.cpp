#include "api/request_multi.h"

#include <utility>

namespace marnu {
namespace {

struct KeptMulti {
    std::mutex in_use;
    // Not cleaned up at exit: OpenSSL may already be torn down by then, and
    // freeing the cached store would touch it. The process's end frees it.
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

void release_kept_request_handle() {
    KeptMulti& kept = kept_multi();
    const std::unique_lock lease(kept.in_use, std::try_to_lock);
    if (!lease.owns_lock() || kept.handle == nullptr) return;
    curl_library().multi_cleanup(std::exchange(kept.handle, nullptr));
}

}  // namespace marnu
