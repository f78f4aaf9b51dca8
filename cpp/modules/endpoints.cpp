// endpoints.cpp: the engine client. Logs in when imported, keeps the login
// pair and the engine's base URL, and sends authenticated requests to the
// tenant's engine: every request is preceded by a token check, and a
// refused token by a new login.
#include "core/module.hpp"
#include "core/service.hpp"

namespace quillon::endpoints {
namespace {

// --- texts -----------------------------------------------------------------------

constexpr char invoke_gpt_engine_doc[] =
    "\n    Invokes the Quillon Engine with the given path and body\n"
    "    Parameters\n"
    "        path(str): The path to invoke the engine with\n"
    "        streaming(bool): Whether to stream the response or not\n"
    "        files(Dict): The files to upload\n"
    "        body(Dict): The body to send\n"
    "        request_type(str): The type of request to send, defaults to POST\n"
    "    \n"
    "    Returns\n"
    "        The response from the engine\n    ";

constexpr char get_completion_doc[] =
    "\n    Get the completion for the given prompt\n"
    "    Parameters\n"
    "        prompt(str): The prompt to get the completion for\n"
    "        max_tokens(int): The maximum number of tokens to generate\n"
    "    \n"
    "    Returns\n"
    "        The completion for the given prompt\n    ";

QUILLON_NAMES("validate_token", "authenticate_credentials", "auth_token", "tenant", "QUILLON_ENGINE_URL",
              "requests", "post", "delete", "url", "headers", "data", "files", "text", "HTTPError",
              "_invoke_gpt_engine", "_invoke_completion", "query", "max_tokens", "body", "data_as_json",
              "request_type", "prompt", "Authorization", "status_code", "json", "path", "print")

// --- parameters ----------------------------------------------------------------------

struct InvokeGptEngineArgs {
    PyObject *path, *streaming, *files, *body, *request_type, *data_as_json;
};
constexpr Param invoke_gpt_engine_params[] = {
    {"path", Exact::str, "str"},
    {"streaming", Exact::any, "bool", Default::False()},
    {"files", Exact::dict, "Dict", Default::None()},
    {"body", Exact::dict, "Dict", Default::None()},
    {"request_type", Exact::str, "str", Default::Str("POST")},
    {"data_as_json", Exact::any, "bool", Default::True()},
};

struct InvokeCompletionArgs {
    PyObject *prompt, *max_tokens;
};
constexpr Param invoke_completion_params[] = {{"prompt", Exact::str, "str"}, {"max_tokens", Exact::int_, "int"}};

struct GetCompletionArgs {
    PyObject *prompt, *max_tokens;
};
constexpr Param get_completion_params[] = {
    {"prompt", Exact::str, "str"},
    {"max_tokens", Exact::int_, "int", Default::Int(1000)},
};

// --- requests to the engine ------------------------------------------------------------

/// Makes sure the module's token is still accepted, logging in again (and
/// rebinding token and tenant together) when it is not. The engine URL keeps
/// the tenant of the import-time login.
void ensure_token(Function& fn) {
    Ref accepted =
        call(global(fn, "validate_token"_n).get(), {global(fn, "auth_token"_n).get(), global(fn, "tenant"_n).get()});
    if (truth(accepted.get())) return;
    Ref login = call(global(fn, "authenticate_credentials"_n).get());
    auto [token, tenant] = unpack<2>(login.get());
    set_global(fn, "auth_token"_n, token.get());
    set_global(fn, "tenant"_n, tenant.get());
}

Ref invoke_gpt_engine_impl(Function& fn, const InvokeGptEngineArgs& a) {
    ensure_token(fn);

    Ref url = own(PyNumber_Add(global(fn, "QUILLON_ENGINE_URL"_n).get(), a.path));
    Ref bearer_prefix = text("Bearer ");
    Ref bearer = own(PyNumber_Add(bearer_prefix.get(), global(fn, "auth_token"_n).get()));
    Ref headers = dict(fn, {{"Authorization"_n, bearer.get()}});

    Ref requests = global(fn, "requests"_n);
    Ref response;
    if (PyUnicode_CompareWithASCIIString(a.request_type, "POST") == 0) {
        Name body_as = truth(a.data_as_json) ? "json"_n : "data"_n;
        response = call(fn, attr(fn, requests.get(), "post"_n).get(), {},
                        {{"url"_n, url.get()}, {"headers"_n, headers.get()}, {body_as, a.body}, {"files"_n, a.files}});
    } else if (PyUnicode_CompareWithASCIIString(a.request_type, "DELETE") == 0) {
        response = call(fn, attr(fn, requests.get(), "delete"_n).get(), {},
                        {{"url"_n, url.get()}, {"headers"_n, headers.get()}, {"json"_n, a.body}});
    } else {
        raise_format(PyExc_ValueError, "request_type must be 'POST' or 'DELETE', got %R", a.request_type);
    }

    if (status_is(fn, response.get(), "status_code"_n)) {
        if (truth(a.streaming)) return response;
        return call_method(fn, response.get(), "json"_n);
    }
    Ref body_text = attr(fn, response.get(), "text"_n);
    call(global(fn, "print"_n).get(), {body_text.get()});
    raise_object(call(global(fn, "HTTPError"_n).get()).get());
}

Ref invoke_completion_impl(Function& fn, const InvokeCompletionArgs& a) {
    Ref body = dict(fn, {{"query"_n, a.prompt}, {"max_tokens"_n, a.max_tokens}});
    Ref path = text("/get-completion");
    Ref post = text("POST");
    return call(fn, global(fn, "_invoke_gpt_engine"_n).get(), {},
                {{"path"_n, path.get()}, {"body"_n, body.get()}, {"data_as_json"_n, Py_True},
                 {"request_type"_n, post.get()}});
}

Ref get_completion_impl(Function& fn, const GetCompletionArgs& a) {
    return call(fn, global(fn, "_invoke_completion"_n).get(), {},
                {{"prompt"_n, a.prompt}, {"max_tokens"_n, a.max_tokens}});
}

// --- the module ----------------------------------------------------------------------

constexpr FunctionSpec functions[] = {
    function<InvokeGptEngineArgs, invoke_gpt_engine_params, invoke_gpt_engine_impl>("_invoke_gpt_engine",
                                                                                    invoke_gpt_engine_doc),
    function<InvokeCompletionArgs, invoke_completion_params, invoke_completion_impl>("_invoke_completion", nullptr),
    function<GetCompletionArgs, get_completion_params, get_completion_impl>("get_completion", get_completion_doc),
};

void exec(Module& m) {
    m.import("requests");
    m.import_from("requests.exceptions", "HTTPError");
    m.import_from("typing", "Dict");
    m.import_from("quillon.validation.credgate", "authenticate_credentials");
    m.import_from("quillon.validation.credgate", "validate_token");

    Ref login = call(m.global("authenticate_credentials").get());
    auto [token, tenant] = unpack<2>(login.get());
    m.bind("auth_token", token.get());
    m.bind("tenant", tenant.get());
    m.bind("QUILLON_ENGINE_URL", service_url(tenant.get(), "").get());

    for (const FunctionSpec& spec : functions) m.def(spec);
}

}  // namespace
}  // namespace quillon::endpoints

QUILLON_MODULE(endpoints, quillon::endpoints::exec, quillon::endpoints::module_names)
