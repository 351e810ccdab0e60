#include "common/shared_library.h"

#include <dlfcn.h>

#include <cerrno>

#include "common/errors.h"

namespace marnu {
namespace {

[[noreturn]] void unusable(const std::string& soname) {
    const char* reason = ::dlerror();
    throw OsFailure(ELIBACC, "Could not load the shared library " + soname + ": " +
                                 (reason != nullptr ? reason : "unknown reason"));
}

}  // namespace

SharedLibrary::SharedLibrary(std::string soname)
    : soname_(std::move(soname)), handle_(::dlopen(soname_.c_str(), RTLD_LAZY | RTLD_LOCAL)) {
    if (handle_ == nullptr) unusable(soname_);
}

void* SharedLibrary::symbol(const char* name) const {
    if (void* interposed = ::dlsym(RTLD_DEFAULT, name)) return interposed;
    if (void* own = ::dlsym(handle_, name)) return own;
    unusable(soname_);
}

}  // namespace marnu
