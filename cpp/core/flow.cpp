// flow.cpp: exceptions taken and restored, and the with statement.
#include "core/flow.hpp"

#include "core/values.hpp"

namespace quillon {

using shared::operator""_n;

PendingError PendingError::take() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PendingError error{Ref::steal(type), Ref::steal(value), Ref::steal(traceback)};
    if (error.traceback && error.value) need(PyException_SetTraceback(error.value.get(), error.traceback.get()));
    return error;
}

Ref catch_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PyErrorSet{};
    return PendingError::take().value;
}

Ref with_context(const Function& fn, PyObject* ctx, Ref (*body)(PyObject*, void*), void* data) {
    Ref exit = attr(fn, ctx, "__exit__"_n);
    Ref entered = call_method(fn, ctx, "__enter__"_n);
    Ref result;
    try {
        result = body(entered.get(), data);
    } catch (const PyErrorSet&) {
        PendingError error = PendingError::take();
        if (!error.type) throw;
        PyObject* traceback = error.traceback ? error.traceback.get() : Py_None;
        Ref suppress = call(exit.get(), {error.type.get(), error.value.get(), traceback});
        if (truth(suppress.get())) return Ref::borrow(Py_None);
        error.restore();
        throw;
    }
    call(exit.get(), {Py_None, Py_None, Py_None});
    return result;
}

}  // namespace quillon
