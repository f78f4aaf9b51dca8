"""The store under faults: two logins at once, odd permissions, and places where it cannot
be written."""
import base64
import errno
import json
import os
import shutil
import stat
import subprocess
import sys
import textwrap
import time

import pytest

import quillon.validation.authentication as authentication
import quillon.validation.credgate as credgate
from conftest import CHILD_PRELUDE, reported

FIGURES = {}


def summary():
    return FIGURES and "store faults: " + json.dumps(FIGURES)


# --- two logins at once ---------------------------------------------------------------------

LOGIN = '''
    import itertools, time
    import quillon.validation.authentication as authentication

    kind, me, path, rounds, start = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), float(sys.argv[5])
    credgate.secret_file_path = authentication.secret_file_path = path
    typed = {"now": False}

    def login(request):  # only this process's own typed login is accepted
        ok = json.loads(request.body)["email"] == f"{me}@example.org"
        return (200, {}, json.dumps({"token": f"{me}-token"})) if ok else (401, {}, "")

    def app_token_check(request):  # only the token typed just now is accepted
        ok, typed["now"] = typed["now"], False
        return (200 if ok else 401), {}, ""

    answers = itertools.cycle([f"{me}@example.org", "pw", me])
    getpass.getpass = lambda prompt="": next(answers)

    def typed_token(prompt=""):
        typed["now"] = True
        return f"{me}-secret" if "token" in prompt else me

    authentication.input = typed_token
    mock.get(url(me), status=401)
    mock.add_callback(responses.POST, url(me, "/auth/get_token"), callback=login)
    mock.add_callback(responses.GET, url(me, f"/validate-app-token/{me}-secret"),
                      callback=app_token_check)
    for other in {"ada", "bob"} - {me}:
        mock.get(url(other), status=401)
        mock.post(url(other, "/auth/get_token"), status=401)
    while time.time() < start:
        time.sleep(0.001)
    failures, results = [], set()
    log_in = (credgate.authenticate_credentials if kind == "credentials"
              else authentication.authenticate_secret)
    for _ in range(rounds):
        try:
            results.add(repr(log_in()))
        except Exception as err:
            failures.append(repr(err))
    report(failures=failures, results=sorted(results))
'''


def complete_state(name):
    return {"VELTO_USERNAME": f"{name}@example.org", "VELTO_PASSWORD": base64.b64encode(b"pw").decode(),
            "VELTO_TOKEN": f"{name}-token", "VELTO_TENANT": name}


@pytest.mark.parametrize("kinds", [("credentials", "credentials"), ("credentials", "app-token")])
def test_two_logins_at_once_leave_one_whole_store(tmp_path, kinds):
    path = tmp_path / "secret.json"
    start = time.time() + 2.0  # both interpreters are up by then
    script = CHILD_PRELUDE + textwrap.dedent(LOGIN)
    procs = [subprocess.Popen([sys.executable, "-c", script, kind, name, path, "100", str(start)],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for kind, name in zip(kinds, ("ada", "bob"))]
    app = {"VELTO_SECRET": "bob-secret", "VELTO_TENANT": "bob"}
    states = [complete_state("ada"), complete_state("bob") if kinds[1] == "credentials" else app]
    reads = torn = 0
    while any(p.poll() is None for p in procs) and time.time() < start + 60:
        try:
            reads += 1
            assert json.loads(path.read_text()) in states
        except FileNotFoundError:
            pass
        except ValueError:
            torn += 1
    outputs = []
    for p in procs:
        out, err = p.communicate(timeout=60)
        assert p.returncode == 0, err[-3000:]
        outputs.append(reported(out))
    FIGURES[f"concurrent logins {'+'.join(kinds)}"] = {"reads": reads, "torn_reads": torn}
    assert torn == 0
    assert [o["failures"] for o in outputs] == [[], []]
    assert outputs[0]["results"] == [repr(("ada-token", "ada"))]
    if kinds[1] == "credentials":
        assert outputs[1]["results"] == [repr(("bob-token", "bob"))]
    else:  # the app-token login hands back what it reads back, which the other may have replaced
        assert set(outputs[1]["results"]) <= {repr(("bob-secret", "bob")), repr((None, None))}
    assert json.loads(path.read_text()) in states
    assert os.listdir(tmp_path) == ["secret.json"]


# --- permissions --------------------------------------------------------------------------------


@pytest.mark.parametrize("umask", [0o000, 0o022, 0o077])
def test_every_rewrite_is_owner_only(store, umask):
    writers = [lambda i: credgate._update_credentials("u", "p", f"t{i}", "acme"),
               lambda i: authentication.update_secret(f"s{i}", "acme")]
    old = os.umask(umask)
    try:
        for i in range(30):
            if i % 3:
                store.path.chmod((0o644, 0o666, 0o604, 0o400)[i % 4])
            writers[i % 2](i)
            info = store.path.stat()
            assert (stat.S_IMODE(info.st_mode), info.st_uid) == (0o600, os.getuid()), i
    finally:
        os.umask(old)
    assert os.listdir(store.path.parent) == ["secret.json"]


# --- places the store cannot be written to --------------------------------------------------------

WRITERS = {
    "_update_credentials": lambda: credgate._update_credentials("u", "p", "t", "acme"),
    "update_secret": lambda: authentication.update_secret("s", "acme"),
}


# The errno, and the step the message names.
PLACES = {
    "missing folder": (errno.ENOENT, "cannot create a file in the store's folder"),
    "parent is a file": (errno.ENOTDIR, "cannot create a file in the store's folder"),
    "folder in its place": (errno.EISDIR, "cannot replace the store"),
}


@pytest.mark.parametrize("writer", sorted(WRITERS))
@pytest.mark.parametrize("place", sorted(PLACES))
def test_unwritable_place_says_what_failed_and_where(tmp_path, monkeypatch, writer, place):
    if place == "missing folder":
        target = tmp_path / "nowhere" / "secret.json"
    elif place == "parent is a file":
        (tmp_path / "plain").write_text("x")
        target = tmp_path / "plain" / "secret.json"
    else:
        target = tmp_path / "secret.json"
        (target / "kept").mkdir(parents=True)
    before = sorted(p.name for p in tmp_path.rglob("*"))
    monkeypatch.setattr(credgate, "secret_file_path", str(target))
    monkeypatch.setattr(authentication, "secret_file_path", str(target))
    code, step = PLACES[place]
    with pytest.raises(OSError) as err:
        WRITERS[writer]()
    assert (err.value.errno, err.value.filename) == (code, str(target))
    assert str(err.value) == (f"[Errno {code}] could not save the login in the credential store: "
                              f"{step} ({os.strerror(code)}): '{target}'")
    assert sorted(p.name for p in tmp_path.rglob("*")) == before


READ_ONLY = '''
    import quillon.validation.authentication as authentication

    path = credgate.secret_file_path = authentication.secret_file_path = sys.argv[1]
    with open(path, "rb") as f:
        old = f.read()
    typed = iter(["bob@example.org", "pw", "acme"])
    credgate.getpass.getpass = lambda prompt="": next(typed)
    mock.get(url("acme"), status=401)
    mock.post(url("acme", "/auth/get_token"), json={"token": "new"})
    outcomes = {}
    writes = {"_update_credentials": lambda: credgate._update_credentials("u", "p", "t", "acme"),
              "update_secret": lambda: authentication.update_secret("s", "acme"),
              "typed login": lambda: credgate.authenticate_credentials()}
    for name, write in writes.items():
        try:
            write()
            outcomes[name] = "written"
        except OSError as err:
            outcomes[name] = [os.strerror(err.errno), err.filename == path]
    with open(path, "rb") as f:
        report(**outcomes, intact=f.read() == old, folder=sorted(os.listdir(os.path.dirname(path))))
'''


def test_read_only_package_folder_keeps_old_store(tmp_path):
    if shutil.which("unshare") is None or subprocess.run(
            ["unshare", "-m", "true"], capture_output=True).returncode != 0:
        pytest.skip("no unshare -m for a read-only bind mount (chmod does not bind root)")
    folder = tmp_path / "pkg"
    folder.mkdir()
    store = folder / "secret.json"
    store.write_text(json.dumps({"VELTO_SECRET": "old", "VELTO_TENANT": "acme"}))
    shell = 'mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" "$1" && exec "$2" -c "$3" "$4"'
    script = CHILD_PRELUDE + textwrap.dedent(READ_ONLY)
    done = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c", shell, "sh",
                           folder, sys.executable, script, store],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    refused = [os.strerror(errno.EROFS), True]
    assert reported(done.stdout) == {"_update_credentials": refused, "update_secret": refused,
                                     "typed login": refused, "intact": True,
                                     "folder": ["secret.json"]}


