// kernel.cpp: what the answers and the form learn from the running IPython
// shell and its kernel: the request being handled and where it came from.
#include "modules/nbassist/nbassist.hpp"

namespace quillon::nbassist {
namespace {

/// The request on the kernel's shell channel that is being handled (a
/// cell's execute_request or a widget's comm_msg), or empty outside a kernel.
Ref shell_request(Function& fn, PyObject* shell) {
    Ref kernel = attr_if_any(fn, shell, "kernel"_n);
    if (!kernel || kernel.get() == Py_None) return {};
    Ref get_parent = attr_if_any(fn, kernel.get(), "get_parent"_n);
    if (!get_parent) return {};
    return call(get_parent.get(), {text("shell").get()});
}

}  // namespace

/// `mapping[key]` of an exact dict, held; empty when `mapping` is not an
/// exact dict or lacks the key.
Ref dict_entry(Function& fn, PyObject* mapping, Name key) {
    if (mapping == nullptr || !PyDict_CheckExact(mapping)) return {};
    Ref value = Ref::borrow(PyDict_GetItemWithError(mapping, interned(fn, key)));
    if (!value && PyErr_Occurred()) throw PyErrorSet{};
    return value;
}

/// The running IPython shell, or empty when IPython is not running.
Ref running_shell(Function& fn) {
    Ref shell_class = import_from("IPython.core.interactiveshell", "InteractiveShell");
    if (!truth(call_method(fn, shell_class.get(), "initialized"_n).get())) return {};
    return call_method(fn, shell_class.get(), "instance"_n);
}

/// The shell's display publisher when it is a kernel's, which takes hooks.
Ref kernel_display_publisher(Function& fn, PyObject* shell) {
    Ref publisher = attr(fn, shell, "display_pub"_n);
    // Not PyObject_HasAttr: that would swallow an interrupt or a MemoryError too.
    return attr_if_any(fn, publisher.get(), "register_hook"_n) ? publisher : Ref{};
}

/// The comm message of the widget event that the kernel is handling, or
/// empty: from a cell, outside a kernel, or with a kernel that does not say.
Ref widget_event(Function& fn, PyObject* shell) {
    Ref request = shell_request(fn, shell);
    Ref msg_type = dict_entry(fn, dict_entry(fn, request.get(), "header"_n).get(), "msg_type"_n);
    if (!msg_type || !PyUnicode_Check(msg_type.get()) ||
        PyUnicode_CompareWithASCIIString(msg_type.get(), "comm_msg") != 0)
        return {};
    return request;
}

/// The model id of the widget whose event the kernel is handling, or empty.
Ref event_widget_id(Function& fn, PyObject* shell) {
    Ref event = widget_event(fn, shell);
    Ref comm_id = dict_entry(fn, dict_entry(fn, event.get(), "content"_n).get(), "comm_id"_n);
    return comm_id && PyUnicode_Check(comm_id.get()) ? comm_id : Ref{};
}

/// The kernel connection that sent the request being handled (its
/// messages' session), or "": the page that asked for the answer.
Ref request_origin(Function& fn, PyObject* shell) {
    Ref request = shell_request(fn, shell);
    Ref session = dict_entry(fn, dict_entry(fn, request.get(), "header"_n).get(), "session"_n);
    return session && PyUnicode_CheckExact(session.get()) ? session : text("");
}

}  // namespace quillon::nbassist
