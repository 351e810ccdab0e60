// Keeping what the client holds in memory (the account password, the keys it
// unpacked) out of core dumps and out of other processes' reach.
#pragma once

namespace marnu {

// From now on the process writes no core dump, and processes of the same
// user can neither attach to it nor read its memory through /proc. Failures
// are ignored: the process works as before without the protection.
void forbid_core_dumps();

}  // namespace marnu
