#include "json_reference.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

namespace fuzz {
namespace {

// The UTF-8 of this reference is written from Unicode's tables, in a form
// of its own: the client's (common/utf8.h) branches on the lead byte and
// shifts each byte into place; here a table gives every range, and the
// bytes are filled from the last one back. The reference must not share
// the code it is compared with.

// Table 3-6: how many bytes a code point takes, by range, and the marker of
// its first byte.
struct EncodedRange {
    std::uint32_t last;
    size_t length;
    unsigned char first_byte_marker;
};
constexpr EncodedRange kEncodedRanges[] = {
    {0x7F, 1, 0x00},
    {0x7FF, 2, 0xC0},
    {0xFFFF, 3, 0xE0},
    {0x10FFFF, 4, 0xF0},
};

void append_utf8(std::string& out, std::uint32_t code_point) {
    for (const EncodedRange& range : kEncodedRanges) {
        if (code_point > range.last) continue;
        char bytes[4];
        for (size_t i = range.length - 1; i > 0; --i) {
            bytes[i] = static_cast<char>(0x80 | (code_point % 64));
            code_point /= 64;
        }
        bytes[0] = static_cast<char>(range.first_byte_marker | code_point);
        out.append(bytes, range.length);
        return;
    }
}

// Table 3-7: the well-formed byte sequences, one row per range of first
// bytes, with the range its second byte must lie in. Any third and fourth
// byte lie in 80..BF.
struct WellFormedRow {
    unsigned char first_low, first_high, second_low, second_high;
    size_t length;
};
constexpr WellFormedRow kWellFormed[] = {
    {0x00, 0x7F, 0x00, 0x00, 1},
    {0xC2, 0xDF, 0x80, 0xBF, 2},
    {0xE0, 0xE0, 0xA0, 0xBF, 3},
    {0xE1, 0xEC, 0x80, 0xBF, 3},
    {0xED, 0xED, 0x80, 0x9F, 3},
    {0xEE, 0xEF, 0x80, 0xBF, 3},
    {0xF0, 0xF0, 0x90, 0xBF, 4},
    {0xF1, 0xF3, 0x80, 0xBF, 4},
    {0xF4, 0xF4, 0x80, 0x8F, 4},
};

// The length of the well-formed UTF-8 sequence at the start of `text`, 0
// when there is none.
size_t utf8_sequence(std::string_view text) {
    if (text.empty()) return 0;
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    for (const WellFormedRow& row : kWellFormed) {
        if (byte(0) < row.first_low || byte(0) > row.first_high) continue;
        if (text.size() < row.length) return 0;
        if (row.length > 1 && (byte(1) < row.second_low || byte(1) > row.second_high)) return 0;
        for (size_t i = 2; i < row.length; ++i)
            if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
        return row.length;
    }
    return 0;
}

class Reader {
public:
    explicit Reader(std::string_view text) : text_(text) {}

    std::optional<std::vector<JsonEvent>> document() {
        skip_blanks();
        if (!value()) return std::nullopt;
        skip_blanks();
        if (at_ < text_.size()) return std::nullopt;
        return std::move(events_);
    }

private:
    int peek() const { return at_ < text_.size() ? static_cast<unsigned char>(text_[at_]) : -1; }
    bool take(char c) {
        if (peek() != static_cast<unsigned char>(c)) return false;
        ++at_;
        return true;
    }
    void skip_blanks() {
        while (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r') ++at_;
    }
    void emit(JsonEvent::Kind kind, std::string text = {}) { events_.push_back({kind, std::move(text)}); }

    bool value() {
        switch (peek()) {
            case '{': return object();
            case '[': return array();
            case '"': {
                std::string text;
                if (!string(text)) return false;
                emit(JsonEvent::string, std::move(text));
                return true;
            }
            case 't': return literal("true", JsonEvent::true_);
            case 'f': return literal("false", JsonEvent::false_);
            case 'n': return literal("null", JsonEvent::null);
            default: return number();
        }
    }

    bool literal(std::string_view word, JsonEvent::Kind kind) {
        if (text_.substr(at_, word.size()) != word) return false;
        at_ += word.size();
        emit(kind);
        return true;
    }

    bool object() {
        ++at_;
        emit(JsonEvent::start_object);
        skip_blanks();
        if (take('}')) {
            emit(JsonEvent::end_object);
            return true;
        }
        for (;;) {
            std::string name;
            if (!string(name)) return false;
            emit(JsonEvent::key, std::move(name));
            skip_blanks();
            if (!take(':')) return false;
            skip_blanks();
            if (!value()) return false;
            skip_blanks();
            if (take('}')) break;
            if (!take(',')) return false;
            skip_blanks();
        }
        emit(JsonEvent::end_object);
        return true;
    }

    bool array() {
        ++at_;
        emit(JsonEvent::start_array);
        skip_blanks();
        if (take(']')) {
            emit(JsonEvent::end_array);
            return true;
        }
        for (;;) {
            if (!value()) return false;
            skip_blanks();
            if (take(']')) break;
            if (!take(',')) return false;
            skip_blanks();
        }
        emit(JsonEvent::end_array);
        return true;
    }

    std::optional<std::uint32_t> hex4() {
        if (at_ + 4 > text_.size()) return std::nullopt;
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[at_++];
            value <<= 4;
            if (c >= '0' && c <= '9') value |= static_cast<std::uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f') value |= static_cast<std::uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F') value |= static_cast<std::uint32_t>(c - 'A' + 10);
            else return std::nullopt;
        }
        return value;
    }

