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

namespace {

/// `type(ctx).name`, as the with statement finds it: on the type, never on
/// the instance; its TypeError when the type lacks it.
Ref context_method(const Function& fn, PyObject* ctx, Name name, const char* missed) {
    PyObject* method = PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(ctx)), interned(fn, name));
    if (method != nullptr) return Ref::steal(method);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
    PyErr_Clear();
    raise_format(PyExc_TypeError, "'%.200s' object does not support the context manager protocol%s",
                 Py_TYPE(ctx)->tp_name, missed);
}

}  // namespace

Ref with_context(const Function& fn, PyObject* ctx, Ref (*body)(PyObject*, void*), void* data) {
    Ref enter = context_method(fn, ctx, "__enter__"_n, "");
    Ref exit = context_method(fn, ctx, "__exit__"_n, " (missed __exit__ method)");
    Ref entered = call(enter.get(), {ctx});
    Ref result;
    try {
        result = body(entered.get(), data);
    } catch (const PyErrorSet&) {
        PendingError error = PendingError::take();
        if (!error.type) throw;
        PyObject* traceback = error.traceback ? error.traceback.get() : Py_None;
        Ref suppress = call(exit.get(), {ctx, error.type.get(), error.value.get(), traceback});
        if (truth(suppress.get())) return Ref::borrow(Py_None);
        error.restore();
        throw;
    }
    call(exit.get(), {ctx, Py_None, Py_None, Py_None});
    return result;
}

}  // namespace quillon
