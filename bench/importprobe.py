"""Imports the five native modules once, under ``python -X importtime``.

Third-party dependencies are imported first, and requests has served one
(faked) request, so that each native module's "self" time in the importtime
report is its own: finding and loading the shared object, module
initialisation, and (for endpoints and nbassist) the login that their
initialisation performs against the in-process fake service.

With the argument ``predlopen`` the shared objects are first loaded with
dlopen (same flags as the import system), each timed, so that the importtime
"self" figures then exclude the loader's work.

Prints one JSON line: the cost of one login, and the dlopen times if taken.
"""
import base64  # noqa: F401
import datetime  # noqa: F401
import getpass  # noqa: F401
import json
import os  # noqa: F401
import sys
import time
import typing  # noqa: F401
import urllib.request  # noqa: F401
import warnings  # noqa: F401

import IPython.display  # noqa: F401
import ipywidgets  # noqa: F401
import jose.jwt  # noqa: F401
import openai  # noqa: F401
import pandas  # noqa: F401
import requests  # noqa: F401
import requests.exceptions  # noqa: F401

from bench import MODULES, fake


fake.install()
requests.get(fake.host("/warm-up"), timeout=20.0)  # requests' own first-use costs

dlopen_us = {}
if "predlopen" in sys.argv[1:]:
    import ctypes
    import importlib.util

    for name in MODULES:
        origin = importlib.util.find_spec(name).origin
        t0 = time.perf_counter_ns()
        ctypes.CDLL(origin, mode=sys.getdlopenflags())
        dlopen_us[name] = (time.perf_counter_ns() - t0) / 1000

store = fake.write_store()
try:
    import quillon.validation.credgate as credgate

    credgate.secret_file_path = store
    import quillon.validation.authentication as authentication

    if hasattr(authentication, "secret_file_path"):
        authentication.secret_file_path = store
    import quillon.velto_gpt_sdk.promptbook  # noqa: F401
    import quillon.velto_gpt_sdk.endpoints  # noqa: F401
    import quillon.velto_gpt_sdk.nbassist  # noqa: F401

    # One login as the import-time statements run it, for reference.
    credgate.authenticate_credentials()
    samples = []
    for _ in range(50):
        t0 = time.perf_counter_ns()
        credgate.authenticate_credentials()
        samples.append(time.perf_counter_ns() - t0)
    samples.sort()
    print(json.dumps({"login_us": samples[len(samples) // 2] / 1000, "dlopen_us": dlopen_us}))
finally:
    os.unlink(store)
sys.stdout.flush()
