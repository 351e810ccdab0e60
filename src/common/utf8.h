// UTF-8 as the client reads it: the well-formed sequences of
// Unicode, so no encoded surrogates, nothing above U+10FFFF and no overlong
// forms (what Python's strict UTF-8 codec accepts).
#pragma once

#include <cstddef>
#include <string_view>

namespace marnu {

// Length of the valid sequence starting at `i`, or the length of the maximal
// invalid subpart (at least 1) with `valid` set to false.
inline size_t utf8_sequence_length(std::string_view s, size_t i, bool& valid) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char lead = byte(i);
    valid = true;
    if (lead < 0x80) return 1;
    size_t need = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        need = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        need = 2;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        need = 3;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        valid = false;
        return 1;
    }
    size_t k = 1;
    for (; k <= need; ++k) {
        if (i + k >= s.size()) break;
        const unsigned char c = byte(i + k);
        const unsigned char lo = k == 1 ? low : 0x80;
        const unsigned char hi = k == 1 ? high : 0xBF;
        if (c < lo || c > hi) break;
    }
    if (k <= need) valid = false;
    return k > need ? need + 1 : k;
}

}  // namespace marnu
