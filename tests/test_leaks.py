"""Repeated calls keep memory flat, on success and on error paths, and so do dropped forms. The
transport is a tiny stand-in for `requests`: thousands of calls fit in a few seconds."""
import contextlib
import functools
import gc
import json
import os
import pathlib
import shutil
import sys
import tempfile
import tracemalloc
import types

import pytest
import requests
from requests.exceptions import HTTPError

import quillon.validation.authentication as authentication
import quillon.validation.credgate as credgate
from _notebook import nb  # noqa: F401  (fixture)
from conftest import CHILD_KERNEL, COMPLETE, run_child

pytestmark = pytest.mark.slow

CALLS, WARMUP = 4000, 1000
FORM_CALLS, FORM_WARMUP = 400, 50
LIMIT = 64 * 1024  # bytes per 10,000 calls
GROWTH = {}
APP = {"VELTO_SECRET": "s3cr3t", "VELTO_TENANT": "acme"}


class Answer:
    def __init__(self, status, payload=None):
        self.status_code, self._payload, self.text = status, payload, "refused"

    def json(self):
        if self._payload is None:
            raise ValueError("not JSON")
        return self._payload


OK = Answer(200, {"token": "tok", "completion": "x = 1"})
REFUSED = Answer(401)
NOT_JSON = Answer(200)


class Transport:
    """Answers every request with the reply set for its method, or raises `down`. The
    login requests go through a session of their own: this object stands in for it too."""

    exceptions = requests.exceptions
    adapters = {}

    def Session(self):  # noqa: N802  (the name requests gives it)
        return self

    def close(self):
        pass

    def __init__(self):
        self.replies, self.down = {}, False
        for method in ("get", "post", "delete", "request"):
            setattr(self, method, functools.partial(self.send, method))

    def send(self, method, *args, **kwargs):
        if self.down:
            raise requests.exceptions.ConnectionError("down")
        return self.replies.get(method, OK)


@pytest.fixture(scope="module")
def world(nb, tmp_path_factory):
    """Transport, store and output of every module faked for the whole module."""
    endpoints = sys.modules["quillon.velto_gpt_sdk.endpoints"]
    # fsync on tmpfs costs nothing; durability is not what is measured here
    folder = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    path = os.path.join(folder, "secret.json")
    transport = Transport()
    quiet = lambda *args, **kwargs: None  # noqa: E731
    typed = iter(lambda: "acme", None)
    modules = {"credgate": credgate, "authentication": authentication, "endpoints": endpoints,
               "nbassist": nb}
    with pytest.MonkeyPatch.context() as mp:
        for module in (credgate, authentication, endpoints):
            mp.setattr(module, "requests", transport)
        for module in modules.values():
            mp.setattr(module, "print", quiet, raising=False)
        mp.setattr(credgate, "secret_file_path", path)
        mp.setattr(authentication, "secret_file_path", path)
        mp.setattr(credgate.getpass, "getpass", lambda prompt="": next(typed))
        mp.setattr(authentication, "input", lambda prompt="": next(typed), raising=False)
        mp.setattr(nb, "display", quiet)
        mp.setattr(nb, "DataFrame", Frame)
        mp.setattr(endpoints, "auth_token", "tok")
        mp.setattr(endpoints, "tenant", "acme")
        gc.collect()
        gc.freeze()  # what exists now is not ours to measure, and collections stay fast
        try:
            yield types.SimpleNamespace(transport=transport, path=path, endpoints=endpoints, nb=nb,
                                        modules=modules)
        finally:
            gc.unfreeze()
    shutil.rmtree(folder)


def summary():
    lines = [f"leaks: traced growth per 10,000 calls, {len(GROWTH)} cases (limit {LIMIT} B)"]
    lines += [f"  {growth:9.0f} B  {case}" for case, growth in sorted(GROWTH.items())]
    return "\n".join(lines)


def settle():
    """Collects garbage and empties the type cache: a C-level attribute lookup by a name made
    afresh (not interned) parks that name in one of the cache's 4096 slots, which would pass
    for growth."""
    gc.collect()
    sys._clear_type_cache()
    return tracemalloc.get_traced_memory()[0]


