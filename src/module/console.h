// The console as Python sees it: output through sys.stdout, input from sys.stdin.
#pragma once

#include <string_view>

#include "module/python.h"

namespace marnu::console {

// Writes text (UTF-8) to sys.stdout without a newline.
void write(std::string_view text);
// Writes text and a newline, as Python's print does.
void print(std::string_view text);
void flush();
// Writes the prompt, flushes, reads one line and returns it without its line
// end, exactly as typed otherwise. Raises EOFError when standard input has ended.
py::str read_line(std::string_view prompt);
// Like read_line, but on a terminal echo is off before the prompt appears and
// is restored on every path; a newline is written after the answer.
py::str read_password(std::string_view prompt);

}  // namespace marnu::console
