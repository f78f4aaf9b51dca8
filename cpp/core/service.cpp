// service.cpp: host names of the hosted service and requests bounded by a
// deadline.
#include "core/service.hpp"

#include "core/function.hpp"

namespace quillon {

bool is_label(PyObject* text) {
    if (!PyUnicode_Check(text) || !PyUnicode_IS_ASCII(text)) return false;
    Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (length < 1 || length > 63) return false;
    const auto* c = static_cast<const unsigned char*>(PyUnicode_DATA(text));
    if (c[0] == '-' || c[length - 1] == '-') return false;
    for (Py_ssize_t i = 0; i < length; ++i)
        if (!(Py_ISALNUM(c[i]) || c[i] == '-')) return false;
    return true;
}

Ref tenant_label(PyObject* tenant) {
    Ref label = formatted(tenant);
    return is_label(label.get()) ? label : Ref{};
}

Ref service_url(PyObject* tenant, const char* path) {
    Ref label = tenant_label(tenant);
    if (!label) {
        Ref shown = own(PyObject_Repr(formatted(tenant).get()));
        raise_format(PyExc_ValueError,
                     "invalid tenant %.200U: a tenant is the first label of the service's host name "
                     "(1 to 63 letters, digits or hyphens, not starting or ending with a hyphen)",
                     shown.get());
    }
    return own(PyUnicode_FromFormat("https://%U.%s%s", label.get(), service_domain, path));
}

namespace {

enum RequestCell : std::size_t { cell_future, cell_request, cell_args, cell_kwargs, request_cell_count };

/// The body of the request thread: runs the request and hands its result,
/// or whatever it raised, to the future.
Ref run_request(Function& fn) {
    Ref future = fn.cell(cell_future);
    Ref request = fn.cell(cell_request), args = fn.cell(cell_args), kwargs = fn.cell(cell_kwargs);
    PyObject* result = PyObject_Call(request.get(), args.get(), kwargs.get());
    if (result != nullptr) {
        Ref held = Ref::steal(result);
        call_method(fn, future.get(), core_name<"set_result">(), {held.get()});
    } else {
        PendingError error = PendingError::take();
        call_method(fn, future.get(), core_name<"set_exception">(), {error.value.get()});
    }
    return Ref::borrow(Py_None);
}

constexpr FunctionSpec run_request_spec = function<run_request>("run_request", nullptr);

}  // namespace

Ref request_within_deadline(const Function& fn, PyObject* request, PyObject* args, PyObject* kwargs) {
    Ref future = call(import_from("concurrent.futures", "Future").get());
    Ref cells = own(PyTuple_New(request_cell_count));
    PyObject* values[request_cell_count] = {future.get(), request, args, kwargs};
    for (std::size_t i = 0; i < request_cell_count; ++i)
        PyTuple_SET_ITEM(cells.get(), static_cast<Py_ssize_t>(i), need(PyCell_New(values[i])));
    Ref worker = make_closure(fn, run_request_spec, cells);

    Ref thread_type = import_from("threading", "Thread");
    Ref name = text("quillon-request");
    Ref thread = call(fn, thread_type.get(), {},
                      {{core_name<"target">(), worker.get()}, {core_name<"name">(), name.get()},
                       {core_name<"daemon">(), Py_True}});
    call_method(fn, thread.get(), core_name<"start">());

    Ref timeout = timeout_value();
    try {
        return call_method(fn, future.get(), core_name<"result">(), {timeout.get()});
    } catch (const PyErrorSet&) {
        // future.result raises TimeoutError both at the deadline and when the
        // request itself raised one; only an unfinished future is ours.
        if (!PyErr_ExceptionMatches(PyExc_TimeoutError) || truth(call_method(fn, future.get(), core_name<"done">()).get())) throw;
        PendingError::take();
        Ref timeout_error = import_from("requests.exceptions", "Timeout");
        Ref message = own(PyUnicode_FromFormat("no complete answer from the service within %S seconds",
                                               timeout.get()));
        raise_object(call(timeout_error.get(), {message.get()}).get());
    }
}

}  // namespace quillon
