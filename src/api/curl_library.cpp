#include "api/curl_library.h"

#include "common/shared_library.h"

namespace marnu {
namespace {

CurlLibrary load() {
    // The build names the libcurl it compiled against.
    static const SharedLibrary library(MARNU_CURL_SONAME);
#define MARNU_CURL_FUNCTION(name) .name = library.function<decltype(::curl_##name)>("curl_" #name)
    return {
        MARNU_CURL_FUNCTION(easy_init),
        MARNU_CURL_FUNCTION(easy_cleanup),
        MARNU_CURL_FUNCTION(easy_setopt),
        MARNU_CURL_FUNCTION(easy_strerror),
        MARNU_CURL_FUNCTION(easy_getinfo),
        MARNU_CURL_FUNCTION(multi_init),
        MARNU_CURL_FUNCTION(multi_cleanup),
        MARNU_CURL_FUNCTION(multi_add_handle),
        MARNU_CURL_FUNCTION(multi_remove_handle),
        MARNU_CURL_FUNCTION(multi_perform),
        MARNU_CURL_FUNCTION(multi_poll),
        MARNU_CURL_FUNCTION(multi_info_read),
        MARNU_CURL_FUNCTION(multi_strerror),
        MARNU_CURL_FUNCTION(slist_append),
        MARNU_CURL_FUNCTION(slist_free_all),
    };
#undef MARNU_CURL_FUNCTION
}

}  // namespace

const CurlLibrary& curl_library() {
    static const CurlLibrary functions = load();
    return functions;
}

}  // namespace marnu
