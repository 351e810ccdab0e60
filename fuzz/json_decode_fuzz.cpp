// JSON decoding: the bytes of a provider answer go through the client's
// encoding detection and its JSON reader, as the module decodes them,
// into a handler that records the events instead of building Python objects.
// Invariants: nothing crashes; a text is accepted exactly when the reference
// reader (written from the grammar) accepts it, with the same events in the
// same order (member order kept, strings and numbers carried unchanged); and
// every accepted text comes back unchanged from each of the other encodings
// the client recognises.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "api/json_scan.h"
#include "api/json_text.h"
#include "fuzz_check.h"
#include "json_reference.h"

namespace {

using fuzz::JsonEvent;

// Receives what the module's Python builder receives, and keeps it.
class EventRecorder {
public:
    bool null() { return add(JsonEvent::null); }
    bool boolean(bool value) { return add(value ? JsonEvent::true_ : JsonEvent::false_); }
    // The module makes an exact Python int of an integer's lexeme ("-0" is 0)
    // and reads a float's value from its lexeme.
    bool integer(std::string_view lexeme) { return add(JsonEvent::number, lexeme == "-0" ? "0" : std::string(lexeme)); }
    bool floating(std::string_view lexeme) { return add(JsonEvent::number, std::string(lexeme)); }
    bool string(std::string_view value) { return add(JsonEvent::string, std::string(value)); }
    bool key(std::string_view name) { return add(JsonEvent::key, std::string(name)); }
    bool start_object() { return add(JsonEvent::start_object); }
    bool end_object() { return add(JsonEvent::end_object); }
    bool start_array() { return add(JsonEvent::start_array); }
    bool end_array() { return add(JsonEvent::end_array); }

    const std::vector<JsonEvent>& events() const { return events_; }

private:
    bool add(JsonEvent::Kind kind, std::string text = {}) {
        events_.push_back({kind, std::move(text)});
        return true;
    }

    std::vector<JsonEvent> events_;
};

// Code points of valid UTF-8 text.
std::vector<std::uint32_t> code_points(std::string_view text) {
    std::vector<std::uint32_t> points;
    for (size_t i = 0; i < text.size();) {
        const auto first = static_cast<unsigned char>(text[i]);
        const size_t length = first < 0x80 ? 1 : first < 0xE0 ? 2 : first < 0xF0 ? 3 : 4;
        std::uint32_t point = length == 1 ? first : first & (0xFF >> (length + 1));
        for (size_t k = 1; k < length; ++k) point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        points.push_back(point);
        i += length;
    }
    return points;
}

void append_unit(std::string& out, std::uint32_t unit, size_t width, bool big_endian) {
    for (size_t k = 0; k < width; ++k) {
        const size_t shift = 8 * (big_endian ? width - 1 - k : k);
        out.push_back(static_cast<char>((unit >> shift) & 0xFF));
    }
}

std::string encode(const std::vector<std::uint32_t>& points, size_t width, bool big_endian, bool mark) {
    std::string out;
    if (mark) append_unit(out, 0xFEFF, width, big_endian);
    for (const std::uint32_t point : points) {
        if (width == 2 && point >= 0x10000) {
            append_unit(out, 0xD800 + ((point - 0x10000) >> 10), 2, big_endian);
            append_unit(out, 0xDC00 + ((point - 0x10000) & 0x3FF), 2, big_endian);
        } else {
            append_unit(out, point, width, big_endian);
        }
    }
    return out;
}

void check_other_encodings(const std::string& text) {
    FUZZ_CHECK(marnu::json_text_as_utf8("\xEF\xBB\xBF" + text) == text);
    const std::vector<std::uint32_t> points = code_points(text);
    for (const size_t width : {2, 4})
        for (const bool big_endian : {false, true})
            for (const bool mark : {false, true})
                FUZZ_CHECK(marnu::json_text_as_utf8(encode(points, width, big_endian, mark)) == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::optional<std::string> text = marnu::json_text_as_utf8(bytes);
    const auto expected = text ? fuzz::reference_json_events(*text) : std::nullopt;

    EventRecorder recorder;
    const bool accepted = text && marnu::scan_json(*text, recorder);
    FUZZ_CHECK(accepted == expected.has_value());
    if (!accepted) return 0;
    FUZZ_CHECK(recorder.events() == *expected);
    FUZZ_CHECK(fuzz::valid_utf8(*text));
    check_other_encodings(*text);
    return 0;
}
