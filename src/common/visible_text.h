// Text that came from the network (server names, OpenVPN's lines) as it may
// reach the user's terminal: no control character in it can set the
// terminal's title, move its cursor or write to its clipboard.
#pragma once

#include <string>
#include <string_view>

namespace marnu {

enum class LineEnds { escape, keep };

// `text` with every C0 control, DEL and C1 control (U+0080 to U+009F) and
// every byte that is not part of valid UTF-8 shown as "\xNN"; line feeds stay
// as they are with LineEnds::keep. Everything else, UTF-8 letters of any
// script included, is left unchanged.
std::string visible_text(std::string_view text, LineEnds line_ends = LineEnds::escape);

}  // namespace marnu
