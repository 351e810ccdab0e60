// Failure kinds of the Python-free code. The module boundary turns each into
// the fitting built-in Python exception (see module/exceptions.cpp).
#pragma once

#include <stdexcept>
#include <string>

namespace marnu {

// A request that could not complete: becomes ConnectionError.
struct ConnectionFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Bad data from outside (an archive, a server record): becomes ValueError.
struct InvalidValue : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A file or process failure with its errno: becomes OSError (or the subclass
// Python picks for the errno), e.g. "[Errno 40] Refusing ...: '/tmp/ferm.conf'".
struct OsFailure : std::runtime_error {
    int error;
    std::string path;
    OsFailure(int error_number, const std::string& what, std::string file = {})
        : std::runtime_error(what), error(error_number), path(std::move(file)) {}
};

// Throws OsFailure for the current errno with a message of our own.
[[noreturn]] void throw_errno(const std::string& what, const std::string& path);

}  // namespace marnu
