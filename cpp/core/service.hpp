// service.hpp: where the hosted service lives. Its domain is fixed when the
// package is built; nothing is read from the environment at run time.
#pragma once

#include "core/call.hpp"

namespace quillon {

inline constexpr const char service_domain[] = QUILLON_SERVICE_DOMAIN;

/// Seconds the login, the token check and the app-token check wait for the
/// service: they run at import time, and a hang there would freeze the
/// notebook.
inline constexpr double request_timeout = QUILLON_REQUEST_TIMEOUT;

/// The text of `value` as an f-string would insert it.
inline Ref formatted(PyObject* value) { return own(PyObject_Format(value, nullptr)); }

/// "https://" + tenant + "." + service domain + path, the tenant inserted as
/// formatted text without any encoding.
inline Ref service_url(PyObject* tenant, const char* path) {
    Ref label = formatted(tenant);
    return own(PyUnicode_FromFormat("https://%U.%s%s", label.get(), service_domain, path));
}

/// `response.status_code == 200` (or `!=` with `op` Py_NE): the service's
/// one sign of success.
inline bool status_is(PyObject* response, int op = Py_EQ) {
    Ref status = attr(response, "status_code");
    Ref ok = integer(200);
    return need(PyObject_RichCompareBool(status.get(), ok.get(), op)) != 0;
}

inline Ref timeout_value() { return own(PyFloat_FromDouble(request_timeout)); }

}  // namespace quillon
