// How the client reads a JSON text: nlohmann's SAX parser over UTF-8 text,
// with the number types the handlers receive. Free of Python, so the parse
// can be exercised without an interpreter.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace marnu {

// Floats as long double: integers too large for 64 bits reach the handler as
// floats, and their lexeme (exact up to the range of long double) is what
// the handler uses. A number beyond that range is a parse error.
using SaxJson = nlohmann::basic_json<std::map, std::vector, std::string, bool, std::int64_t, std::uint64_t, long double>;

// Whether a number's lexeme has neither a fraction nor an exponent.
inline bool is_integer_lexeme(const std::string& lexeme) { return lexeme.find_first_of(".eE") == std::string::npos; }

// Feeds the events of `text` (UTF-8) to `handler`, in document order. False
// when the text is not exactly one JSON value (with nothing after it but
// blanks) or the handler ended the parse.
template <typename Handler>
bool sax_parse_json(const std::string& text, Handler& handler) {
    // nlohmann's lexer takes a NUL byte for the end of the input, so a valid
    // document followed by a NUL and anything at all would pass. No JSON text
    // holds one (a string holds it only as "\u0000").
    if (text.find('\0') != std::string::npos) return false;
    try {
        return SaxJson::sax_parse(text, &handler);
    } catch (const nlohmann::json::exception&) {
        return false;
    }
}

}  // namespace marnu
