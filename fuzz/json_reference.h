// A small JSON reader written from the grammar (RFC 8259), independent of
// the client's (api/json_scan.h, common/utf8.h), that the JSON fuzz target
// compares the client's parse with.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// One parse event. Keys and strings carry their decoded UTF-8 text; numbers
// carry what decides their Python value: the lexeme, with "-0" as "0".
struct JsonEvent {
    enum Kind { start_object, end_object, start_array, end_array, key, string, number, true_, false_, null };
    Kind kind;
    std::string text;
    bool operator==(const JsonEvent&) const = default;
};

// The events of `text` in document order, or nothing when it is not exactly
// one JSON value. Beyond the grammar, as the client decodes: strings must be
// valid UTF-8 (no encoded surrogates), an escaped surrogate must be half of a
// pair, and a number must lie within the range of long double.
std::optional<std::vector<JsonEvent>> reference_json_events(std::string_view text);

// Whether `text` is valid UTF-8.
bool valid_utf8(std::string_view text);

}  // namespace fuzz
