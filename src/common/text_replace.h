// Replacing every occurrence of a fixed text: left to right, occurrences do
// not overlap, and what was put in is not searched again.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>

#include "common/ascii.h"

namespace marnu {

namespace detail {

// Calls `replacement(found)` for each occurrence of `needle`, as `equal`
// compares characters, and puts its result where the occurrence stood.
template <typename Equal, typename Replacement>
std::string replace_each(std::string_view text, std::string_view needle, Equal equal, Replacement replacement) {
    std::string result;
    result.reserve(text.size());
    auto rest = text.begin();
    for (;;) {
        const auto found = std::search(rest, text.end(), needle.begin(), needle.end(), equal);
        result.append(rest, found);
        if (found == text.end()) return result;
        result.append(replacement(std::string_view(found, found + static_cast<std::ptrdiff_t>(needle.size()))));
        rest = found + static_cast<std::ptrdiff_t>(needle.size());
    }
}

}  // namespace detail

inline std::string replace_all(std::string_view text, std::string_view needle, std::string_view replacement) {
    return detail::replace_each(text, needle, std::equal_to<char>(),
                                [&](std::string_view) { return replacement; });
}

// Finds `needle` whatever the case of its ASCII letters and keeps each
// occurrence as it stands in `text`, followed by `inserted`.
inline std::string insert_after_all_ignoring_ascii_case(std::string_view text, std::string_view needle,
                                                        std::string_view inserted) {
    return detail::replace_each(
        text, needle, [](char a, char b) { return ascii::to_lower(a) == ascii::to_lower(b); },
        [&](std::string_view found) { return std::string(found).append(inserted); });
}

}  // namespace marnu
