// A shared library loaded at its first use instead of with the module.
//
// libcurl and libzip bring some thirty libraries with them (OpenSSL, GnuTLS,
// Kerberos, LDAP, ...). Loading them with the module would make every import
// pay for them, even one that never sends a request.
#pragma once

#include <string>

namespace marnu {

class SharedLibrary {
public:
    // Loads the library by its soname, privately (RTLD_LOCAL), as the module's
    // own dependencies are loaded. Throws OsFailure (ELIBACC) when it cannot be
    // loaded. A loaded library stays for the life of the process, as one
    // linked with the module would: OpenSSL's exit handlers need it there.
    explicit SharedLibrary(std::string soname);

    // The function `name`, bound the way the dynamic linker binds the module's
    // own references: a definition in the global scope (a preloaded one, say)
    // comes before the library's. Throws OsFailure (ELIBACC) when it is missing.
    template <typename Function>
    Function* function(const char* name) const {
        return reinterpret_cast<Function*>(symbol(name));
    }

private:
    void* symbol(const char* name) const;

    std::string soname_;
    void* handle_;
};

}  // namespace marnu
