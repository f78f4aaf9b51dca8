// authentication.cpp: the app-token login. An app token and its tenant are
// checked by the service and kept in the credential store, which this login
// rewrites whole with its own two members.
#include "core/login.hpp"
#include "core/service.hpp"
#include "core/store.hpp"
#include "core/text.hpp"

#include <algorithm>
#include <vector>

namespace quillon::authentication {
namespace {

// --- texts -----------------------------------------------------------------------

constexpr char msg_no_store[] = "VELTO_SECRET is not provided please add it manually";
constexpr char msg_invalid[] = "Provided token is invalid. Please provide a valid token";
constexpr char msg_exception[] = "Exception Occurred: ";
constexpr char msg_refused[] = "Invalid token, program will exit now";
constexpr char prompt_token[] = "Please enter the token: ";
constexpr char prompt_tenant[] = "Please enter the tenant: ";
constexpr char check_path[] = "/validate-app-token/";
constexpr char query_key[] = "?api_key=";

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

QUILLON_SERVICE_NAMES("VELTO_SECRET", "VELTO_TENANT", "_check_secret", "_get_secret", "update_secret",
                      "_validate_secret", "input", "requests", "safe", "prepare_url", "path_url",
                      "status_code")

// --- parameters ----------------------------------------------------------------------

/// The token and its tenant, for update_secret and _validate_secret.
struct SecretArgs {
    PyObject *secret, *tenant;
};
constexpr Param secret_params[] = {{"secret"}, {"tenant"}};

// --- the store -----------------------------------------------------------------------

/// The stored token and tenant; both empty unless both are there and the
/// tenant is a host-name label (any other tenant would send the token to
/// another host, so such a store counts as lacking it).
std::pair<Ref, Ref> stored_pair(Function& fn, PyObject* secret_data) {
    Ref secret = member(fn, secret_data, "VELTO_SECRET"_n);
    if (secret.get() == Py_None) return {};
    Ref tenant = member(fn, secret_data, "VELTO_TENANT"_n);
    if (tenant.get() == Py_None || !tenant_label(tenant.get())) return {};
    return {secret, tenant};
}

Ref check_secret_impl(Function& fn) {
    Ref path = global(fn, "secret_file_path"_n);
    if (!store_exists(fn, path.get())) {
        say(fn, msg_no_store);
        return Ref::borrow(Py_False);
    }
    auto [secret, tenant] = stored_pair(fn, read_store(fn, path.get()).get());
    if (!secret) return Ref::borrow(Py_False);
    return call(global(fn, "_validate_secret"_n).get(), {secret.get(), tenant.get()});
}

Ref get_secret_impl(Function& fn) {
    Ref path = global(fn, "secret_file_path"_n);
    if (!store_exists(fn, path.get())) return Ref::borrow(Py_None);
    auto [secret, tenant] = stored_pair(fn, read_store(fn, path.get()).get());
    if (!secret) return tuple({Py_None, Py_None});
    return tuple({secret.get(), tenant.get()});
}

/// Shares the credential login's atomic, owner-only replacement of the store.
Ref update_secret_impl(Function& fn, const SecretArgs& a) {
    Ref path = global(fn, "secret_file_path"_n);
    Ref data = dict(fn, {{"VELTO_SECRET"_n, a.secret}, {"VELTO_TENANT"_n, a.tenant}});
    write_store(fn, path.get(), data.get());
    return Ref::borrow(Py_None);
}

// --- the login -----------------------------------------------------------------------

Ref authenticate_secret_impl(Function& fn) {
    if (truth(call(global(fn, "_check_secret"_n).get()).get())) return call(global(fn, "_get_secret"_n).get());
    auto ask = [&](const char* prompt) { return call(global(fn, "input"_n).get(), {text(prompt).get()}); };
    Ref secret = ask(prompt_token);
    Ref tenant = ask(prompt_tenant);
    if (!truth(call(global(fn, "_validate_secret"_n).get(), {secret.get(), tenant.get()}).get()))
        raise(PyExc_PermissionError, msg_refused);
    call(global(fn, "update_secret"_n).get(), {secret.get(), tenant.get()});
    return call(global(fn, "_get_secret"_n).get());
}

/// The token as the HTTP layer sends it in `url`, which may differ from every
/// quoting of it (escapes are upper-cased, a "#" cuts it short): the path
/// after the check's prefix, either side of the query key. None when the URL
/// cannot be prepared; the error then quotes it as given.
std::vector<Ref> sent_spellings(Function& fn, PyObject* url) {
    std::vector<Ref> spellings;
    try {
        Ref prepared = call(import_from("requests.models", "PreparedRequest").get());
        call_method(fn, prepared.get(), "prepare_url"_n, {url, Py_None});
        Ref path = attr(fn, prepared.get(), "path_url"_n);
        if (!PyUnicode_Check(path.get())) return spellings;
        Ref prefix = text(check_path);
        if (PyUnicode_Tailmatch(path.get(), prefix.get(), 0, PY_SSIZE_T_MAX, -1) != 1) return spellings;
        Ref tail = own(PyUnicode_Substring(path.get(), PyUnicode_GET_LENGTH(prefix.get()), PY_SSIZE_T_MAX));
        Ref key = text(query_key);
        Ref parts = own(PyUnicode_Split(tail.get(), key.get(), -1));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts.get()); ++i)
            spellings.push_back(Ref::borrow(PyList_GET_ITEM(parts.get(), i)));
    } catch (const PyErrorSet&) {
        catch_exception();
    }
    return spellings;
}

