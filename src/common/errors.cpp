#include "common/errors.h"

#include <cerrno>
#include <cstring>

namespace marnu {

void throw_errno(const std::string& what, const std::string& path) {
    const int saved = errno;
    throw OsFailure(saved, what + ": " + std::strerror(saved), path);
}

}  // namespace marnu
