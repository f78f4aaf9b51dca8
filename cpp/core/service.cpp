// service.cpp: host names of the hosted service and requests bounded by a
// deadline.
#include "core/service.hpp"

#include "core/flow.hpp"
#include "core/function.hpp"
#include "core/import.hpp"

#include <sys/socket.h>

#include <chrono>
#include <utility>
#include <vector>

namespace quillon {

using shared::operator""_n;

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

// How a request is held to its deadline. The session's adapters look up
// their connection pools through a hook, which makes each pool build its
// connections from a subclass of its own connection class; that subclass's
// _new_conn starts the timer (once per request) and keeps a duplicate of
// every socket it opens. At the deadline the timer shuts those sockets down,
// which ends whatever the request waits for (the proxy's answer, the TLS
// handshake, the next byte) at once, on the caller's thread. A duplicate and
// not the socket object itself: the TLS layer takes the file descriptor
// over from the plain socket, which is left empty while the handshake runs.

/// The cells shared by the hooks of one request, and, for a connection
/// subclass, the class it derives from.
enum Cell : std::size_t {
    cell_sockets,   // list of the duplicates, closed when the request ends
    cell_expired,   // True once the deadline has passed
    cell_deadline,  // float, seconds on the monotonic clock
    cell_timer,     // the started threading.Timer, or None
    cell_classes,   // dict: connection class -> its subclass, and subclass -> itself
    shared_cell_count,
    cell_base = shared_cell_count,
};

/// `f(*args, **kwargs)`, for the calls that wait for the network.
Ref call_on_the_network(PyObject* f, PyObject* args, PyObject* kwargs) {
    return own(parking_on_exit([&] { return PyObject_Call(f, args, kwargs); }));
}

double monotonic_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

PyObject* cell_object(const Function& fn, std::size_t index) { return PyTuple_GET_ITEM(fn.closure, index); }

bool expired(const Function& fn) { return PyCell_GET(cell_object(fn, cell_expired)) == Py_True; }

void expire(const Function& fn) { need(PyCell_Set(cell_object(fn, cell_expired), Py_True)); }

Ref shared_cells(const Function& fn) { return own(PyTuple_GetSlice(fn.closure, 0, shared_cell_count)); }

/// Shuts down the connection behind `copy`, so that every read or write
/// blocked on it returns. On the timer thread this holds the GIL from start
/// to end (fileno() and shutdown(2) never release it): a thread that waits
/// for the GIL with C++ frames on its stack is ended at interpreter exit by
/// unwinding them.
void cut(const Function& fn, PyObject* copy) {
    Ref fd = call_method(fn, copy, "fileno"_n);
    long value = PyLong_AsLong(fd.get());
    if (value == -1 && PyErr_Occurred()) throw PyErrorSet{};
    if (value >= 0) ::shutdown(static_cast<int>(value), SHUT_RDWR);  // a socket not connected stays as it is
}

/// The timer's function: the deadline has passed.
Ref abort_impl(Function& fn) {
    expire(fn);
    Ref sockets = fn.cell(cell_sockets);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sockets.get()); ++i)
        cut(fn, Ref::borrow(PyList_GET_ITEM(sockets.get(), i)).get());
    return Ref::borrow(Py_None);
}

constexpr FunctionSpec abort_spec = function<abort_impl>("abort", nullptr);

void start_timer(const Function& fn, double remaining) {
    Ref timer_type = import_from("threading", "Timer");
    Ref action = make_closure(fn, abort_spec, shared_cells(fn));
    Ref interval = own(PyFloat_FromDouble(remaining));
    Ref timer = call(timer_type.get(), {interval.get(), action.get()});
    Ref name = text("quillon-deadline");
    set_attr(fn, timer.get(), "name"_n, name.get());
    set_attr(fn, timer.get(), "daemon"_n, Py_True);
    call_method(fn, timer.get(), "start"_n);
    need(PyCell_Set(cell_object(fn, cell_timer), timer.get()));
}

struct SelfArgs {
    PyObject* self;
};
constexpr Param self_params[] = {{"self"}};

