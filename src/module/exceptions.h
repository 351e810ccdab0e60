#pragma once

namespace marnu {

// ConnectionFailure -> ConnectionError, InvalidValue -> ValueError,
// OsFailure -> OSError with its errno.
void register_exception_translators();

}  // namespace marnu
