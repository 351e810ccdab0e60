// Network text on its way to the terminal: whatever bytes come in, what goes
// out is valid UTF-8 without a C0 control (but line feeds, where kept), DEL
// or C1 control, and text that holds none of these comes out unchanged.
// Input: one byte whose low bit
// says whether line feeds are kept, then the text.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/utf8.h"
#include "common/visible_text.h"
#include "fuzz_check.h"

namespace {

// The code point of the valid sequence at `i` (of `length` bytes).
std::uint32_t code_point(std::string_view s, size_t i, size_t length) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
    if (length == 1) return byte(0);
    std::uint32_t value = byte(0) & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) value = (value << 6) | (byte(k) & 0x3F);
    return value;
}

bool is_control(std::uint32_t c) { return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const marnu::LineEnds line_ends = (data[0] & 1) != 0 ? marnu::LineEnds::keep : marnu::LineEnds::escape;
    const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string shown = marnu::visible_text(text, line_ends);

    bool clean = true;  // valid UTF-8 without anything to escape
    for (size_t i = 0; i < text.size();) {
        bool valid = false;
        const size_t length = marnu::utf8_sequence_length(text, i, valid);
        const std::uint32_t c = valid ? code_point(text, i, length) : 0;
        if (!valid || (is_control(c) && !(c == '\n' && line_ends == marnu::LineEnds::keep))) clean = false;
        i += length;
    }
    if (clean) FUZZ_CHECK(shown == text);

    for (size_t i = 0; i < shown.size();) {
        bool valid = false;
        const size_t length = marnu::utf8_sequence_length(shown, i, valid);
        FUZZ_CHECK(valid);
        const std::uint32_t c = code_point(shown, i, length);
        FUZZ_CHECK(!is_control(c) || (c == '\n' && line_ends == marnu::LineEnds::keep));
        i += length;
    }
    // An escape is four characters for at most two bytes of the input.
    FUZZ_CHECK(shown.size() <= text.size() * 4);
    return 0;
}
