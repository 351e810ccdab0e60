// Credential encoding: for any user name and password, the path that libcurl
// sends for each account query, split at "/" and percent-decoded, gives back
// exactly the query's segments with the two credentials in their places; the
// URL has no query, fragment or user part and names the provider's host.
// Input: 2 bytes of user-name length (little endian), the user name, then
// the password.
#include <curl/curl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api/api_url.h"
#include "client/settings.h"
#include "fuzz_check.h"

namespace {

struct UrlFree {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct TextFree {
    void operator()(char* text) const { curl_free(text); }
};

// A part of the URL as libcurl holds it, without decoding; nothing when absent.
std::optional<std::string> url_part(CURLU* url, CURLUPart part) {
    char* raw = nullptr;
    if (curl_url_get(url, part, &raw, 0) != CURLUE_OK) return std::nullopt;
    const std::unique_ptr<char, TextFree> owned(raw);
    return std::string(raw);
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Strict percent-decoding: a "%" must introduce two hex digits.
std::optional<std::string> percent_decode(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hex_value(text[i + 1]);
        const int low = hex_value(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    for (;;) {
        const size_t end = text.find(separator);
        parts.push_back(text.substr(0, end));
        if (end == std::string_view::npos) return parts;
        text.remove_prefix(end + 1);
    }
}

// The decoded path segments of the URL that libcurl would request.
std::vector<std::string> sent_segments(const std::string& address) {
    const std::unique_ptr<CURLU, UrlFree> url(curl_url());
    FUZZ_CHECK(url != nullptr);
    // The flags of a transfer without CURLOPT_PATH_AS_IS: dot segments are resolved.
    FUZZ_CHECK(curl_url_set(url.get(), CURLUPART_URL, address.c_str(), 0) == CURLUE_OK);
    FUZZ_CHECK(url_part(url.get(), CURLUPART_SCHEME) == "https");
    FUZZ_CHECK(url_part(url.get(), CURLUPART_HOST) == "api.marnu.example");
    FUZZ_CHECK(!url_part(url.get(), CURLUPART_USER) && !url_part(url.get(), CURLUPART_PASSWORD));
    FUZZ_CHECK(!url_part(url.get(), CURLUPART_QUERY) && !url_part(url.get(), CURLUPART_FRAGMENT));
    const std::optional<std::string> path = url_part(url.get(), CURLUPART_PATH);
    FUZZ_CHECK(path && path->starts_with('/'));
    std::vector<std::string> segments;
    for (const std::string_view segment : split(std::string_view(*path).substr(1), '/')) {
        std::optional<std::string> decoded = percent_decode(segment);
        FUZZ_CHECK(decoded.has_value());
        segments.push_back(std::move(*decoded));
    }
    return segments;
}

void check_query(std::string_view leading, const std::string& query, const std::string& username,
                 const std::string& password) {
    std::vector<std::string> expected{"v1", std::string(marnu::settings::kApiKey), "query"};
    for (const std::string_view segment : split(leading, '/')) expected.emplace_back(segment);
    expected.insert(expected.end(), {"username", username, "password", password + ".json"});
    FUZZ_CHECK(sent_segments(marnu::api_request_url(marnu::settings::kApiKey, query)) == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
    const size_t username_size = std::min<size_t>(data[0] | (data[1] << 8), rest.size());
    const std::string username(rest.substr(0, username_size));
    const std::string password(rest.substr(username_size));

    check_query("checksession", marnu::authentication_query(username, password), username, password);
    check_query("serversdetail", marnu::server_list_query(username, password), username, password);
    check_query("getuserkeys/dapp/true", marnu::key_bundle_query(username, password), username, password);
    return 0;
}