/// The connection subclass's _new_conn: opens the socket as the base class
/// does, within the time left.
Ref new_conn_impl(Function& fn, const SelfArgs& a) {
    double remaining = PyFloat_AS_DOUBLE(fn.cell(cell_deadline).get()) - monotonic_seconds();
    if (remaining <= 0) expire(fn);
    if (expired(fn)) raise(PyExc_TimeoutError, "the deadline passed before the connection was opened");
    if (fn.cell(cell_timer).get() == Py_None) start_timer(fn, remaining);
    // The connect time-out, which the socket keeps through the proxy's
    // answer and the TLS handshake, at most the time left.
    Ref timeout = attr(fn, a.self, "timeout"_n);
    if (PyFloat_Check(timeout.get()) || PyLong_Check(timeout.get())) {
        double seconds = PyFloat_AsDouble(timeout.get());
        if (seconds == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
        if (seconds > remaining) {
            Ref clipped = own(PyFloat_FromDouble(remaining));
            set_attr(fn, a.self, "timeout"_n, clipped.get());
        }
    }
    Ref base_new_conn = attr(fn, fn.cell(cell_base).get(), "_new_conn"_n);
    Ref self_only = tuple({a.self});
    Ref socket = call_on_the_network(base_new_conn.get(), self_only.get(), nullptr);
    Ref copy = call_method(fn, socket.get(), "dup"_n);
    need(PyList_Append(fn.cell(cell_sockets).get(), copy.get()));
    if (expired(fn)) cut(fn, copy.get());  // the timer fired while the connection was being opened
    return socket;
}

constexpr FunctionSpec new_conn_spec = function<SelfArgs, self_params, new_conn_impl>("_new_conn", nullptr);

/// Makes `pool` build its connections from the watched subclass of its
/// connection class.
Ref watch_pool(const Function& fn, Ref pool) {
    Ref classes = fn.cell(cell_classes);
    Ref base = attr(fn, pool.get(), "ConnectionCls"_n);
    Ref watched = Ref::borrow(PyDict_GetItemWithError(classes.get(), base.get()));
    if (!watched) {
        if (PyErr_Occurred()) throw PyErrorSet{};
        Ref cells = own(PyTuple_New(shared_cell_count + 1));
        for (std::size_t i = 0; i < shared_cell_count; ++i)
            PyTuple_SET_ITEM(cells.get(), static_cast<Py_ssize_t>(i), Py_NewRef(cell_object(fn, i)));
        PyTuple_SET_ITEM(cells.get(), cell_base, need(PyCell_New(base.get())));
        Ref new_conn = make_closure(fn, new_conn_spec, std::move(cells));
        // Under the base's own name, which urllib3's errors quote.
        Ref name = PyType_Check(base.get()) ? own(PyType_GetName(reinterpret_cast<PyTypeObject*>(base.get())))
                                            : text("Connection");
        Ref bases = tuple({base.get()});
        Ref namespace_ = dict(fn, {{"_new_conn"_n, new_conn.get()}});
        need(PyDict_SetItemString(namespace_.get(), "__module__", fn.module_name));
        watched = call(reinterpret_cast<PyObject*>(&PyType_Type), {name.get(), bases.get(), namespace_.get()});
        need(PyDict_SetItem(classes.get(), base.get(), watched.get()));
        need(PyDict_SetItem(classes.get(), watched.get(), watched.get()));
    }
    set_attr(fn, pool.get(), "ConnectionCls"_n, watched.get());
    return pool;
}

struct TlsContextArgs {
    PyObject *self, *request, *verify, *proxies, *cert;
};
constexpr Param tls_context_params[] = {
    {"self"}, {"request"}, {"verify"}, {"proxies", Exact::any, nullptr, Default::None()},
    {"cert", Exact::any, nullptr, Default::None()}};

/// The adapter's get_connection_with_tls_context (requests 2.32.2 and later).
Ref tls_context_hook_impl(Function& fn, const TlsContextArgs& a) {
    Ref original = attr(fn, reinterpret_cast<PyObject*>(Py_TYPE(a.self)),
                        "get_connection_with_tls_context"_n);
    return watch_pool(fn, call(original.get(), {a.self, a.request, a.verify, a.proxies, a.cert}));
}

struct ConnectionArgs {
    PyObject *self, *url, *proxies;
};
constexpr Param connection_params[] = {{"self"}, {"url"}, {"proxies", Exact::any, nullptr, Default::None()}};

/// The adapter's get_connection (what older requests call instead).
Ref connection_hook_impl(Function& fn, const ConnectionArgs& a) {
    Ref original = attr(fn, reinterpret_cast<PyObject*>(Py_TYPE(a.self)), "get_connection"_n);
    return watch_pool(fn, call(original.get(), {a.self, a.url, a.proxies}));
}

constexpr FunctionSpec tls_context_hook_spec = function<TlsContextArgs, tls_context_params, tls_context_hook_impl>(
    "get_connection_with_tls_context", nullptr);
constexpr FunctionSpec connection_hook_spec =
    function<ConnectionArgs, connection_params, connection_hook_impl>("get_connection", nullptr);

/// One request's session, its hooks and its cells.
struct Watch {
    const Function& fn;
    Ref session;
    Ref cells;
    std::vector<std::pair<Ref, Name>> hooked;  // adapter, name of its hooked method

    Watch(const Function& fn, PyObject* requests) : fn(fn) {
        session = call(attr(fn, requests, "Session"_n).get());
        Ref sockets = own(PyList_New(0));
        Ref classes = own(PyDict_New());
        Ref deadline = own(PyFloat_FromDouble(monotonic_seconds() + request_timeout));
        PyObject* values[shared_cell_count] = {sockets.get(), Py_False, deadline.get(), Py_None, classes.get()};
        cells = own(PyTuple_New(shared_cell_count));
        for (std::size_t i = 0; i < shared_cell_count; ++i)
            PyTuple_SET_ITEM(cells.get(), static_cast<Py_ssize_t>(i), need(PyCell_New(values[i])));
    }

    PyObject* cell(std::size_t index) const { return PyCell_GET(PyTuple_GET_ITEM(cells.get(), index)); }

    /// Hooks every adapter of the session (a fresh session has one for
    /// https:// and one for http://, which a redirect may use).
    void hook_adapters() {
        Ref adapters = own(PyMapping_Values(attr(fn, session.get(), "adapters"_n).get()));
        Ref hooks[2];
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(adapters.get()); ++i) {
            Ref adapter = Ref::borrow(PyList_GET_ITEM(adapters.get(), i));
            PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(adapter.get()));
            Name name = "get_connection_with_tls_context"_n;
            int which = 0;
            if (!need(PyObject_HasAttr(type, interned(fn, name)))) {
                name = "get_connection"_n;
                which = 1;
            }
            if (!hooks[which])
                hooks[which] = make_closure(fn, which == 0 ? tls_context_hook_spec : connection_hook_spec, cells);
            Ref bound = own(PyMethod_New(hooks[which].get(), adapter.get()));
            hooked.emplace_back(adapter, name);  // first, so that a failed set is still undone
            set_attr(fn, adapter.get(), name, bound.get());
        }
    }

    /// Stops the timer, closes the duplicates and the session, and takes
    /// the hooks off again (each holds its adapter: a cycle otherwise).
    void finish() {
        Ref timer = Ref::borrow(cell(cell_timer));
        if (timer.get() != Py_None) call_method(fn, timer.get(), "cancel"_n);
        Ref sockets = Ref::borrow(cell(cell_sockets));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(sockets.get()); ++i)
            call_method(fn, Ref::borrow(PyList_GET_ITEM(sockets.get(), i)).get(), "close"_n);
        call_method(fn, session.get(), "close"_n);
        for (auto& [adapter, name] : hooked)
            if (PyObject_DelAttr(adapter.get(), interned(fn, name)) < 0) {
                if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
                PyErr_Clear();
            }
        hooked.clear();
        // Last, so that an interrupt while waiting leaves nothing else undone;
        // a cancelled timer ends at once.
        if (timer.get() != Py_None) call_method(fn, timer.get(), "join"_n);
    }
};

