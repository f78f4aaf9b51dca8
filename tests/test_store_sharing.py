"""A store folder shared by writers that cannot see one another's processes (containers,
hosts on one volume), with and without unnamed temporary files, and store links made by
other users."""
import errno
import fcntl
import json
import os
import pathlib
import stat
import struct
import subprocess
import sys
import textwrap
import time

import pytest

import quillon.validation.authentication as authentication
import quillon.validation.credgate as credgate
import syscall_faults

TESTS = pathlib.Path(__file__).parent
FIGURES = {}


def summary():
    return FIGURES and "store sharing: " + json.dumps(FIGURES)


def own_pid_namespace():
    """The command prefix that runs a process as pid 1 of a new pid namespace."""
    try:
        ok = subprocess.run(["unshare", "--pid", "--fork", "true"], capture_output=True).returncode == 0
    except FileNotFoundError:
        ok = False
    if not ok:
        pytest.skip("no new pid namespace here (unshare --pid)")
    return ["unshare", "--pid", "--fork"]


def has_tmpfile(folder):
    try:
        os.close(os.open(folder, os.O_TMPFILE | os.O_WRONLY, 0o600))
        return True
    except OSError:
        return False


def need(folder, tmpfile):
    if not syscall_faults.supported():
        pytest.skip("no seccomp filter for this machine")
    if tmpfile and not has_tmpfile(folder):
        pytest.skip("this file system has no unnamed files")


def lock(fd):
    """What a writer holds on its temporary file: an exclusive lock of the open file."""
    fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0))


def dead_pid():
    return int(subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"],
                              capture_output=True, text=True).stdout)


def state(token):
    return {"VELTO_USERNAME": "u", "VELTO_PASSWORD": "cA==", "VELTO_TOKEN": token, "VELTO_TENANT": "acme"}


# --- whose temporary file may go -------------------------------------------------------------

@pytest.mark.parametrize("pid", ["dead", "mine", "init"])
def test_a_locked_temporary_file_stays_and_an_unlocked_one_goes(tmp_path, monkeypatch, pid):
    # The pid in the name says nothing about a writer in another pid namespace or on another
    # host: a dead pid here may be a live writer there, and a live one here a dead one there.
    name = f"secret.json.{ {'dead': dead_pid(), 'mine': os.getpid(), 'init': 1}[pid] }.0.tmp"
    leftover = tmp_path / name
    leftover.write_text("{}")
    monkeypatch.setattr(credgate, "secret_file_path", str(tmp_path / "secret.json"))
    fd = os.open(leftover, os.O_RDWR)
    try:
        lock(fd)
        credgate._update_credentials("u", "p", "t1", "acme")
        assert sorted(os.listdir(tmp_path)) == ["secret.json", name]
    finally:
        os.close(fd)
    credgate._update_credentials("u", "p", "t2", "acme")
    assert os.listdir(tmp_path) == ["secret.json"]
    assert json.loads((tmp_path / "secret.json").read_text())["VELTO_TOKEN"] == "t2"


def test_only_the_stores_own_temporary_names_are_touched(tmp_path, monkeypatch):
    kept = ["secret.json.notapid.0.tmp", "secret.json.12.x.tmp", f"other.json.{dead_pid()}.0.tmp",
            "secret.json.backup", "secret.json.12.0.tmp.orig"]
    for name in kept:
        (tmp_path / name).write_text("{}")
    (tmp_path / "secret.json.12.1.tmp").mkdir()
    (tmp_path / "secret.json.12.2.tmp").symlink_to(tmp_path / "secret.json.backup")
    (tmp_path / "secret.json.12.3.tmp").write_text("{}")
    monkeypatch.setattr(credgate, "secret_file_path", str(tmp_path / "secret.json"))
    credgate._update_credentials("u", "p", "t", "acme")
    assert sorted(os.listdir(tmp_path)) == sorted(kept + ["secret.json", "secret.json.12.1.tmp",
                                                          "secret.json.12.2.tmp"])


# --- writers killed midway, cleaned up by the next one -----------------------------------------

