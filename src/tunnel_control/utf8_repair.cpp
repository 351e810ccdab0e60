#include "tunnel_control/utf8_repair.h"

#include "common/utf8.h"

namespace marnu {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

}  // namespace

std::string repair_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) {
        // Fast path for plain ASCII runs.
        if (static_cast<unsigned char>(bytes[i]) < 0x80) {
            size_t j = i;
            while (j < bytes.size() && static_cast<unsigned char>(bytes[j]) < 0x80) ++j;
            out.append(bytes.substr(i, j - i));
            i = j;
            continue;
        }
        bool valid = false;
        const size_t length = utf8_sequence_length(bytes, i, valid);
        if (valid)
            out.append(bytes.substr(i, length));
        else
            out.append(kReplacement);
        i += length;
    }
    return out;
}

}  // namespace marnu
