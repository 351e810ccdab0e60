#include "common/visible_text.h"

#include <cstdint>

#include "common/utf8.h"

namespace marnu {
namespace {

void append_escaped(std::string& out, unsigned char byte) {
    constexpr char kHex[] = "0123456789abcdef";
    out += "\\x";
    out.push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 0xF]);
}

bool is_control(std::uint32_t code_point) {
    return code_point < 0x20 || code_point == 0x7F || (code_point >= 0x80 && code_point <= 0x9F);
}

}  // namespace

std::string visible_text(std::string_view text, LineEnds line_ends) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        bool valid = false;
        const size_t length = utf8_sequence_length(text, i, valid);
        const auto lead = static_cast<unsigned char>(text[i]);
        if (!valid) {
            for (size_t k = 0; k < length; ++k) append_escaped(out, static_cast<unsigned char>(text[i + k]));
        } else if (length == 1 && lead == '\n' && line_ends == LineEnds::keep) {
            out.push_back('\n');
        } else if (length == 1 && is_control(lead)) {
            append_escaped(out, lead);
        } else if (length == 2 && lead == 0xC2 && is_control(static_cast<unsigned char>(text[i + 1]))) {
            // U+0080 to U+009F, shown by their code point as Python shows them.
            append_escaped(out, static_cast<unsigned char>(text[i + 1]));
        } else {
            out.append(text, i, length);
        }
        i += length;
    }
    return out;
}

}  // namespace marnu
