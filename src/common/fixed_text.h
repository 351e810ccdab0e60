// Texts fixed at compile time and joined from others: a path or a command
// line composed of the host's paths stays a constant, a NUL-terminated char
// array like a string literal.
#pragma once

#include <algorithm>
#include <cstddef>

namespace marnu {

// A text of N characters as a template argument: join<"/tmp/", kName>.
template <std::size_t N>
struct FixedText {
    char chars[N + 1] = {};

    constexpr FixedText() = default;
    constexpr FixedText(const char (&text)[N + 1]) { std::copy_n(text, N + 1, chars); }
    static constexpr std::size_t size() { return N; }
};
template <std::size_t M>
FixedText(const char (&)[M]) -> FixedText<M - 1>;

template <FixedText... parts>
inline constexpr FixedText<(parts.size() + ...)> joined_text = [] {
    FixedText<(parts.size() + ...)> joined;
    char* at = joined.chars;
    ((at = std::copy_n(parts.chars, parts.size(), at)), ...);
    return joined;
}();

// The parts one after the other, as a char array.
template <FixedText... parts>
inline constexpr auto& join = joined_text<parts...>.chars;

}  // namespace marnu