[[noreturn]] void raise_timeout(PendingError& cause) {
    Ref timeout_type = import_from("requests.exceptions", "Timeout");
    Ref seconds = timeout_value();
    Ref message = own(PyUnicode_FromFormat("no complete answer from the service within %S seconds", seconds.get()));
    Ref error = call(timeout_type.get(), {message.get()});
    PyException_SetContext(error.get(), cause.value.release());  // steals
    raise_object(error.get());
}

}  // namespace

Ref request_within_deadline(const Function& fn, PyObject* requests, Name method, PyObject* args, PyObject* kwargs) {
    Watch watch(fn, requests);
    Ref response;
    try {
        watch.hook_adapters();
        Ref send = attr(fn, watch.session.get(), method);
        response = call_on_the_network(send.get(), args, kwargs);
    } catch (const PyErrorSet&) {
        PendingError error = PendingError::take();
        watch.finish();
        // Any failure after the deadline is the deadline's doing: cutting
        // the connection makes the HTTP layer report a broken one, and a
        // socket time-out clipped to the time left may fire just before the
        // timer does.
        bool past = watch.cell(cell_expired) == Py_True ||
                    monotonic_seconds() >= PyFloat_AS_DOUBLE(watch.cell(cell_deadline));
        if (past && error.type &&
            PyErr_GivenExceptionMatches(error.type.get(), PyExc_Exception))
            raise_timeout(error);
        error.restore();
        throw;
    }
    watch.finish();
    return response;
}

}  // namespace quillon
