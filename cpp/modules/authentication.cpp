// authentication.cpp: the app-token login. An app token and its tenant are
// checked by the service and kept in the credential store, which this login
// rewrites whole with its own two members.
#include "core/module.hpp"
#include "core/service.hpp"
#include "core/store.hpp"

namespace quillon::authentication {
namespace {

constexpr char msg_no_store[] = "VELTO_SECRET is not provided please add it manually";
constexpr char msg_invalid[] = "Provided token is invalid. Please provide a valid token";
constexpr char msg_exception[] = "Exception Occurred: ";
constexpr char msg_refused[] = "Invalid token, program will exit now";
constexpr char prompt_token[] = "Please enter the token: ";
constexpr char prompt_tenant[] = "Please enter the tenant: ";

constexpr char check_secret_doc[] =
    "\n    Check if the secret is present\n    :return: True if the secret is present else False\n    ";
constexpr char get_secret_doc[] = "\n    Get the secret from the secret file\n    :return: secret and tenant\n    ";
constexpr char update_secret_doc[] =
    "\n    Update the secret in the secret file\n"
    "    :param secret: secret to be updated\n"
    "    :param tenant: tenant to be updated\n"
    "    :return:\n    ";
constexpr char authenticate_secret_doc[] = "\n    Authenticate the secret\n    ";
constexpr char validate_secret_doc[] =
    "\n    Validate the secret\n"
    "    :param secret: secret to be validated\n"
    "    :param tenant: tenant to be validated\n"
    "    :return: True if the secret is valid else False\n    ";

void say(const Function& fn, std::initializer_list<PyObject*> values) { call(global(fn, "print").get(), values); }

bool store_exists(const Function& fn, PyObject* path) {
    Ref os_path = attr(global(fn, "os").get(), "path");
    return truth(call_method(os_path.get(), "exists", {path}).get());
}

/// The decoded store; the file is closed before this returns, also on error.
Ref load_store(const Function& fn, PyObject* path) {
    Ref mode = text("r");
    Ref file = call(global(fn, "open").get(), {path, mode.get()});
    return with_context(file.get(), [&](PyObject* f) { return call_method(global(fn, "json").get(), "load", {f}); });
}

/// `secret_data.get(key)`
Ref member(PyObject* secret_data, const char* key) {
    Ref k = text(key);
    return call_method(secret_data, "get", {k.get()});
}

Ref check_secret(Function& fn, PyObject* const*) {
    Ref path = global(fn, "secret_file_path");
    if (!store_exists(fn, path.get())) {
        say(fn, {text(msg_no_store).get()});
        return Ref::borrow(Py_False);
    }
    Ref secret_data = load_store(fn, path.get());
    Ref secret = member(secret_data.get(), "VELTO_SECRET");
    if (secret.get() == Py_None) return Ref::borrow(Py_False);
    Ref tenant = member(secret_data.get(), "VELTO_TENANT");
    if (tenant.get() == Py_None || !tenant_label(tenant.get())) return Ref::borrow(Py_False);
    return call(global(fn, "_validate_secret").get(), {secret.get(), tenant.get()});
}

Ref get_secret(Function& fn, PyObject* const*) {
    Ref path = global(fn, "secret_file_path");
    if (!store_exists(fn, path.get())) return Ref::borrow(Py_None);
    Ref secret_data = load_store(fn, path.get());
    Ref secret = member(secret_data.get(), "VELTO_SECRET");
    if (secret.get() == Py_None) return tuple({Py_None, Py_None});
    Ref tenant = member(secret_data.get(), "VELTO_TENANT");
    if (tenant.get() == Py_None || !tenant_label(tenant.get())) return tuple({Py_None, Py_None});
    return tuple({secret.get(), tenant.get()});
}

/// Shares the credential login's atomic, owner-only replacement of the store.
Ref update_secret(Function& fn, PyObject* const* args) {
    Ref path = global(fn, "secret_file_path");
    Ref data = dict({{"VELTO_SECRET", args[0]}, {"VELTO_TENANT", args[1]}});
    write_store(fn, path.get(), data.get());
    return Ref::borrow(Py_None);
}

Ref authenticate_secret(Function& fn, PyObject* const*) {
    if (truth(call(global(fn, "_check_secret").get()).get())) return call(global(fn, "_get_secret").get());
    auto ask = [&](const char* prompt) { return call(global(fn, "input").get(), {text(prompt).get()}); };
    Ref secret = ask(prompt_token);
    Ref tenant = ask(prompt_tenant);
    if (!truth(call(global(fn, "_validate_secret").get(), {secret.get(), tenant.get()}).get()))
        raise(PyExc_PermissionError, msg_refused);
    call(global(fn, "update_secret").get(), {secret.get(), tenant.get()});
    return call(global(fn, "_get_secret").get());
}

/// The text of `err` with every spelling of `secret` that an HTTP error can
/// quote (as typed, or percent-encoded in the URL) blotted out: the line is
/// printed into the notebook, which may be saved and shared.
Ref without_secret(PyObject* err, PyObject* secret) {
    Ref message = str(err);
    if (PyUnicode_GET_LENGTH(secret) == 0) return message;
    Ref quote = import_from("urllib.parse", "quote");
    Ref requote = import_from("requests.utils", "requote_uri");
    Ref nothing_safe = text("");
    Ref spellings[] = {call(quote.get(), {secret}, {{"safe", nothing_safe.get()}}), call(quote.get(), {secret}),
                       call(requote.get(), {secret}), Ref::borrow(secret)};
    Ref blot = text("***");
    for (const Ref& spelling : spellings)
        if (PyUnicode_GET_LENGTH(spelling.get()) > 0)
            message = own(PyUnicode_Replace(message.get(), spelling.get(), blot.get(), -1));
    return message;
}

/// The token travels unescaped in both the path and the query, as the
/// service expects it. Certificates are verified: the token is a credential.
Ref validate_secret(Function& fn, PyObject* const* args) {
    Ref host = service_url(args[1], "/validate-app-token/");
    Ref secret = formatted(args[0]);
    Ref url = own(PyUnicode_FromFormat("%U%U?api_key=%U", host.get(), secret.get(), secret.get()));
    try {
        Ref method = text("GET");
        Ref timeout = timeout_value();
        Ref request = attr(global(fn, "requests").get(), "request");
        Ref request_args = tuple({method.get(), url.get()});
        Ref kwargs = dict({{"timeout", timeout.get()}});
        Ref response = request_within_deadline(fn, request.get(), request_args.get(), kwargs.get());
        if (status_is(response.get())) return Ref::borrow(Py_True);
    } catch (const PyErrorSet&) {
        Ref err = catch_exception();
        say(fn, {text(msg_exception).get(), without_secret(err.get(), secret.get()).get()});
    }
    say(fn, {text(msg_invalid).get()});
    return Ref::borrow(Py_False);
}

constexpr Param pair_params[] = {{"secret"}, {"tenant"}};

const FunctionSpec functions[] = {
    {"_check_secret", check_secret_doc, {}, check_secret},
    {"_get_secret", get_secret_doc, {}, get_secret},
    {"update_secret", update_secret_doc, pair_params, update_secret},
    {"authenticate_secret", authenticate_secret_doc, {}, authenticate_secret},
    {"_validate_secret", validate_secret_doc, pair_params, validate_secret},
};

void exec(Module& m) {
    for (const char* name : {"os", "json", "requests", "warnings"}) m.import(name);
    Ref ignore = text("ignore");
    call_method(m.global("warnings").get(), "filterwarnings", {ignore.get()});

    m.bind("secret_file_path", store_path(m).get());

    for (const FunctionSpec& spec : functions) m.def(spec);
}

}  // namespace
}  // namespace quillon::authentication

QUILLON_MODULE(authentication, quillon::authentication::exec)
