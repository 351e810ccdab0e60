// The one place where failures of the Python-free code become Python exceptions.
#include "module/exceptions.h"

#include "common/errors.h"
#include "module/python.h"

namespace marnu {
namespace {

void set_os_error(const OsFailure& failure) {
    // OSError(errno, message[, filename]) picks the fitting subclass, such as
    // FileNotFoundError or PermissionError.
    py::object error = failure.path.empty()
                           ? py::reinterpret_borrow<py::object>(PyExc_OSError)(failure.error, failure.what())
                           : py::reinterpret_borrow<py::object>(PyExc_OSError)(failure.error, failure.what(),
                                                                                 failure.path);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
}

}  // namespace

void register_exception_translators() {
    py::register_exception_translator([](std::exception_ptr failure) {
        try {
            if (failure) std::rethrow_exception(failure);
        } catch (const ConnectionFailure& e) {
            PyErr_SetString(PyExc_ConnectionError, e.what());
        } catch (const InvalidValue& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const OsFailure& e) {
            set_os_error(e);
        }
    });
}

}  // namespace marnu