WRITER = '''
    import json, os, sys, time
    sys.path.insert(0, sys.argv[1])
    import quillon.validation.credgate as credgate
    import syscall_faults

    folder, faults, count, start = sys.argv[2], json.loads(sys.argv[3]), int(sys.argv[4]), float(sys.argv[5])
    credgate.secret_file_path = os.path.join(folder, "secret.json")
    syscall_faults.install(**faults)
    while time.time() < start:
        time.sleep(0.001)
    failures = []
    for i in range(count):
        try:
            credgate._update_credentials("u", "p", f"{os.getpid()}-{i}", "acme")
        except OSError as err:
            failures.append(str(err))
    print(json.dumps({"pid": os.getpid(), "failures": failures}))
'''


def writer(folder, tmpfile=True, locks=True, kill_at="", count=1, start=0.0, prefix=()):
    """A writer in a child process, with the faults of syscall_faults.install."""
    faults = json.dumps({"no_tmpfile": not tmpfile, "no_locks": not locks, "kill_at": kill_at})
    return subprocess.Popen([*prefix, sys.executable, "-c", textwrap.dedent(WRITER), TESTS, folder, faults,
                             str(count), str(start)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish(proc):
    """The report of a writer that ran to its end."""
    out, err = proc.communicate(timeout=300)
    assert proc.returncode == 0, err[-3000:]
    return json.loads(out.splitlines()[-1])


@pytest.mark.parametrize("namespace", ["same", "own"])
@pytest.mark.parametrize("kill_at", ["fsync", "rename"])
@pytest.mark.parametrize("tmpfile", [True, False], ids=["O_TMPFILE", "no O_TMPFILE"])
def test_what_a_killed_writer_leaves_goes_with_the_next_write(tmp_path, monkeypatch, tmpfile, kill_at, namespace):
    need(tmp_path, tmpfile)
    prefix = own_pid_namespace() if namespace == "own" else []
    (tmp_path / "secret.json").write_text(json.dumps(state("old")))
    killed = writer(tmp_path, tmpfile, kill_at=kill_at, prefix=prefix)
    out, err = killed.communicate(timeout=60)
    assert out == "" and killed.returncode in (-31, 128 + 31), err[-3000:]  # SIGSYS, maybe through unshare
    left = sorted(set(os.listdir(tmp_path)) - {"secret.json"})
    assert json.loads((tmp_path / "secret.json").read_text()) == state("old")
    if tmpfile and kill_at == "fsync":
        assert left == []  # still unnamed when it died
    else:
        assert len(left) == 1 and left[0].startswith("secret.json.") and left[0].endswith(".0.tmp")
        assert stat.S_IMODE((tmp_path / left[0]).stat().st_mode) == 0o600
    monkeypatch.setattr(credgate, "secret_file_path", str(tmp_path / "secret.json"))
    credgate._update_credentials("u", "p", "new", "acme")
    assert os.listdir(tmp_path) == ["secret.json"]
    assert json.loads((tmp_path / "secret.json").read_text())["VELTO_TOKEN"] == "new"



@pytest.mark.parametrize("tmpfile", [True, False], ids=["O_TMPFILE", "no O_TMPFILE"])
def test_without_file_locks_writes_succeed_and_leftovers_stay(tmp_path, tmpfile):
    # Where locks fail, nothing tells a killed writer's file from a live one's: it is kept.
    need(tmp_path, tmpfile)
    killed = writer(tmp_path, tmpfile, locks=False, kill_at="rename")
    killed.communicate(timeout=60)
    (left,) = set(os.listdir(tmp_path)) - {"secret.json"}
    assert finish(writer(tmp_path, tmpfile, locks=False, count=3))["failures"] == []
    assert sorted(os.listdir(tmp_path)) == sorted(["secret.json", left])
    assert finish(writer(tmp_path, tmpfile))["failures"] == []
    assert os.listdir(tmp_path) == ["secret.json"]

# --- two writers in different pid namespaces ------------------------------------------------------

@pytest.mark.parametrize("tmpfile", [True, False], ids=["O_TMPFILE", "no O_TMPFILE"])
def test_writers_in_two_pid_namespaces_never_lose_a_write(tmp_path, tmpfile):
    need(tmp_path, tmpfile)
    prefix = own_pid_namespace()
    count = 400
    start = time.time() + 1.5  # both interpreters are up by then
    procs = [writer(tmp_path, tmpfile, count=count, start=start),
             writer(tmp_path, tmpfile, count=count, start=start, prefix=prefix)]
    results = [finish(p) for p in procs]
    lost = sum(len(r["failures"]) for r in results)
    FIGURES[f"two pid namespaces, {'O_TMPFILE' if tmpfile else 'no O_TMPFILE'}"] = {
        "writes": 2 * count, "failed": lost, "first": (results[0]["failures"] + results[1]["failures"])[:1]}
    assert lost == 0
    assert os.listdir(tmp_path) == ["secret.json"]
    token = json.loads((tmp_path / "secret.json").read_text())["VELTO_TOKEN"]
    assert token in {f"{r['pid']}-{count - 1}" for r in results}


# --- links made by other users ---------------------------------------------------------------------

ME, OTHER, THIRD = os.geteuid(), 4001, 4002


def make_file(path, owner, text="{}"):
    path.write_text(text)
    os.lchown(path, owner, owner)


def make_link(path, target, owner):
    path.symlink_to(target)
    os.lchown(path, owner, owner)


LINKS = {
    # name: (links from the store on, each (owner), the final file's owner or None, refused link or None)
    "own link to another user's file": ([ME], OTHER, None),
    "another user's link to their own file": ([OTHER], OTHER, None),
    "another user's link to a third user's file": ([OTHER], THIRD, 0),
    "another user's link to no file": ([OTHER], None, 0),
    "own link to another user's link to a third user's file": ([ME, OTHER], THIRD, 1),
    "another user's two links to their own file": ([OTHER, OTHER], OTHER, None),
    "own link to a third user's link to another user's file": ([ME, THIRD], OTHER, 1),
}


@pytest.fixture
def as_root():
    if os.geteuid() != 0:
        pytest.skip("setting the owner of a link needs root")


@pytest.mark.parametrize("case", sorted(LINKS))
@pytest.mark.parametrize("write, key", [(lambda: credgate._update_credentials("u", "p", "t", "acme"), "VELTO_TOKEN"),
                                        (lambda: authentication.update_secret("s", "acme"), "VELTO_SECRET")],
                         ids=["_update_credentials", "update_secret"])
def test_links_of_other_users_are_followed_only_to_their_own_files(tmp_path, monkeypatch, as_root, case,
                                                                   write, key):
    owners, final_owner, refused = LINKS[case]
    shared = tmp_path / "shared"
    shared.mkdir(mode=0o777)
    final = shared / "final.json"
    if final_owner is not None:
        make_file(final, final_owner, "kept")
    links = [tmp_path / "secret.json"] + [shared / f"hop{i}" for i in range(1, len(owners))]
    for i, owner in enumerate(owners):
        make_link(links[i], links[i + 1] if i + 1 < len(owners) else final, owner)
    for module in (credgate, authentication):
        monkeypatch.setattr(module, "secret_file_path", str(links[0]))
    before = sorted(p.name for p in tmp_path.rglob("*"))
    if refused is None:
        write()
        assert key in json.loads(final.read_text())
        assert final.stat().st_uid == ME and stat.S_IMODE(final.stat().st_mode) == 0o600
    else:
        with pytest.raises(PermissionError) as err:
            write()
        assert err.value.errno == errno.EACCES and err.value.filename == str(links[0])
        assert str(err.value) == (
            f"[Errno 13] could not save the login in the credential store: will not follow the symbolic link "
            f"{links[refused]}: it belongs to uid {owners[refused]}, who is neither this process's user nor the "
            f"owner of the file it leads to (Permission denied): '{links[0]}'")
        assert final_owner is None or (final.read_text(), final.stat().st_uid) == ("kept", final_owner)
    assert all(link.is_symlink() for link in links)
    assert sorted(p.name for p in tmp_path.rglob("*")) == before + (["final.json"] * (final_owner is None
                                                                                       and refused is None))
