#include "api/json_text.h"

#include <cstdint>

#include "common/utf8.h"

namespace marnu {
namespace {

enum class Encoding { Utf8, Utf8WithBom, Utf16, Utf16Be, Utf16Le, Utf32, Utf32Be, Utf32Le };

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16BeBom = "\xFE\xFF";
constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
constexpr std::string_view kUtf32BeBom{"\x00\x00\xFE\xFF", 4};
constexpr std::string_view kUtf32LeBom{"\xFF\xFE\x00\x00", 4};

Encoding detect_encoding(std::string_view b) {
    // The UTF-32 little-endian mark begins with the UTF-16 one: test it first.
    if (b.starts_with(kUtf32BeBom) || b.starts_with(kUtf32LeBom)) return Encoding::Utf32;
    if (b.starts_with(kUtf16BeBom) || b.starts_with(kUtf16LeBom)) return Encoding::Utf16;
    if (b.starts_with(kUtf8Bom)) return Encoding::Utf8WithBom;
    // A JSON text begins with an ASCII character, so its null bytes tell the encoding.
    if (b.size() >= 4) {
        if (b[0] == 0) return b[1] != 0 ? Encoding::Utf16Be : Encoding::Utf32Be;  // 00 XX or 00 00
        if (b[1] == 0) return b[2] != 0 || b[3] != 0 ? Encoding::Utf16Le : Encoding::Utf32Le;
    } else if (b.size() == 2) {
        if (b[0] == 0) return Encoding::Utf16Be;
        if (b[1] == 0) return Encoding::Utf16Le;
    }
    return Encoding::Utf8;
}

// The code unit of `width` bytes at `at`.
std::uint32_t code_unit(std::string_view b, size_t at, size_t width, bool big_endian) {
    std::uint32_t value = 0;
    for (size_t k = 0; k < width; ++k) {
        const size_t index = big_endian ? at + k : at + width - 1 - k;
        value = (value << 8) | static_cast<unsigned char>(b[index]);
    }
    return value;
}

bool is_surrogate(std::uint32_t unit) { return unit >= 0xD800 && unit <= 0xDFFF; }

std::optional<std::string> from_utf16(std::string_view b, bool big_endian) {
    if (b.size() % 2 != 0) return std::nullopt;
    std::string out;
    out.reserve(b.size());
    for (size_t i = 0; i < b.size(); i += 2) {
        const std::uint32_t unit = code_unit(b, i, 2, big_endian);
        if (!is_surrogate(unit)) {
            append_utf8(out, unit);
            continue;
        }
        // A high surrogate must be followed by a low one; JSON text cannot hold a lone one.
        if (unit >= 0xDC00 || i + 4 > b.size()) return std::nullopt;
        const std::uint32_t low = code_unit(b, i + 2, 2, big_endian);
        if (low < 0xDC00 || low > 0xDFFF) return std::nullopt;
        append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
    }
    return out;
}

std::optional<std::string> from_utf32(std::string_view b, bool big_endian) {
    if (b.size() % 4 != 0) return std::nullopt;
    std::string out;
    out.reserve(b.size());
    for (size_t i = 0; i < b.size(); i += 4) {
        const std::uint32_t unit = code_unit(b, i, 4, big_endian);
        if (unit > 0x10FFFF || is_surrogate(unit)) return std::nullopt;
        append_utf8(out, unit);
    }
    return out;
}

// UTF-16 and UTF-32 with a mark: the mark gives the byte order and is dropped.
std::optional<std::string> from_marked(std::string_view b, size_t width) {
    const bool big_endian = b[0] == 0 || static_cast<unsigned char>(b[0]) == 0xFE;
    const std::string_view rest = b.substr(width);
    return width == 2 ? from_utf16(rest, big_endian) : from_utf32(rest, big_endian);
}

std::optional<std::string> decode(std::string_view b) {
    switch (detect_encoding(b)) {
        case Encoding::Utf8: return std::string(b);  // validated by the JSON parser
        case Encoding::Utf8WithBom: return std::string(b.substr(kUtf8Bom.size()));
        case Encoding::Utf16: return from_marked(b, 2);
        case Encoding::Utf16Be: return from_utf16(b, true);
        case Encoding::Utf16Le: return from_utf16(b, false);
        case Encoding::Utf32: return from_marked(b, 4);
        case Encoding::Utf32Be: return from_utf32(b, true);
        case Encoding::Utf32Le: return from_utf32(b, false);
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> json_text_as_utf8(std::string_view bytes) {
    std::optional<std::string> text = decode(bytes);
    if (text && text->starts_with(kUtf8Bom)) return std::nullopt;
    return text;
}

}  // namespace marnu
