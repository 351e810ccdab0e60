// The Python interpreter of `make sanitize`, linked with the AddressSanitizer
// and UndefinedBehaviorSanitizer runtimes so that they come first in its
// initial library list and the sanitized module can load. Only the
// interpreter gets them: preloading them (LD_PRELOAD) would reach every
// program a test starts, and some deadlock under them (curl in setlocale).
#include <Python.h>

// The defaults for every interpreter started, whatever environment a test
// gives it. The interpreter does not free all it holds at exit, so leak
// reports are off. A library that a test preloads comes before the runtimes
// in the library list; they are still loaded at start, ahead of libc, so
// the check of that order is off too.
extern "C" const char* __asan_default_options() {
    return "detect_leaks=0:abort_on_error=1:verify_asan_link_order=0";
}
extern "C" const char* __ubsan_default_options() { return "print_stacktrace=1:halt_on_error=1"; }

int main(int argc, char** argv) { return Py_BytesMain(argc, argv); }
