// A JSON text (RFC 8259) read in one pass, each value reported to a handler
// as it comes. Free of Python.
//
// It accepts what the client takes for JSON: strings of valid UTF-8, escaped
// surrogates only as the halves of a pair, and numbers within the range of
// long double; a NUL byte is no end of the text (nothing but blanks may
// follow the value, as for json.loads). Made for the hot path, the server
// list: plain strings are handed over as views of the input, nothing is
// kept of a token once it is reported, and the handler builds the values
// (Python objects, in module/json_to_python.cpp) as they come, with no tree
// in between. bench/ measures the whole decoding against json.loads, and
// fuzz/json_decode_fuzz.cpp checks it against a reference reader.
#pragma once

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/ascii.h"
#include "common/utf8.h"

namespace marnu {

// What scan_json reports, in document order; each returns false to end the
// scan (the text then counts as not JSON):
//   null(), boolean(bool)
//   integer(std::string_view lexeme)   a number without fraction or exponent
//   floating(std::string_view lexeme)  a number with either
//   string(std::string_view text), key(std::string_view text)
//       escapes undone, valid UTF-8; the view lasts until the next event
//   start_object(), end_object(), start_array(), end_array()
// True when `text` is exactly one JSON value, with nothing but blanks around it.
template <typename Handler>
bool scan_json(std::string_view text, Handler& handler);

namespace json_scan_detail {

using ascii::is_blank;
using ascii::is_digit;

// Whether the number `lexeme` (valid JSON) is finite as a long double. Its
// decimal exponent settles nearly every case; only those near the limit
// (about 1.19e4932) are converted.
inline bool within_long_double(std::string_view lexeme) {
    size_t i = lexeme.front() == '-' ? 1 : 0;
    const bool zero_integer_part = lexeme[i] == '0';
    long long magnitude = 0;  // the value is below 10^magnitude
    for (; i < lexeme.size() && is_digit(lexeme[i]); ++i) ++magnitude;
    if (zero_integer_part) magnitude = 0;
    while (i < lexeme.size() && lexeme[i] != 'e' && lexeme[i] != 'E') ++i;
    if (i < lexeme.size()) {
        ++i;
        const bool negative = lexeme[i] == '-';
        if (lexeme[i] == '-' || lexeme[i] == '+') ++i;
        long long exponent = 0;
        for (; i < lexeme.size(); ++i) exponent = std::min(exponent * 10 + (lexeme[i] - '0'), 1'000'000'000LL);
        magnitude += negative ? -exponent : exponent;
    }
    if (magnitude <= 4900) return true;
    const std::string text(lexeme);
    return std::isfinite(std::strtold(text.c_str(), nullptr));
}

template <typename Handler>
class Scanner {
public:
    Scanner(std::string_view text, Handler& handler)
        : at_(text.data()), end_(text.data() + text.size()), handler_(handler) {}

    bool document() {
        for (;;) {
            skip_blanks();
            bool opened = false;
            if (!value(opened)) return false;
            if (opened) continue;  // its first element comes next
            // After a complete value: close what ends here, then find the next value.
            for (;;) {
                skip_blanks();
                if (open_.empty()) return at_ == end_;
                if (at_ == end_) return false;
                const char c = *at_++;
                const bool in_object = open_.back() == '{';
                if (c == ',') {
                    if (in_object && !member_name()) return false;
                    break;
                }
                if (c != (in_object ? '}' : ']')) return false;
                open_.pop_back();
                if (!(in_object ? handler_.end_object() : handler_.end_array())) return false;
            }
        }
    }

private:
    void skip_blanks() {
        while (at_ != end_ && is_blank(*at_)) ++at_;
    }

    bool literal(std::string_view word) {
        if (static_cast<size_t>(end_ - at_) < word.size() || std::string_view(at_, word.size()) != word)
            return false;
        at_ += word.size();
        return true;
    }

    // Reads a scalar whole, or opens a container; `opened` tells a container
    // that is not empty (its elements follow).
    bool value(bool& opened) {
        if (at_ == end_) return false;
        switch (*at_) {
            case '{':
                ++at_;
                if (!handler_.start_object()) return false;
                skip_blanks();
                if (at_ != end_ && *at_ == '}') {
                    ++at_;
                    return handler_.end_object();
                }
                open_.push_back('{');
                opened = true;
                return member_name();
            case '[':
                ++at_;
                if (!handler_.start_array()) return false;
                skip_blanks();
                if (at_ != end_ && *at_ == ']') {
                    ++at_;
                    return handler_.end_array();
                }
                open_.push_back('[');
                opened = true;
                return true;
            case '"': {
                std::string_view text;
                return string(text) && handler_.string(text);
            }
            case 't': return literal("true") && handler_.boolean(true);
            case 'f': return literal("false") && handler_.boolean(false);
            case 'n': return literal("null") && handler_.null();
            default: return number();
        }
    }

    // A member's name and the ":" after it.
    bool member_name() {
        skip_blanks();
        std::string_view name;
        if (at_ == end_ || *at_ != '"' || !string(name) || !handler_.key(name)) return false;
        skip_blanks();
        if (at_ == end_ || *at_ != ':') return false;
        ++at_;
        return true;
    }

    bool number() {
        const char* start = at_;
        if (*at_ == '-') ++at_;
        if (at_ == end_) return false;
        if (*at_ == '0') {
            ++at_;
        } else if (*at_ >= '1' && *at_ <= '9') {
            while (at_ != end_ && is_digit(*at_)) ++at_;
        } else {
            return false;
        }
        bool integer = true;
        if (at_ != end_ && *at_ == '.') {
            ++at_;
            if (at_ == end_ || !is_digit(*at_)) return false;
            while (at_ != end_ && is_digit(*at_)) ++at_;
            integer = false;
        }
        if (at_ != end_ && (*at_ == 'e' || *at_ == 'E')) {
            ++at_;
            if (at_ != end_ && (*at_ == '+' || *at_ == '-')) ++at_;
            if (at_ == end_ || !is_digit(*at_)) return false;
            while (at_ != end_ && is_digit(*at_)) ++at_;
            integer = false;
        }
        const std::string_view lexeme(start, static_cast<size_t>(at_ - start));
        if (!within_long_double(lexeme)) return false;
        return integer ? handler_.integer(lexeme) : handler_.floating(lexeme);
    }

    // Four hexadecimal digits, either case; nothing else (no sign).
    bool hex_unit(std::uint32_t& unit) {
        if (end_ - at_ < 4) return false;
        const auto [stop, error] = std::from_chars(at_, at_ + 4, unit, 16);
        if (error != std::errc() || stop != at_ + 4) return false;
        at_ += 4;
        return true;
    }

    // The rest of a "\u" escape: a code point, or a surrogate pair of two.
    bool unicode_escape() {
        std::uint32_t point = 0;
        if (!hex_unit(point)) return false;
        if (point >= 0xDC00 && point <= 0xDFFF) return false;
        if (point >= 0xD800 && point <= 0xDBFF) {
            std::uint32_t low = 0;
            if (!literal("\\u") || !hex_unit(low) || low < 0xDC00 || low > 0xDFFF) return false;
            point = 0x10000 + ((point - 0xD800) << 10) + (low - 0xDC00);
        }
        append_utf8(decoded_, point);
        return true;
    }

    bool escape() {
        if (at_ == end_) return false;
        switch (*at_++) {
            case '"': decoded_.push_back('"'); return true;
            case '\\': decoded_.push_back('\\'); return true;
            case '/': decoded_.push_back('/'); return true;
            case 'b': decoded_.push_back('\b'); return true;
            case 'f': decoded_.push_back('\f'); return true;
            case 'n': decoded_.push_back('\n'); return true;
            case 'r': decoded_.push_back('\r'); return true;
            case 't': decoded_.push_back('\t'); return true;
            case 'u': return unicode_escape();
            default: return false;
        }
    }

    // A string from its opening quote. Without escapes the text is a view of
    // the input; with them it is decoded into decoded_.
    bool string(std::string_view& text) {
        const char* start = ++at_;
        const char* pending = start;  // first byte not yet copied into decoded_
        bool escaped = false;
        while (at_ != end_) {
            const auto byte = static_cast<unsigned char>(*at_);
            if (byte == '"') {
                if (escaped) {
                    decoded_.append(pending, at_);
                    text = decoded_;
                } else {
                    text = std::string_view(start, static_cast<size_t>(at_ - start));
                }
                ++at_;
                return true;
            }
            if (byte >= 0x20 && byte < 0x80 && byte != '\\') {
                ++at_;
            } else if (byte >= 0x80) {
                bool valid = false;
                at_ += utf8_sequence_length(std::string_view(at_, static_cast<size_t>(end_ - at_)), 0, valid);
                if (!valid) return false;
            } else if (byte == '\\') {
                if (!escaped) decoded_.clear();
                escaped = true;
                decoded_.append(pending, at_);
                ++at_;
                if (!escape()) return false;
                pending = at_;
            } else {
                return false;  // a control character must be escaped
            }
        }
        return false;
    }

    const char* at_;
    const char* end_;
    Handler& handler_;
    std::vector<char> open_;  // '{' or '[' for each open container
    std::string decoded_;
};

}  // namespace json_scan_detail

template <typename Handler>
bool scan_json(std::string_view text, Handler& handler) {
    return json_scan_detail::Scanner<Handler>(text, handler).document();
}

}  // namespace marnu
