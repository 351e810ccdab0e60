#include "api/api_url.h"

namespace marnu {
namespace {

constexpr std::string_view kQueryMarker = "/query/";

bool is_one_of(unsigned char byte, std::string_view characters) {
    return characters.find(static_cast<char>(byte)) != std::string_view::npos;
}

bool unsafe_in_url(unsigned char byte) { return byte <= 0x20 || byte >= 0x7F || is_one_of(byte, R"("<>\^`{|})"); }

// "/" and "?" would add path segments or start the URL's query, "#" a
// fragment; "%" would turn what follows into an escape.
bool structural_in_credential(unsigned char byte) { return is_one_of(byte, "/?#%"); }

template <typename NeedsEscape>
std::string percent_encode(std::string_view text, NeedsEscape needs_escape) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (needs_escape(byte)) {
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0x0F]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::string escape_credential(std::string_view text) {
    // "." and ".." would be dot segments, which URL resolution (libcurl's
    // included) removes together with the segment before them.
    if (text == "." || text == "..") return percent_encode(text, [](unsigned char) { return true; });
    return percent_encode(text,
                          [](unsigned char byte) { return unsafe_in_url(byte) || structural_in_credential(byte); });
}

std::string account_query(std::string_view operation, std::string_view username, std::string_view password) {
    std::string query(operation);
    query += "/username/";
    query += escape_credential(username);
    query += "/password/";
    query += escape_credential(password);
    query += ".json";
    return query;
}

}  // namespace

std::string escape_url_unsafe(std::string_view text) { return percent_encode(text, unsafe_in_url); }

std::string api_request_url(std::string_view api_key, std::string_view query) {
    std::string url(kApiBaseUrl);
    url += escape_url_unsafe(api_key);
    url += kQueryMarker;
    url += escape_url_unsafe(query);
    return url;
}

std::string authentication_query(std::string_view username, std::string_view password) {
    return account_query("checksession", username, password);
}

std::string server_list_query(std::string_view username, std::string_view password) {
    return account_query("serversdetail", username, password);
}

std::string key_bundle_query(std::string_view username, std::string_view password) {
    return account_query("getuserkeys/dapp/true", username, password);
}

}  // namespace marnu