def growth_per_10k(call, calls=CALLS, warmup=WARMUP):
    """Traced growth over two runs of calls/2; the smaller one, since a one-off allocation of
    the interpreter (a new arena table, say) may fall into either, while a leak shows in both."""
    for _ in range(warmup):
        call()
    tracemalloc.start()
    try:
        grown = []
        for _ in range(2):
            before = settle()
            for _ in range(calls // 2):
                call()
            grown.append(settle() - before)
    finally:
        tracemalloc.stop()
    return min(grown) * 10_000 / (calls // 2)


class Frame:
    """Takes the data-frame branch (patched in as the module's DataFrame) without the
    caches of pandas, whose own growth is not ours to measure."""

    class dtypes:
        @staticmethod
        def to_dict():
            return {"a": "int64", 7: "object"}


NS = {"os": os, "json": json, "frame": Frame(), "n": 3, "my_x": 1, "In": [], "_": None, "f": len}
SERVER_ERROR, NO_COMPLETION = Answer(500), Answer(200, {})


def case(*args, replies=None, store=COMPLETE, raises=None, **kwargs):
    """A call to repeat: `replies` is {method: Answer} or "down", `store` the store's content
    (None: no store file), `raises` the exception the call is to end in."""
    return args, kwargs, replies or {}, store, raises


# "module.function[what differs]" -> the call. An inner function whose success path a case here
# runs (the logins' store, token and login checks, the engine client under the commands) is
# measured through that case, and so is an error an outer case passes on or survives (a refused
# request under optimize_code, a login that cannot reach the service under the engine client).
# One case stands for every argument of a refused type.
CASES = {
    "credgate._encrypt[None]": case(None, raises=AttributeError),
    "credgate._decrypt[not base64]": case("%%%"),
    "credgate._update_credentials[unserialisable]": case("u", "p", {1j}, "acme", raises=TypeError),
    "credgate._check_credentials[renewed]": case(replies={"get": REFUSED}),
    "credgate._check_credentials[refused]": case(replies={"get": REFUSED, "post": REFUSED}),
    "credgate._check_credentials[incomplete]": case(store=APP),
    "credgate._check_credentials[not JSON]": case(store="{", raises=ValueError),
    "credgate.authenticate_credentials[stored]": case(),
    "credgate.authenticate_credentials[typed]": case(store=None),
    "credgate.authenticate_credentials[refused]": case(replies={"post": REFUSED}, store=None,
                                                       raises=PermissionError),
    "credgate.validate_token[down]": case("tok", None, replies="down"),
    "authentication.update_secret[unserialisable]": case(b"s", "acme", store=APP, raises=TypeError),
    "authentication.authenticate_secret[stored]": case(store=APP),
    "authentication.authenticate_secret[typed]": case(store=None),
    "authentication.authenticate_secret[refused]": case(replies={"request": REFUSED}, store=None,
                                                        raises=PermissionError),
    "authentication._validate_secret[down]": case("s", "acme", replies="down", store=APP),
    "endpoints._invoke_gpt_engine[streaming, form data]": case("/x", True, body={},
                                                               data_as_json=False),
    "endpoints._invoke_gpt_engine[DELETE]": case("/x", request_type="DELETE"),
    "endpoints._invoke_gpt_engine[PUT]": case("/x", request_type="PUT", raises=ValueError),
    "endpoints._invoke_gpt_engine[login again]": case("/x", replies={"get": REFUSED}),
    "endpoints._invoke_gpt_engine[down]": case("/x", replies="down", raises=PermissionError),
    "endpoints.get_completion[not JSON]": case("p", replies={"post": NOT_JSON},
                                               raises=ValueError),
    "endpoints.get_completion[bool]": case("p", True, raises=TypeError),
    "nbassist._generate_prompt[key not str]": case("q", "b", {1: 2}, raises=TypeError),
    "nbassist.get_prompts": case(),
    "nbassist.optimize_code": case("x = 1", NS, False),
    "nbassist.optimize_code[500]": case("x = 1", replies={"post": SERVER_ERROR},
                                        raises=HTTPError),
    "nbassist.generate_markdown": case("x = 1", {}),
    "nbassist.generate_markdown[no completion]": case("x", replies={"post": NO_COMPLETION},
                                                      raises=KeyError),
    "nbassist.generate_code_completion": case("q", NS),
    "nbassist.generate_code_completion[debug]": case("q", None, True),
    "nbassist.display_next_cell": case("a `${b}` \\c"),
    "nbassist.display_previous_cell": case(5),
}


def configure(transport, path, replies, store):
    transport.down = replies == "down"
    transport.replies = {} if transport.down else replies
    if store is None:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)
    else:
        with open(path, "w") as f:
            f.write(store if isinstance(store, str) else json.dumps(store))


@pytest.mark.parametrize("case", sorted(CASES))
def test_repeated_calls_keep_memory_flat(world, case):
    transport, path, endpoints = world.transport, world.path, world.endpoints
    args, kwargs, replies, store, expected = CASES[case]
    module, name = case.split("[")[0].split(".")
    function = getattr(world.modules[module], name)
    configure(transport, path, replies, store)
    content = None if store is None else pathlib.Path(path).read_text()
    rewrites_store = (store is None or name in ("_update_credentials", "update_secret")
                      or "renew" in case or "login again" in case)

    def call():
        if rewrites_store:
            configure(transport, path, replies, store)
        endpoints.auth_token, endpoints.tenant = "tok", "acme"
        try:
            function(*args, **kwargs)
        except Exception as error:
            if expected is None or not isinstance(error, expected):
                raise
        else:
            assert expected is None, f"{case} did not raise"

    GROWTH[case] = growth = growth_per_10k(call)
    assert growth < LIMIT, f"{case}: {growth:.0f} bytes more per 10,000 calls"
    if not rewrites_store and content is not None and os.path.exists(path):
        assert pathlib.Path(path).read_text() == content


def drive_and_drop_a_form(nb, shown):
    """Makes a form, submits a prompt through it and drops it, its widgets closed."""
    nb.generate_code({"n": 1})
    box = shown.pop()
    drop, _, _, button = box.children
    drop.value = "Apply PCA"
    button.click()
    assert shown, "the submission published no answer"
    for widget in (*box.children, box):
        for part in (widget.layout, getattr(widget, "style", None)):  # widgets of their own
            if part is not None:
                part.close()
        widget.close()
    shown.clear()


def test_dropped_forms_keep_memory_flat(world, monkeypatch):
    """A form its handlers keep alive, or anything a submission leaves behind, shows as growth."""
    configure(world.transport, world.path, {}, COMPLETE)
    shown = []
    monkeypatch.setattr(world.nb, "display", lambda *objs, **kwargs: shown.extend(objs))
    GROWTH["nbassist.generate_code, submitted and closed"] = growth = growth_per_10k(
        lambda: drive_and_drop_a_form(world.nb, shown), FORM_CALLS, FORM_WARMUP)
    assert growth < LIMIT


# --- answers published in a kernel: the couriers ------------------------------------------

ANSWERS, ANSWER_SIZE = 20, 1 << 20

PROBE = """
import gc, json, tracemalloc
from ipywidgets.widgets.widget import _instances
gc.collect()
print("PROBE=" + json.dumps({
    "alive": sorted(type(w).__name__ for w in _instances.values()),
    "held": tracemalloc.get_traced_memory()[0] if tracemalloc.is_tracing() else 0}))
"""


@pytest.fixture(scope="module")
def kernel_env(tmp_path_factory):
    from browser_support import logged_in_env
    from devservice import DevService

    with DevService(demo=True) as svc:
        yield logged_in_env(svc, tmp_path_factory.mktemp("kernel"))


def test_delivered_answers_leave_nothing_in_the_kernel(kernel_env, tmp_path):
    """Answers of 1 MB each, each delivery reported as a front end does (a comm message sets
    the courier's `done`): every courier, its layout and their library close, and the memory
    returns."""
    from jupyter_client.manager import start_new_kernel

    km, kc = start_new_kernel(kernel_name="python3", env=kernel_env, cwd=str(tmp_path))

    def run(code):
        opened, printed = [], []

        def hook(m):
            if m["msg_type"] == "comm_open" and "kind" in m["content"]["data"]["state"]:
                opened.append(m["content"]["comm_id"])
            elif m["msg_type"] == "stream":
                printed.append(m["content"]["text"])
        reply = kc.execute_interactive(code, timeout=120, output_hook=hook)
        assert reply["content"]["status"] == "ok", reply["content"]
        return opened, "".join(printed)

    def answers(count):
        opened, _ = run(f"for i in range({count}):\n"
                        f"    (display_next_cell if i % 2 else display_previous_cell)"
                        f"(chr(65 + i % 26) * {ANSWER_SIZE})")
        assert len(opened) == count
        return opened

    def deliver(ids):
        done = {"method": "update", "state": {"done": True}, "buffer_paths": []}
        for comm_id in ids:
            kc.shell_channel.send(kc.session.msg("comm_msg", {"comm_id": comm_id, "data": done}))

    def probe():
        return json.loads(run(PROBE)[1].rpartition("PROBE=")[2])

    try:
        run("from quillon.velto_gpt_sdk.nbassist import display_next_cell, display_previous_cell")
        deliver(answers(2))  # the one-off imports and classes
        run("import tracemalloc; tracemalloc.start()")
        base = probe()
        assert base["alive"] == []
        ids = answers(ANSWERS)
        waiting = probe()
        assert waiting["alive"] == ["CellCourier"] * ANSWERS + ["CourierLibrary"] + ["Layout"] * ANSWERS
        assert waiting["held"] - base["held"] > ANSWERS * ANSWER_SIZE  # each holds its answer
        deliver(ids[:-1])
        assert probe()["alive"] == ["CellCourier", "CourierLibrary", "Layout"]  # the library waits
        deliver(ids[-1:] * 2)  # a second report changes nothing
        after = probe()
    finally:
        kc.stop_channels()
        km.shutdown_kernel(now=True)
    assert after["alive"] == []
    held = after["held"] - base["held"]
    assert held < ANSWER_SIZE // 4, f"{held} bytes still held"


def test_an_answer_that_cannot_be_sent_leaves_no_widget_open():
    """A courier whose output never leaves the kernel is never delivered: it closes at once."""
    result = run_child('''
        from ipywidgets.widgets.widget import _instances
        refuse = lambda data: "application/vnd.jupyter.widget-view+json" in data
        failed = []
        for publish in (nbassist.display_next_cell, nbassist.display_previous_cell):
            try:
                publish("x = 1")
            except ValueError as err:
                failed.append(str(err))
        report(failed=failed, alive=sorted(type(w).__name__ for w in _instances.values()))
    ''', prelude=CHILD_KERNEL)
    assert result == {"failed": ["cannot send"] * 2, "alive": []}
