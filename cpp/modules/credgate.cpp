// credgate.cpp: the username/password login. Keeps the credential store
// (secret.json in the package folder), checks the bearer token with the
// service, renews it with the stored login and otherwise asks the user.
#include "core/login.hpp"
#include "core/service.hpp"
#include "core/store.hpp"

namespace quillon::credgate {
namespace {

// --- texts -----------------------------------------------------------------------

constexpr char msg_no_store[] = "USERNAME and PASSWORD are not provided please add it manually";
constexpr char msg_incomplete[] = "USERNAME and PASSWORD are not available locally please add it manually";
constexpr char msg_expired[] = "Token is expired using the username and password to generate a new token";
constexpr char msg_refused[] = "Invalid username and password, program will exit now";
constexpr char msg_login_error[] = "Error occurred while validating the credentials";
constexpr char msg_token_error[] = "Error occurred while validating the token";

constexpr char prompt_username[] = "Please enter the username:";
constexpr char prompt_password[] = "Please enter the password:";
constexpr char prompt_tenant[] = "Please enter the tenant:";

constexpr char check_credentials_doc[] =
    "\n    Check if the credentials are present\n"
    "    :return: True if the credentials are present else False\n    ";
constexpr char update_credentials_doc[] =
    "\n    Update the credentials in the secret file\n"
    "    :param username: username to be updated\n"
    "    :param password: password to be updated\n"
    "    :param auth_token: token to be updated\n"
    "    :return:\n    ";
constexpr char authenticate_credentials_doc[] = "\n    Authenticate the credentials\n    ";
constexpr char validate_credentials_doc[] =
    "\n    Validate the credentials\n"
    "    :param username: username to be validated\n"
    "    :param password: password to be validated\n"
    "    :return: True if the credentials are valid else False\n    ";

QUILLON_SERVICE_NAMES("VELTO_USERNAME", "VELTO_PASSWORD", "VELTO_TOKEN", "VELTO_TENANT", "_decrypt", "_encrypt",
                      "validate_token", "_validate_credentials", "_update_credentials", "_check_credentials",
                      "base64", "b64encode", "b64decode", "encode", "getpass", "prompt", "requests", "post", "headers",
                      "data", "content-type", "email", "password", "token", "Authorization", "status_code")

/// The store's members, in the order they are checked and written.
constexpr Name store_keys[] = {"VELTO_USERNAME"_n, "VELTO_PASSWORD"_n, "VELTO_TOKEN"_n, "VELTO_TENANT"_n};

// --- parameters ----------------------------------------------------------------------

struct UpdateCredentialsArgs {
    PyObject *username, *password, *token, *tenant;
};
constexpr Param update_credentials_params[] = {{"username"}, {"password"}, {"token"}, {"tenant"}};

struct EncryptArgs {
    PyObject* plaintext;
};
constexpr Param encrypt_params[] = {{"plaintext"}};

struct DecryptArgs {
    PyObject* ciphertext;
};
constexpr Param decrypt_params[] = {{"ciphertext"}};

struct ValidateCredentialsArgs {
    PyObject *username, *password, *tenant;
};
constexpr Param validate_credentials_params[] = {{"username"}, {"password"}, {"tenant"}};

struct ValidateTokenArgs {
    PyObject *token, *tenant;
};
constexpr Param validate_token_params[] = {{"token"}, {"tenant"}};

// --- the store -----------------------------------------------------------------------

Ref failure3() { return tuple({Py_False, Py_None, Py_None}); }

Ref check_credentials_impl(Function& fn) {
    Ref path = global(fn, "secret_file_path"_n);
    if (!store_exists(fn, path.get())) {
        say(fn, msg_no_store);
        return failure3();
    }
    Ref secret_data = read_store(fn, path.get());
    for (Name key : store_keys) {
        if (member(fn, secret_data.get(), key).get() == Py_None) {
            say(fn, msg_incomplete);
            return failure3();
        }
    }
    Ref username = member(fn, secret_data.get(), "VELTO_USERNAME"_n);
    Ref password = call(global(fn, "_decrypt"_n).get(), {member(fn, secret_data.get(), "VELTO_PASSWORD"_n).get()});
    Ref token = member(fn, secret_data.get(), "VELTO_TOKEN"_n);
    Ref tenant = member(fn, secret_data.get(), "VELTO_TENANT"_n);
    // A tenant that is not a host-name label would send the credentials to
    // another host: such a store is as good as incomplete.
    if (!tenant_label(tenant.get())) {
        say(fn, msg_incomplete);
        return failure3();
    }

    Ref accepted = call(global(fn, "validate_token"_n).get(), {token.get(), tenant.get()});
    if (truth(accepted.get())) return tuple({Py_True, token.get(), tenant.get()});

    say(fn, msg_expired);
    Ref login = call(global(fn, "_validate_credentials"_n).get(), {username.get(), password.get(), tenant.get()});
    auto [is_valid, new_token] = unpack<2>(login.get());
    if (truth(is_valid.get())) {
        call(global(fn, "_update_credentials"_n).get(), {username.get(), password.get(), new_token.get(), tenant.get()});
        return tuple({Py_True, new_token.get(), tenant.get()});
    }
    say(fn, msg_refused);
    return failure3();
}

/// The store is replaced whole and atomically, readable by its owner only:
/// it holds the password, merely base64-wrapped.
Ref update_credentials_impl(Function& fn, const UpdateCredentialsArgs& a) {
    Ref path = global(fn, "secret_file_path"_n);
    Ref wrapped = call(global(fn, "_encrypt"_n).get(), {a.password});
    Ref data = dict(fn, {{"VELTO_USERNAME"_n, a.username},
                         {"VELTO_PASSWORD"_n, wrapped.get()},
                         {"VELTO_TOKEN"_n, a.token},
                         {"VELTO_TENANT"_n, a.tenant}});
    write_store(fn, path.get(), data.get());
    return Ref::borrow(Py_None);
}

Ref encrypt_impl(Function& fn, const EncryptArgs& a) {
    Ref utf8 = text("utf-8");
    Ref raw = call_method(fn, a.plaintext, "encode"_n, {utf8.get()});
    Ref encoded = call_method(fn, global(fn, "base64"_n).get(), "b64encode"_n, {raw.get()});
    return own(PyUnicode_FromEncodedObject(encoded.get(), "utf-8", nullptr));
}

/// A value that is not base64-wrapped UTF-8 is handed back unchanged.
Ref decrypt_impl(Function& fn, const DecryptArgs& a) {
    try {
        Ref decoded = call_method(fn, global(fn, "base64"_n).get(), "b64decode"_n, {a.ciphertext});
        return own(PyUnicode_FromEncodedObject(decoded.get(), "utf-8", nullptr));
    } catch (const PyErrorSet&) {
        catch_exception();
        return Ref::borrow(a.ciphertext);
    }
}

// --- the login -----------------------------------------------------------------------

Ref authenticate_credentials_impl(Function& fn) {
    Ref stored = call(global(fn, "_check_credentials"_n).get());
    auto [is_valid, auth_token, tenant] = unpack<3>(stored.get());
    if (truth(is_valid.get())) return tuple({auth_token.get(), tenant.get()});

    auto ask = [&](const char* prompt) {
        Ref getpass = attr(fn, global(fn, "getpass"_n).get(), "getpass"_n);
        Ref text_prompt = text(prompt);
        return call(fn, getpass.get(), {}, {{"prompt"_n, text_prompt.get()}});
    };
    Ref username = ask(prompt_username);
    Ref password = ask(prompt_password);
    Ref typed_tenant = ask(prompt_tenant);

    Ref login = call(global(fn, "_validate_credentials"_n).get(), {username.get(), password.get(), typed_tenant.get()});
    auto [ok, new_token] = unpack<2>(login.get());
    if (!truth(ok.get())) raise(PyExc_PermissionError, msg_refused);
    call(global(fn, "_update_credentials"_n).get(), {username.get(), password.get(), new_token.get(), typed_tenant.get()});
    return tuple({new_token.get(), typed_tenant.get()});
}

Ref validate_credentials_impl(Function& fn, const ValidateCredentialsArgs& a) {
    Ref url = service_url(a.tenant, "/auth/get_token");
    Ref json_type = text("application/json");
    Ref headers = dict(fn, {{"content-type"_n, json_type.get()}});
    Ref body = dict(fn, {{"email"_n, a.username}, {"password"_n, a.password}});
    try {
        Ref data = call_method(fn, global(fn, "json"_n).get(), "dumps"_n, {body.get()});
        Ref timeout = timeout_value();
        Ref args = tuple({url.get()});
        Ref kwargs = dict(fn, {{"headers"_n, headers.get()}, {"data"_n, data.get()}, {"timeout"_n, timeout.get()}});
        Ref response = request_within_deadline(fn, global(fn, "requests"_n).get(), "post"_n, args.get(), kwargs.get());
        if (status_is(fn, response.get(), "status_code"_n, Py_NE)) return tuple({Py_False, Py_None});
        Ref answer = call_method(fn, response.get(), "json"_n);
        Ref token = member(fn, answer.get(), "token"_n);
        return tuple({Py_True, token.get()});
    } catch (const PyErrorSet&) {
        catch_exception();
    }
    say(fn, msg_login_error);
    return tuple({Py_False, Py_None});
}

Ref validate_token_impl(Function& fn, const ValidateTokenArgs& a) {
    Ref url = service_url(a.tenant, "/");
    Ref bearer = own(PyUnicode_FromFormat("Bearer %U", formatted(a.token).get()));
    Ref headers = dict(fn, {{"Authorization"_n, bearer.get()}});
    try {
        Ref timeout = timeout_value();
        Ref args = tuple({url.get()});
        Ref kwargs = dict(fn, {{"headers"_n, headers.get()}, {"timeout"_n, timeout.get()}});
        Ref response = request_within_deadline(fn, global(fn, "requests"_n).get(), "get"_n, args.get(), kwargs.get());
        return Ref::borrow(boolean(status_is(fn, response.get(), "status_code"_n)));
    } catch (const PyErrorSet&) {
        catch_exception();
    }
    say(fn, msg_token_error);
    return Ref::borrow(Py_False);
}

// --- the module ----------------------------------------------------------------------

constexpr FunctionSpec functions[] = {
    function<check_credentials_impl>("_check_credentials", check_credentials_doc),
    function<UpdateCredentialsArgs, update_credentials_params, update_credentials_impl>("_update_credentials",
                                                                                       update_credentials_doc),
    function<EncryptArgs, encrypt_params, encrypt_impl>("_encrypt", nullptr),
    function<DecryptArgs, decrypt_params, decrypt_impl>("_decrypt", nullptr),
    function<authenticate_credentials_impl>("authenticate_credentials", authenticate_credentials_doc),
    function<ValidateCredentialsArgs, validate_credentials_params, validate_credentials_impl>(
        "_validate_credentials", validate_credentials_doc),
    function<ValidateTokenArgs, validate_token_params, validate_token_impl>("validate_token", nullptr),
};

void exec(Module& m) {
    for (const char* name : {"os", "json", "requests", "warnings", "getpass", "datetime"}) m.import(name);
    m.import_from("jose", "jwt");
    m.import_from("urllib.request", "urlopen");
    m.import("base64");
    login_preamble(m);
    for (const FunctionSpec& spec : functions) m.def(spec);
}

}  // namespace
}  // namespace quillon::credgate

QUILLON_MODULE(credgate, quillon::credgate::exec, quillon::credgate::module_names)
