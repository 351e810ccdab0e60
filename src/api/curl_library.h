// The functions of libcurl that the client calls, loaded at the first request
// (or the start-up check) rather than with the module.
#pragma once

#include <curl/curl.h>

namespace marnu {

struct CurlLibrary {
    decltype(&::curl_easy_init) easy_init;
    decltype(&::curl_easy_cleanup) easy_cleanup;
    decltype(&::curl_easy_setopt) easy_setopt;
    decltype(&::curl_easy_strerror) easy_strerror;
    decltype(&::curl_easy_getinfo) easy_getinfo;
    decltype(&::curl_multi_init) multi_init;
    decltype(&::curl_multi_cleanup) multi_cleanup;
    decltype(&::curl_multi_add_handle) multi_add_handle;
    decltype(&::curl_multi_remove_handle) multi_remove_handle;
    decltype(&::curl_multi_perform) multi_perform;
    decltype(&::curl_multi_poll) multi_poll;
    decltype(&::curl_multi_info_read) multi_info_read;
    decltype(&::curl_multi_strerror) multi_strerror;
    decltype(&::curl_slist_append) slist_append;
    decltype(&::curl_slist_free_all) slist_free_all;
};

// libcurl, loaded by the first call from any thread. Throws OsFailure when it
// cannot be loaded; a later call tries again.
const CurlLibrary& curl_library();

}  // namespace marnu
