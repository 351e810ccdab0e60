// The text of a JSON document received as bytes, free of Python.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace marnu {

// The document as UTF-8. Its encoding is recognised as Python's json.loads
// does for bytes: a UTF-32, UTF-16 or UTF-8 byte order mark, else the pattern
// of null bytes at the start (UTF-32 or UTF-16, big or little endian), else
// UTF-8. Nothing when the bytes are not valid in that encoding, or when the
// decoded text still begins with a byte order mark (which JSON does not allow).
std::optional<std::string> json_text_as_utf8(std::string_view bytes);

}  // namespace marnu
