// ref.cpp: raising Python errors from C++, and what the boundaries need.
#include "core/ref.hpp"

#include <unistd.h>

#include <cstdarg>

namespace quillon {

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyErrorSet{};
}

void raise_format(PyObject* type, const char* format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw PyErrorSet{};
}

void raise_object(PyObject* error) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error)), error);
    throw PyErrorSet{};
}

void park_exiting_thread() noexcept {
    for (;;) pause();
}

void error_from_current_exception(const char* where) noexcept {
    try {
        throw;
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_SystemError, "%s failed without setting an error", where);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_Format(PyExc_SystemError, "unexpected C++ exception in %s", where);
    }
}

}  // namespace quillon
