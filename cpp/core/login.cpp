// login.cpp: the login modules' shared preamble, messages and store reading.
#include "core/login.hpp"

namespace quillon {

using shared::operator""_n;

namespace {

/// `os.path.join(os.path.split(os.path.dirname(os.path.realpath(__file__)))[0], "secret.json")`
Ref store_path(const Module& m) {
    Ref os_path = own(PyObject_GetAttrString(m.global("os").get(), "path"));
    Ref file = m.global("__file__");
    Ref real = own(PyObject_CallMethod(os_path.get(), "realpath", "O", file.get()));
    Ref folder = own(PyObject_CallMethod(os_path.get(), "dirname", "O", real.get()));
    Ref parts = own(PyObject_CallMethod(os_path.get(), "split", "O", folder.get()));
    Ref head = own(PySequence_GetItem(parts.get(), 0));
    return own(PyObject_CallMethod(os_path.get(), "join", "Os", head.get(), "secret.json"));
}

}  // namespace

void login_preamble(Module& m) {
    Ref ignored = own(PyObject_CallMethod(m.global("warnings").get(), "filterwarnings", "s", "ignore"));
    m.bind("secret_file_path", store_path(m).get());
}

void say(const Function& fn, const char* message) {
    Ref line = text(message);
    say(fn, {line.get()});
}

void say(const Function& fn, std::initializer_list<PyObject*> values) {
    call(global(fn, "print"_n).get(), values);
}

bool store_exists(const Function& fn, PyObject* path) {
    Ref os_path = attr(fn, global(fn, "os"_n).get(), "path"_n);
    return truth(call_method(fn, os_path.get(), "exists"_n, {path}).get());
}

Ref read_store(const Function& fn, PyObject* path) {
    Ref mode = text("r");
    Ref file = call(global(fn, "open"_n).get(), {path, mode.get()});
    return with_context(fn, file.get(), [&](PyObject* f) {
        return call_method(fn, global(fn, "json"_n).get(), "load"_n, {f});
    });
}

}  // namespace quillon
