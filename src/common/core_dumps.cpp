#include "common/core_dumps.h"

#include <sys/prctl.h>
#include <sys/resource.h>

namespace marnu {

void forbid_core_dumps() {
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
    // Not dumpable: no core even where a core pattern pipes to a helper that
    // ignores the limit, and /proc/PID/mem, environ and ptrace are root's only.
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

}  // namespace marnu
