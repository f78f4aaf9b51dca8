// call.cpp: calls, lookups and imports on behalf of SDK functions.
#include "core/call.hpp"

#include "core/module.hpp"

#include <unistd.h>

#include <cstdarg>

namespace quillon {

using shared::operator""_n;

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

std::string_view utf8_view(PyObject* s) {
    if (!PyUnicode_Check(s)) raise_format(PyExc_TypeError, "expected str, got %.200s", Py_TYPE(s)->tp_name);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s, &size);
    if (data == nullptr) throw PyErrorSet{};
    return {data, static_cast<std::size_t>(size)};
}

Ref tuple(std::initializer_list<PyObject*> items) {
    Ref t = own(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyTuple_SET_ITEM(t.get(), i++, Py_NewRef(item));
    return t;
}

PyObject* interned(const Function& fn, Name name) { return module_state(fn).names[name.index]; }

Ref global(const Function& fn, Name name) {
    PyObject* key = interned(fn, name);
    if (PyObject* value = PyDict_GetItemWithError(fn.globals, key)) return Ref::borrow(value);
    if (PyErr_Occurred()) throw PyErrorSet{};
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed; never null while a frame or thread state runs
    if (builtins != nullptr) {
        if (PyObject* value = PyDict_GetItemWithError(builtins, key)) return Ref::borrow(value);
        if (PyErr_Occurred()) throw PyErrorSet{};
    }
    raise_format(PyExc_NameError, "name '%s' is not defined", name.text);
}

void set_global(const Function& fn, Name name, PyObject* value) {
    need(PyDict_SetItem(fn.globals, interned(fn, name), value));
}

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

Ref import(const char* name) { return own(PyImport_ImportModule(name)); }

Ref import_from(const char* module, const char* name) {
    // A fromlist makes the import system load `module.name` when it is a
    // submodule not yet imported, as the import statement does.
    Ref wanted = text(name);
    Ref fromlist = tuple({wanted.get()});
    Ref mod = own(PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.get(), 0));
    PyObject* value = PyObject_GetAttr(mod.get(), wanted.get());
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
        PyErr_Clear();
        raise_format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    }
    return Ref::steal(value);
}

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
