"""Plain-Python reference for the measured operations.

A straightforward rendition of prompt assembly and of the completion request,
written the way a Python developer would: prompts grown with ``+=``, values
read with ``global_variables[name]`` at every use, and a token check before
every engine request. Outputs must match the native modules byte for byte.
"""
import os

import requests
from pandas import DataFrame
from requests.exceptions import HTTPError

SERVICE_DOMAIN = "quillon.example"
REQUEST_TIMEOUT = 20.0


def _type_error(name, expected, value):
    return TypeError(
        "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
        % (name, expected.__name__, type(value).__name__)
    )


# --- prompt assembly ----------------------------------------------------------


def _generate_prompt(query, base_prompt: str, global_variables=None):
    if type(base_prompt) is not str:
        raise _type_error("base_prompt", str, base_prompt)
    if global_variables is None:
        return base_prompt + query

    global_variable_keys = []
    for name in global_variables:
        if "_" not in name and name != "In" and name != "Out" and name != "quit" and name != "exit":
            global_variable_keys.append(name)

    modules = "Modules: \n"
    variables = "Variables: \n"
    for name in global_variable_keys:
        if type(global_variables[name]) == type(os):
            modules += f"{name}\n"
        elif type(global_variables[name]) == DataFrame:
            df = global_variables[name]
            dtypes = df.dtypes
            lines = []
            for label, dtype in dtypes.to_dict().items():
                lines.append("\t column: " + str(label) + ", dtype:" + str(dtype))
            dtypes_string = "\n".join(lines)
            variables += f"name: {name}, type: {type(global_variables[name]).__name__}\n{dtypes_string}\n"
        else:
            variables += f"name: {name}, type: {type(global_variables[name])}\n"

    complete_prompt = (
        "Given below are the modules and the variables that I have used:\n"
        + modules
        + "\n"
        + variables
        + "\n"
        + "Use them as context and "
        + base_prompt
        + ": "
        + query
    )
    return complete_prompt


# --- engine request -------------------------------------------------------------

auth_token = None
tenant = None
QUILLON_ENGINE_URL = None


def login(token, tenant_label):
    """Sets the login pair and the engine URL, as the import-time login does."""
    global auth_token, tenant, QUILLON_ENGINE_URL
    auth_token, tenant = token, tenant_label
    QUILLON_ENGINE_URL = f"https://{tenant}.{SERVICE_DOMAIN}"


def validate_token(token, tenant):
    url = f"https://{tenant}.{SERVICE_DOMAIN}/"
    headers = {"Authorization": f"Bearer {token}"}
    try:
        response = requests.get(url, headers=headers, timeout=REQUEST_TIMEOUT)
        return response.status_code == 200
    except Exception:
        print("Error occurred while validating the token")
        return False


def authenticate_credentials():
    raise RuntimeError("the reference client never logs in again")


def _invoke_gpt_engine(path: str, streaming=False, files=None, body=None, request_type="POST", data_as_json=True):
    global auth_token, tenant
    if type(path) is not str:
        raise _type_error("path", str, path)
    if files is not None and type(files) is not dict:
        raise _type_error("files", dict, files)
    if body is not None and type(body) is not dict:
        raise _type_error("body", dict, body)
    if type(request_type) is not str:
        raise _type_error("request_type", str, request_type)

    if not validate_token(auth_token, tenant):
        auth_token, tenant = authenticate_credentials()

    url = QUILLON_ENGINE_URL + path
    headers = {"Authorization": "Bearer " + auth_token}
    if request_type == "POST":
        if data_as_json:
            response = requests.post(url=url, headers=headers, json=body, files=files)
        else:
            response = requests.post(url=url, headers=headers, data=body, files=files)
    elif request_type == "DELETE":
        response = requests.delete(url=url, headers=headers, json=body)
    else:
        raise ValueError(f"request_type must be 'POST' or 'DELETE', got {request_type!r}")

    if response.status_code == 200:
        if streaming:
            return response
        return response.json()
    print(response.text)
    raise HTTPError()


def _invoke_completion(prompt: str, max_tokens: int):
    if type(prompt) is not str:
        raise _type_error("prompt", str, prompt)
    if type(max_tokens) is not int:
        raise _type_error("max_tokens", int, max_tokens)
    body = {"query": prompt, "max_tokens": max_tokens}
    return _invoke_gpt_engine(path="/get-completion", body=body, data_as_json=True, request_type="POST")


def get_completion(prompt: str, max_tokens: int = 1000):
    if type(prompt) is not str:
        raise _type_error("prompt", str, prompt)
    if type(max_tokens) is not int:
        raise _type_error("max_tokens", int, max_tokens)
    return _invoke_completion(prompt=prompt, max_tokens=max_tokens)
