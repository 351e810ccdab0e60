// The request URLs of the provider API, free of any I/O.
#pragma once

#include <string>
#include <string_view>

namespace marnu {

// The provider's API endpoint. A reserved name: no real host of this provider
// is known, and the credentials in every URL must never reach a third party.
inline constexpr std::string_view kApiBaseUrl = "https://api.marnu.example/v1/";

// Percent-encodes (as %XX of each UTF-8 byte) only what cannot stand in a URL
// at all: control bytes, the blank, DEL, non-ASCII bytes and " < > \ ^ ` { | }.
// Everything else, "%" included, is kept as it is.
std::string escape_url_unsafe(std::string_view text);

// Base URL + API key + "/query/" + query, with escape_url_unsafe applied to
// the key and the query.
std::string api_request_url(std::string_view api_key, std::string_view query);

// The three account queries. The credentials are encoded so that they cannot
// change the URL's structure: besides the unsafe bytes, "/", "?", "#" and "%"
// are percent-encoded, and so are the dots of a credential that is "." or "..".
std::string authentication_query(std::string_view username, std::string_view password);
std::string server_list_query(std::string_view username, std::string_view password);
std::string key_bundle_query(std::string_view username, std::string_view password);

}  // namespace marnu