    bool escape(std::string& out) {
        const int c = peek();
        ++at_;
        switch (c) {
            case '"': out.push_back('"'); return true;
            case '\\': out.push_back('\\'); return true;
            case '/': out.push_back('/'); return true;
            case 'b': out.push_back('\b'); return true;
            case 'f': out.push_back('\f'); return true;
            case 'n': out.push_back('\n'); return true;
            case 'r': out.push_back('\r'); return true;
            case 't': out.push_back('\t'); return true;
            case 'u': break;
            default: return false;
        }
        const std::optional<std::uint32_t> unit = hex4();
        if (!unit) return false;
        if (*unit >= 0xDC00 && *unit <= 0xDFFF) return false;
        if (*unit < 0xD800 || *unit > 0xDBFF) {
            append_utf8(out, *unit);
            return true;
        }
        if (!take('\\') || !take('u')) return false;
        const std::optional<std::uint32_t> low = hex4();
        if (!low || *low < 0xDC00 || *low > 0xDFFF) return false;
        append_utf8(out, 0x10000 + ((*unit - 0xD800) << 10) + (*low - 0xDC00));
        return true;
    }

    bool string(std::string& out) {
        if (!take('"')) return false;
        for (;;) {
            const int c = peek();
            if (c < 0x20) return false;  // the end of the text, or a control character
            if (c == '"') {
                ++at_;
                return true;
            }
            if (c == '\\') {
                ++at_;
                if (!escape(out)) return false;
                continue;
            }
            const size_t length = utf8_sequence(text_.substr(at_));
            if (length == 0) return false;
            out.append(text_.substr(at_, length));
            at_ += length;
        }
    }

    bool digits() {
        const size_t start = at_;
        while (peek() >= '0' && peek() <= '9') ++at_;
        return at_ > start;
    }

    bool number() {
        const size_t start = at_;
        take('-');
        if (!take('0') && !(peek() >= '1' && peek() <= '9' && digits())) return false;
        bool integer = true;
        if (take('.')) {
            integer = false;
            if (!digits()) return false;
        }
        if (take('e') || take('E')) {
            integer = false;
            if (!take('+')) take('-');
            if (!digits()) return false;
        }
        std::string lexeme(text_.substr(start, at_ - start));
        if (!std::isfinite(std::strtold(lexeme.c_str(), nullptr))) return false;
        if (integer && lexeme == "-0") lexeme = "0";
        emit(JsonEvent::number, std::move(lexeme));
        return true;
    }

    std::string_view text_;
    size_t at_ = 0;
    std::vector<JsonEvent> events_;
};

}  // namespace

std::optional<std::vector<JsonEvent>> reference_json_events(std::string_view text) { return Reader(text).document(); }

bool valid_utf8(std::string_view text) {
    while (!text.empty()) {
        const size_t length = utf8_sequence(text);
        if (length == 0) return false;
        text.remove_prefix(length);
    }
    return true;
}

}  // namespace fuzz