/// The text of `err` with the token blotted out where an HTTP error quotes
/// it (as sent, as typed, or percent-encoded): in the URL, right after the
/// check's path and after the query key. Only there, so that a short token
/// leaves the other words of the message alone. The line is printed into the
/// notebook, which may be saved and shared.
Ref without_secret(Function& fn, PyObject* err, PyObject* secret, PyObject* url) {
    Ref message = str(err);
    if (PyUnicode_GET_LENGTH(secret) == 0) return message;
    Ref quote = import_from("urllib.parse", "quote");
    Ref requote = import_from("requests.utils", "requote_uri");
    Ref nothing_safe = text("");
    std::vector<Ref> spellings = sent_spellings(fn, url);
    spellings.push_back(call(fn, quote.get(), {secret}, {{"safe"_n, nothing_safe.get()}}));
    spellings.push_back(call(quote.get(), {secret}));
    spellings.push_back(call(requote.get(), {secret}));
    spellings.push_back(Ref::borrow(secret));
    // Longest first: a spelling that holds another must win over it.
    std::stable_sort(spellings.begin(), spellings.end(), [](const Ref& a, const Ref& b) {
        return PyUnicode_GET_LENGTH(a.get()) > PyUnicode_GET_LENGTH(b.get());
    });
    Ref anchors[] = {text(check_path), text(query_key + 1)};  // the query key without its "?"
    Py_ssize_t length = PyUnicode_GET_LENGTH(message.get()), copied = 0, at = 0;
    TextBuilder blotted;
    for (;;) {
        Py_ssize_t found = -1, after = 0;
        for (const Ref& anchor : anchors) {
            Py_ssize_t i = PyUnicode_Find(message.get(), anchor.get(), at, length, 1);
            if (i == -2) throw PyErrorSet{};
            if (i >= 0 && (found < 0 || i < found)) found = i, after = i + PyUnicode_GET_LENGTH(anchor.get());
        }
        if (found < 0) break;
        at = after;
        for (const Ref& spelling : spellings) {
            Py_ssize_t size = PyUnicode_GET_LENGTH(spelling.get());
            if (size == 0 || after + size > length) continue;
            if (need(static_cast<int>(PyUnicode_Tailmatch(message.get(), spelling.get(), after, after + size, -1)))) {
                blotted.str(own(PyUnicode_Substring(message.get(), copied, after)).get()).ascii("***");
                copied = at = after + size;
                break;
            }
        }
    }
    blotted.str(own(PyUnicode_Substring(message.get(), copied, length)).get());
    return blotted.finish();
}

/// The token travels unescaped in both the path and the query, as the
/// service expects it. Certificates are verified: the token is a credential.
Ref validate_secret_impl(Function& fn, const SecretArgs& a) {
    Ref host = service_url(a.tenant, check_path);
    Ref secret = formatted(a.secret);
    Ref url = own(PyUnicode_FromFormat("%U%U%s%U", host.get(), secret.get(), query_key, secret.get()));
    try {
        Ref method = text("GET");
        Ref timeout = timeout_value();
        Ref request_args = tuple({method.get(), url.get()});
        Ref kwargs = dict(fn, {{"timeout"_n, timeout.get()}});
        Ref response =
            request_within_deadline(fn, global(fn, "requests"_n).get(), "request"_n, request_args.get(), kwargs.get());
        if (status_is(fn, response.get(), "status_code"_n)) return Ref::borrow(Py_True);
    } catch (const PyErrorSet&) {
        Ref err = catch_exception();
        say(fn, {text(msg_exception).get(), without_secret(fn, err.get(), secret.get(), url.get()).get()});
    }
    say(fn, msg_invalid);
    return Ref::borrow(Py_False);
}

// --- the module ----------------------------------------------------------------------

constexpr FunctionSpec functions[] = {
    function<check_secret_impl>("_check_secret", check_secret_doc),
    function<get_secret_impl>("_get_secret", get_secret_doc),
    function<SecretArgs, secret_params, update_secret_impl>("update_secret", update_secret_doc),
    function<authenticate_secret_impl>("authenticate_secret", authenticate_secret_doc),
    function<SecretArgs, secret_params, validate_secret_impl>("_validate_secret", validate_secret_doc),
};

void exec(Module& m) {
    for (const char* name : {"os", "json", "requests", "warnings"}) m.import(name);
    login_preamble(m);
    for (const FunctionSpec& spec : functions) m.def(spec);
}

}  // namespace
}  // namespace quillon::authentication

QUILLON_MODULE(authentication, quillon::authentication::exec, quillon::authentication::module_names)