# --- where the store path leads -----------------------------------------------------------

def test_store_reached_through_a_link_is_written_where_the_link_points(tmp_path, monkeypatch):
    shared = tmp_path / "shared"
    shared.mkdir()
    chain = tmp_path / "pkg"
    chain.mkdir()
    (chain / "hop").symlink_to("../shared/real.json")  # relative, two links deep, dangling at first
    (chain / "secret.json").symlink_to(chain / "hop")
    for module in (credgate, authentication):
        monkeypatch.setattr(module, "secret_file_path", str(chain / "secret.json"))
    for name, key in [("_update_credentials", "VELTO_USERNAME"), ("update_secret", "VELTO_SECRET")]:
        WRITERS[name]()
        assert (chain / "secret.json").is_symlink() and (chain / "hop").is_symlink()
        assert key in json.loads((shared / "real.json").read_text())
        assert stat.S_IMODE((shared / "real.json").stat().st_mode) == 0o600
        assert os.listdir(shared) == ["real.json"]
        assert sorted(os.listdir(chain)) == ["hop", "secret.json"]


@pytest.mark.parametrize("kind", ["pathlib", "bytes", "path-like"])
def test_store_path_can_be_anything_open_takes(tmp_path, monkeypatch, kind):
    target = tmp_path / "secret.json"

    class PathLike:
        def __fspath__(self):
            return str(target)

    path = {"pathlib": target, "bytes": os.fsencode(target), "path-like": PathLike()}[kind]
    for module in (credgate, authentication):
        monkeypatch.setattr(module, "secret_file_path", path)
    credgate._update_credentials("u", "p", "t", "acme")
    assert json.loads(target.read_text())["VELTO_TOKEN"] == "t"
    authentication.update_secret("s", "acme")
    assert authentication._get_secret() == ("s", "acme")


@pytest.mark.parametrize("path, error, code", [
    ("loop", OSError, errno.ELOOP), (42, TypeError, None), ("bad\0path", ValueError, None)])
def test_store_path_that_cannot_be_opened(tmp_path, monkeypatch, path, error, code):
    (tmp_path / "a").symlink_to(tmp_path / "b")
    (tmp_path / "b").symlink_to(tmp_path / "a")
    path = str(tmp_path / "a") if path == "loop" else path
    monkeypatch.setattr(authentication, "secret_file_path", path)
    with pytest.raises(error) as err:
        authentication.update_secret("s", "acme")
    assert getattr(err.value, "errno", None) == code
