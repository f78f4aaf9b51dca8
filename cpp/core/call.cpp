// call.cpp: calls into Python on behalf of SDK functions, by vectorcall.
#include "core/call.hpp"

namespace quillon {

namespace {

/// Room for the arguments of the SDK's widest call.
constexpr std::size_t most_arguments = 12;

/// The vectorcall stack of positional and keyword values, with the tuple of
/// keyword names, as PyObject_Vectorcall takes them.
struct CallStack {
    PyObject* values[most_arguments + 1];  // values[0] stays free for PY_VECTORCALL_ARGUMENTS_OFFSET
    std::size_t positional = 0;
    Ref kwnames;

    CallStack(const Function* fn, PyObject* self, std::initializer_list<PyObject*> args,
              std::initializer_list<Kw> kwargs) {
        if (args.size() + kwargs.size() + (self ? 1 : 0) > most_arguments)
            raise(PyExc_SystemError, "too many arguments for one call");
        std::size_t n = 1;
        if (self) values[n++] = self;
        for (PyObject* a : args) values[n++] = a;
        positional = n - 1;
        if (kwargs.size() == 0) return;
        kwnames = own(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
        Py_ssize_t k = 0;
        for (const Kw& kw : kwargs) {
            PyTuple_SET_ITEM(kwnames.get(), k++, Py_NewRef(interned(*fn, kw.name)));
            values[n++] = kw.value;
        }
    }

    PyObject* const* args() const { return values + 1; }
    std::size_t nargsf() const { return positional | PY_VECTORCALL_ARGUMENTS_OFFSET; }
};

}  // namespace

Ref call(PyObject* f, std::initializer_list<PyObject*> args) {
    CallStack stack(nullptr, nullptr, args, {});
    return own(parking_on_exit([&] { return PyObject_Vectorcall(f, stack.args(), stack.nargsf(), nullptr); }));
}

Ref call(const Function& fn, PyObject* f, std::initializer_list<PyObject*> args, std::initializer_list<Kw> kwargs) {
    CallStack stack(&fn, nullptr, args, kwargs);
    return own(parking_on_exit(
        [&] { return PyObject_Vectorcall(f, stack.args(), stack.nargsf(), stack.kwnames.get()); }));
}

Ref call_method(const Function& fn, PyObject* obj, Name name, std::initializer_list<PyObject*> args,
                std::initializer_list<Kw> kwargs) {
    CallStack stack(&fn, obj, args, kwargs);
    return own(parking_on_exit([&] {
        return PyObject_VectorcallMethod(interned(fn, name), stack.args(), stack.nargsf(), stack.kwnames.get());
    }));
}

Ref dict(const Function& fn, std::initializer_list<Kw> items) {
    Ref d = own(PyDict_New());
    for (const Kw& kw : items) need(PyDict_SetItem(d.get(), interned(fn, kw.name), kw.value));
    return d;
}

}  // namespace quillon
