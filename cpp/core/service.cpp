// service.cpp: host names of the hosted service.
#include "core/service.hpp"

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

}  // namespace quillon
