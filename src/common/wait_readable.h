// Waiting for input on a descriptor while still answering Ctrl+C.
#pragma once

#include "common/interrupt.h"

namespace marnu {

// Returns once `fd` has something to read (or has ended, or failed), calling
// `interrupted` a few times a second meanwhile. A signal that arrives just
// before the wait is seen at the next call, unlike one that arrives just
// before a blocking read, which sleeps on until input comes.
void wait_until_readable(int fd, const InterruptCheck& interrupted);

}  // namespace marnu
