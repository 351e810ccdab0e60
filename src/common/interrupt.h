// Long waits (child processes, pipes, HTTP transfers) run without the Python
// lock and call an InterruptCheck a few times a second. The module supplies one
// that throws when the user has pressed Ctrl+C, so the wait ends promptly and
// every owner on the way out cleans up.
#pragma once

#include <functional>

namespace marnu {

using InterruptCheck = std::function<void()>;

// How long a wait sleeps before it looks for an interrupt again.
inline constexpr int kInterruptPollMs = 100;

}  // namespace marnu
