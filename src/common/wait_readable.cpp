#include "common/wait_readable.h"

#include <poll.h>

#include <cerrno>

#include "common/errors.h"

namespace marnu {

void wait_until_readable(int fd, const InterruptCheck& interrupted) {
    for (;;) {
        if (interrupted) interrupted();
        pollfd entry{fd, POLLIN, 0};
        const int ready = ::poll(&entry, 1, kInterruptPollMs);
        if (ready > 0) return;  // readable, ended or failed: the read tells which
        if (ready < 0 && errno != EINTR) throw_errno("Could not wait for input", "");
    }
}

}  // namespace marnu
