from typing import Any, Dict as Dict

import requests as requests
from quillon.validation.credgate import authenticate_credentials as authenticate_credentials
from quillon.validation.credgate import validate_token as validate_token
from requests.exceptions import HTTPError as HTTPError

auth_token: str | None
tenant: str
QUILLON_ENGINE_URL: str

def _invoke_gpt_engine(
    path: str,
    streaming: bool = False,
    files: dict[str, Any] | None = None,
    body: dict[str, Any] | None = None,
    request_type: str = "POST",
    data_as_json: bool = True,
) -> Any: ...
def _invoke_completion(prompt: str, max_tokens: int) -> Any: ...
def get_completion(prompt: str, max_tokens: int = 1000) -> Any: ...
