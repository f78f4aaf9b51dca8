// service.hpp: where the hosted service lives. Its domain is fixed when the
// package is built; nothing is read from the environment at run time.
#pragma once

#include "core/call.hpp"
#include "core/values.hpp"

namespace quillon {

inline constexpr const char service_domain[] = QUILLON_SERVICE_DOMAIN;

/// Seconds the login, the token check and the app-token check wait for the
/// service: they run at import time, and a hang there would freeze the
/// notebook.
inline constexpr double request_timeout = QUILLON_REQUEST_TIMEOUT;

/// Whether `text` (a str) is a DNS label: 1 to 63 ASCII letters, digits and
/// hyphens, neither first nor last a hyphen. Anything else, put before the
/// service domain, could name another host ("evil.example/#").
bool is_label(PyObject* text);

/// The tenant as it goes into host names, when it is a label; else empty.
Ref tenant_label(PyObject* tenant);

/// "https://" + tenant + "." + service domain + path, the tenant inserted as
/// formatted text without any encoding. A tenant that is not a label raises
/// ValueError, before any request is made.
Ref service_url(PyObject* tenant, const char* path);

/// `response.status_code == 200` (or `!=` with `op` Py_NE): the service's
/// one sign of success. `status_code` is the name from the caller's table.
inline bool status_is(const Function& fn, PyObject* response, Name status_code, int op = Py_EQ) {
    Ref status = attr(fn, response, status_code);
    Ref ok = integer(200);
    return need(PyObject_RichCompareBool(status.get(), ok.get(), op)) != 0;
}

inline Ref timeout_value() { return own(PyFloat_FromDouble(request_timeout)); }

/// `requests.<method>(*args, **kwargs)` as the module-level function sends
/// it, on a session of its own, but given `request_timeout` seconds in all
/// for the connection and the whole answer: a service that sends a byte now
/// and then would hold a request with only the per-read time-out of the
/// HTTP layer for ever. At the deadline the request's connection is cut
/// from a timer thread, and the error it then raises becomes
/// requests.exceptions.Timeout. The request itself runs on the caller's
/// thread, so the interrupt key reaches it; the timer starts only when a
/// connection is opened. `requests` is the module (or what stands in for
/// it); `fn` is the calling function.
Ref request_within_deadline(const Function& fn, PyObject* requests, Name method, PyObject* args, PyObject* kwargs);

}  // namespace quillon
