// endpoints.cpp: the engine client. Logs in when imported, keeps the login
// pair and the engine's base URL, and sends authenticated requests to the
// tenant's engine: every request is preceded by a token check, and a
// refused token by a new login.
#include "core/module.hpp"
#include "core/service.hpp"

namespace quillon::endpoints {
namespace {

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

/// Makes sure the module's token is still accepted, logging in again (and
/// rebinding token and tenant together) when it is not. The engine URL keeps
/// the tenant of the import-time login.
void ensure_token(Function& fn) {
    Ref accepted = call(global(fn, "validate_token").get(), {global(fn, "auth_token").get(), global(fn, "tenant").get()});
    if (truth(accepted.get())) return;
    Ref login = call(global(fn, "authenticate_credentials").get());
    auto [token, tenant] = unpack<2>(login.get());
    set_global(fn, "auth_token", token.get());
    set_global(fn, "tenant", tenant.get());
}

Ref invoke_gpt_engine(Function& fn, PyObject* const* args) {
    PyObject *path = args[0], *streaming = args[1], *files = args[2], *body = args[3], *request_type = args[4],
             *data_as_json = args[5];
    ensure_token(fn);

    Ref url = own(PyNumber_Add(global(fn, "QUILLON_ENGINE_URL").get(), path));
    Ref bearer_prefix = text("Bearer ");
    Ref bearer = own(PyNumber_Add(bearer_prefix.get(), global(fn, "auth_token").get()));
    Ref headers = dict({{"Authorization", bearer.get()}});

    Ref requests = global(fn, "requests");
    Ref response;
    if (PyUnicode_CompareWithASCIIString(request_type, "POST") == 0) {
        const char* body_as = truth(data_as_json) ? "json" : "data";
        response = call(attr(requests.get(), "post").get(), {},
                        {{"url", url.get()}, {"headers", headers.get()}, {body_as, body}, {"files", files}});
    } else if (PyUnicode_CompareWithASCIIString(request_type, "DELETE") == 0) {
        response = call(attr(requests.get(), "delete").get(), {},
                        {{"url", url.get()}, {"headers", headers.get()}, {"json", body}});
    } else {
        raise_format(PyExc_ValueError, "request_type must be 'POST' or 'DELETE', got %R", request_type);
    }

    if (status_is(response.get())) {
        if (truth(streaming)) return response;
        return call_method(response.get(), "json");
    }
    Ref body_text = attr(response.get(), "text");
    call(global(fn, "print").get(), {body_text.get()});
    Ref error = call(global(fn, "HTTPError").get());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw PyErrorSet{};
}

Ref invoke_completion(Function& fn, PyObject* const* args) {
    Ref body = dict({{"query", args[0]}, {"max_tokens", args[1]}});
    Ref path = text("/get-completion");
    Ref post = text("POST");
    return call(global(fn, "_invoke_gpt_engine").get(), {},
                {{"path", path.get()}, {"body", body.get()}, {"data_as_json", Py_True}, {"request_type", post.get()}});
}

Ref get_completion(Function& fn, PyObject* const* args) {
    return call(global(fn, "_invoke_completion").get(), {}, {{"prompt", args[0]}, {"max_tokens", args[1]}});
}

constexpr Param invoke_gpt_engine_params[] = {
    {"path", Exact::str, "str"},
    {"streaming", Exact::any, "bool", Default::False()},
    {"files", Exact::dict, "Dict", Default::None()},
    {"body", Exact::dict, "Dict", Default::None()},
    {"request_type", Exact::str, "str", Default::Str("POST")},
    {"data_as_json", Exact::any, "bool", Default::True()},
};
constexpr Param invoke_completion_params[] = {{"prompt", Exact::str, "str"}, {"max_tokens", Exact::int_, "int"}};
constexpr Param get_completion_params[] = {
    {"prompt", Exact::str, "str"},
    {"max_tokens", Exact::int_, "int", Default::Int(1000)},
};

const FunctionSpec functions[] = {
    {"_invoke_gpt_engine", invoke_gpt_engine_doc, invoke_gpt_engine_params, invoke_gpt_engine},
    {"_invoke_completion", nullptr, invoke_completion_params, invoke_completion},
    {"get_completion", get_completion_doc, get_completion_params, get_completion},
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

QUILLON_MODULE(endpoints, quillon::endpoints::exec)
