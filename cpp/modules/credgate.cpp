// credgate.cpp: the username/password login. Keeps the credential store
// (secret.json in the package folder), checks the bearer token with the
// service, renews it with the stored login and otherwise asks the user.
#include "core/module.hpp"
#include "core/service.hpp"
#include "core/store.hpp"

namespace quillon::credgate {
namespace {

constexpr const char* store_keys[] = {"VELTO_USERNAME", "VELTO_PASSWORD", "VELTO_TOKEN", "VELTO_TENANT"};

constexpr char msg_no_store[] = "USERNAME and PASSWORD are not provided please add it manually";
constexpr char msg_incomplete[] = "USERNAME and PASSWORD are not available locally please add it manually";
constexpr char msg_expired[] = "Token is expired using the username and password to generate a new token";
constexpr char msg_refused[] = "Invalid username and password, program will exit now";
constexpr char msg_login_error[] = "Error occurred while validating the credentials";
constexpr char msg_token_error[] = "Error occurred while validating the token";

constexpr char prompt_username[] = "Please enter the username:";
constexpr char prompt_password[] = "Please enter the password:";
constexpr char prompt_tenant[] = "Please enter the tenant:";

void say(const Function& fn, const char* message) {
    Ref print = global(fn, "print");
    Ref line = text(message);
    call(print.get(), {line.get()});
}

Ref failure3() { return tuple({Py_False, Py_None, Py_None}); }

// --- store -------------------------------------------------------------------

constexpr char check_credentials_doc[] =
    "\n    Check if the credentials are present\n"
    "    :return: True if the credentials are present else False\n    ";

Ref check_credentials(Function& fn, PyObject* const*) {
    Ref path = global(fn, "secret_file_path");
    Ref os_path = attr(global(fn, "os").get(), "path");
    Ref exists = call_method(os_path.get(), "exists", {path.get()});
    if (!truth(exists.get())) {
        say(fn, msg_no_store);
        return failure3();
    }
    Ref mode = text("r");
    Ref file = call(global(fn, "open").get(), {path.get(), mode.get()});
    Ref secret_data = with_context(file.get(), [&](PyObject* f) {
        return call_method(global(fn, "json").get(), "load", {f});
    });

    auto get = [&](const char* key) {
        Ref k = text(key);
        return call_method(secret_data.get(), "get", {k.get()});
    };
    for (const char* key : store_keys) {
        if (get(key).get() == Py_None) {
            say(fn, msg_incomplete);
            return failure3();
        }
    }
    Ref username = get("VELTO_USERNAME");
    Ref password = call(global(fn, "_decrypt").get(), {get("VELTO_PASSWORD").get()});
    Ref token = get("VELTO_TOKEN");
    Ref tenant = get("VELTO_TENANT");
    // A tenant that is not a host-name label would send the credentials to
    // another host: such a store is as good as incomplete.
    if (!tenant_label(tenant.get())) {
        say(fn, msg_incomplete);
        return failure3();
    }

    Ref accepted = call(global(fn, "validate_token").get(), {token.get(), tenant.get()});
    if (truth(accepted.get())) return tuple({Py_True, token.get(), tenant.get()});

    say(fn, msg_expired);
    Ref login = call(global(fn, "_validate_credentials").get(), {username.get(), password.get(), tenant.get()});
    auto [is_valid, new_token] = unpack<2>(login.get());
    if (truth(is_valid.get())) {
        call(global(fn, "_update_credentials").get(), {username.get(), password.get(), new_token.get(), tenant.get()});
        return tuple({Py_True, new_token.get(), tenant.get()});
    }
    say(fn, msg_refused);
    return failure3();
}

constexpr char update_credentials_doc[] =
    "\n    Update the credentials in the secret file\n"
    "    :param username: username to be updated\n"
    "    :param password: password to be updated\n"
    "    :param auth_token: token to be updated\n"
    "    :return:\n    ";

/// The store is replaced whole and atomically, readable by its owner only:
/// it holds the password, merely base64-wrapped.
Ref update_credentials(Function& fn, PyObject* const* args) {
    PyObject *username = args[0], *password = args[1], *token = args[2], *tenant = args[3];
    Ref path = global(fn, "secret_file_path");
    Ref wrapped = call(global(fn, "_encrypt").get(), {password});
    Ref data = dict({{store_keys[0], username}, {store_keys[1], wrapped.get()}, {store_keys[2], token},
                     {store_keys[3], tenant}});
    write_store(fn, path.get(), data.get());
    return Ref::borrow(Py_None);
}

Ref encrypt(Function& fn, PyObject* const* args) {
    Ref utf8 = text("utf-8");
    Ref raw = call_method(args[0], "encode", {utf8.get()});
    Ref encoded = call_method(global(fn, "base64").get(), "b64encode", {raw.get()});
    return own(PyUnicode_FromEncodedObject(encoded.get(), "utf-8", nullptr));
}

/// A value that is not base64-wrapped UTF-8 is handed back unchanged.
Ref decrypt(Function& fn, PyObject* const* args) {
    PyObject* ciphertext = args[0];
    try {
        Ref decoded = call_method(global(fn, "base64").get(), "b64decode", {ciphertext});
        return own(PyUnicode_FromEncodedObject(decoded.get(), "utf-8", nullptr));
    } catch (const PyErrorSet&) {
        catch_exception();
        return Ref::borrow(ciphertext);
    }
}

// --- login -------------------------------------------------------------------

constexpr char authenticate_credentials_doc[] = "\n    Authenticate the credentials\n    ";

Ref authenticate_credentials(Function& fn, PyObject* const*) {
    Ref stored = call(global(fn, "_check_credentials").get());
    auto [is_valid, auth_token, tenant] = unpack<3>(stored.get());
    if (truth(is_valid.get())) return tuple({auth_token.get(), tenant.get()});

    auto ask = [&](const char* prompt) {
        Ref getpass = attr(global(fn, "getpass").get(), "getpass");
        Ref text_prompt = text(prompt);
        return call(getpass.get(), {}, {{"prompt", text_prompt.get()}});
    };
    Ref username = ask(prompt_username);
    Ref password = ask(prompt_password);
    Ref typed_tenant = ask(prompt_tenant);

    Ref login = call(global(fn, "_validate_credentials").get(), {username.get(), password.get(), typed_tenant.get()});
    auto [ok, new_token] = unpack<2>(login.get());
    if (!truth(ok.get())) raise(PyExc_PermissionError, msg_refused);
    call(global(fn, "_update_credentials").get(), {username.get(), password.get(), new_token.get(), typed_tenant.get()});
    return tuple({new_token.get(), typed_tenant.get()});
}

constexpr char validate_credentials_doc[] =
    "\n    Validate the credentials\n"
    "    :param username: username to be validated\n"
    "    :param password: password to be validated\n"
    "    :return: True if the credentials are valid else False\n    ";

Ref validate_credentials(Function& fn, PyObject* const* args) {
    PyObject *username = args[0], *password = args[1], *tenant = args[2];
    Ref url = service_url(tenant, "/auth/get_token");
    Ref json_type = text("application/json");
    Ref headers = dict({{"content-type", json_type.get()}});
    Ref body = dict({{"email", username}, {"password", password}});
    try {
        Ref data = call_method(global(fn, "json").get(), "dumps", {body.get()});
        Ref timeout = timeout_value();
        Ref post = attr(global(fn, "requests").get(), "post");
        Ref args = tuple({url.get()});
        Ref kwargs = dict({{"headers", headers.get()}, {"data", data.get()}, {"timeout", timeout.get()}});
        Ref response = request_within_deadline(fn, post.get(), args.get(), kwargs.get());
        if (status_is(response.get(), Py_NE)) return tuple({Py_False, Py_None});
        Ref answer = call_method(response.get(), "json");
        Ref key = text("token");
        Ref token = call_method(answer.get(), "get", {key.get()});
        return tuple({Py_True, token.get()});
    } catch (const PyErrorSet&) {
        catch_exception();
    }
    say(fn, msg_login_error);
    return tuple({Py_False, Py_None});
}

Ref validate_token(Function& fn, PyObject* const* args) {
    PyObject *token = args[0], *tenant = args[1];
    Ref url = service_url(tenant, "/");
    Ref bearer = own(PyUnicode_FromFormat("Bearer %U", formatted(token).get()));
    Ref headers = dict({{"Authorization", bearer.get()}});
    try {
        Ref timeout = timeout_value();
        Ref get = attr(global(fn, "requests").get(), "get");
        Ref args = tuple({url.get()});
        Ref kwargs = dict({{"headers", headers.get()}, {"timeout", timeout.get()}});
        Ref response = request_within_deadline(fn, get.get(), args.get(), kwargs.get());
        return Ref::borrow(boolean(status_is(response.get())));
    } catch (const PyErrorSet&) {
        catch_exception();
    }
    say(fn, msg_token_error);
    return Ref::borrow(Py_False);
}

// --- module --------------------------------------------------------------------

constexpr Param update_params[] = {{"username"}, {"password"}, {"token"}, {"tenant"}};
constexpr Param encrypt_params[] = {{"plaintext"}};
constexpr Param decrypt_params[] = {{"ciphertext"}};
constexpr Param validate_credentials_params[] = {{"username"}, {"password"}, {"tenant"}};
constexpr Param validate_token_params[] = {{"token"}, {"tenant"}};

const FunctionSpec functions[] = {
    {"_check_credentials", check_credentials_doc, {}, check_credentials},
    {"_update_credentials", update_credentials_doc, update_params, update_credentials},
    {"_encrypt", nullptr, encrypt_params, encrypt},
    {"_decrypt", nullptr, decrypt_params, decrypt},
    {"authenticate_credentials", authenticate_credentials_doc, {}, authenticate_credentials},
    {"_validate_credentials", validate_credentials_doc, validate_credentials_params, validate_credentials},
    {"validate_token", nullptr, validate_token_params, validate_token},
};

void exec(Module& m) {
    for (const char* name : {"os", "json", "requests", "warnings", "getpass", "datetime"}) m.import(name);
    m.import_from("jose", "jwt");
    m.import_from("urllib.request", "urlopen");
    m.import("base64");

    Ref ignore = text("ignore");
    call_method(m.global("warnings").get(), "filterwarnings", {ignore.get()});

    m.bind("secret_file_path", store_path(m).get());

    for (const FunctionSpec& spec : functions) m.def(spec);
}

}  // namespace
}  // namespace quillon::credgate

QUILLON_MODULE(credgate, quillon::credgate::exec)
