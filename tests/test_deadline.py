"""The login-side deadline against a real (loopback) network: what it leaves behind.

The token check, the login and the app-token check give up 20 seconds after they start.
Giving up must end the request itself (its connection cut, nothing left running), keep
the interrupt key working, report the time-out as such, and never crash the interpreter
when it exits with a request still under way. Each case runs in a fresh interpreter of
its own, against the stand-in service (devservice) in this process. The cases that
would otherwise wait out the real deadline shorten the one timer the SDK starts per
request: `threading.Timer`, looked up at each request, is made to wait 1/400 of it.
"""
import os
import subprocess
import sys
import textwrap
import time

import pytest

from conftest import LOGIN_ERROR, TOKEN_ERROR, reported, run_python
from devservice import DevService

APP_INVALID = "Provided token is invalid. Please provide a valid token"
APP_TIMED_OUT = "Exception Occurred:  no complete answer from the service within 20.0 seconds"

# Names the child scripts share: the three requests against a tenant, printed lines kept
# per call, and what the process holds (threads, open files).
PRELUDE = '''
import json, os, signal, sys, threading, time
import quillon.validation.authentication as authentication
import quillon.validation.credgate as credgate

printed = []
for module in (credgate, authentication):
    module.print = lambda *args: printed.append(" ".join(map(str, args)))

def calls(tenant):
    return {"token check": lambda: credgate.validate_token("tok", tenant),
            "login": lambda: credgate._validate_credentials("ada@example.org", "pw", tenant),
            "app-token check": lambda: authentication._validate_secret("s3cr3t", tenant)}

def holding():
    return {"threads": sorted(t.name for t in threading.enumerate()),
            "files": len(os.listdir("/proc/self/fd"))}

class QuickTimer(threading.Timer):
    def __init__(self, interval, function, *args, **kwargs):
        super().__init__(interval / 400, function, *args, **kwargs)
'''


@pytest.fixture
def svc():
    """The stand-in, each tenant named after the fault it plays."""
    with DevService() as service:
        for fault in ("trickle", "drip", "silent"):
            service.state.set_fault(fault, fault)
        yield service


@pytest.fixture
def child_env(svc):
    """The environment of a child that reaches the stand-in for every https URL."""
    env = {k: v for k, v in os.environ.items() if not k.upper().endswith("_PROXY") and k != "CURL_CA_BUNDLE"}
    return dict(env, **svc.env)


def test_exit_with_requests_under_way(svc, child_env):
    """The interpreter exits while three requests, each on a daemon thread, read an answer
    that never ends: every exit is a clean one. Those threads wake every 20 ms, so most
    want the GIL back while the interpreter is shutting down, which ends them by unwinding
    their stacks through the SDK's frames."""
    script = textwrap.dedent(PRELUDE) + textwrap.dedent('''
        files = holding()["files"]
        for call in calls("trickle").values():
            threading.Thread(target=call, daemon=True).start()
        waited = time.monotonic() + 20
        while holding()["files"] < files + 3 and time.monotonic() < waited:  # until all three are connected
            time.sleep(0.01)
        time.sleep(0.5)
    ''')
    runs = [subprocess.Popen([sys.executable, "-c", script], env=child_env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True) for _ in range(8)]
    for run in runs:
        out, err = run.communicate(timeout=120)
        assert (run.returncode, err) == (0, ""), err[-3000:]
    waited = time.monotonic() + 10
    while len(svc.tunnels) < 3 * len(runs) and time.monotonic() < waited:  # the last CONNECTs may still be read
        time.sleep(0.01)
    assert len(svc.tunnels) == 3 * len(runs)


def test_deadlines_leave_no_thread_or_file(svc, child_env):
    """Sixty requests in a row to a service that drips its answer, in a process allowed 64
    open files: each is given up at its deadline with its own report, and afterwards the
    process holds what it held before. A request left running would keep its socket and
    thread, and the files would run out after a few dozen."""
    script = textwrap.dedent(PRELUDE) + textwrap.dedent('''
        import resource
        threading.Timer = QuickTimer
        work = calls("drip")
        work["token check"]()  # the first request imports what requests needs
        printed.clear()
        before = holding()
        resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
        results = {what: [call() for _ in range(20)] for what, call in work.items()}
        print("RESULT " + json.dumps({"results": results, "printed": printed, "before": before,
                                      "after": holding()}))
    ''')
    got = reported(run_python(script, env=child_env, timeout=120))
    assert got["results"] == {"token check": [False] * 20, "login": [[False, None]] * 20,
                              "app-token check": [False] * 20}
    assert got["printed"] == [TOKEN_ERROR] * 20 + [LOGIN_ERROR] * 20 + [APP_TIMED_OUT, APP_INVALID] * 20
    assert got["after"] == got["before"]
    assert len(svc.tunnels) == 61


@pytest.mark.parametrize("what", ["token check", "login", "app-token check"])
def test_interrupt_ends_the_request(svc, child_env, what):
    """The interrupt key stops a request that waits for an answer, at once, and takes its
    connection down with it."""
    script = textwrap.dedent(PRELUDE) + textwrap.dedent(f'''
        call = calls("silent")[{what!r}]
        before = holding()
        main = threading.main_thread().ident

        def interrupt():
            time.sleep(0.5)
            signal.pthread_kill(main, signal.SIGINT)

        presser = threading.Thread(target=interrupt)
        presser.start()
        started = time.monotonic()
        try:
            call()
            outcome = "returned"
        except KeyboardInterrupt:
            outcome = "interrupted"
        took = time.monotonic() - started
        presser.join()
        print("RESULT " + json.dumps({{"outcome": outcome, "took": took, "printed": printed,
                                      "before": before, "after": holding()}}))
    ''')
    got = reported(run_python(script, env=child_env, timeout=60))
    assert (got["outcome"], got["printed"]) == ("interrupted", [])
    assert got["took"] < 5, got
    assert got["after"] == got["before"]


@pytest.mark.slow
def test_a_socket_timing_out_at_the_deadline_reports_the_deadline(svc, child_env):
    """The connection's own time-out is clipped to the time left, so it can fire just before
    the timer does: the service that never answers the handshake is still reported as the
    deadline passing, not as a broken connection. The timer is made late here, so the
    socket's time-out always comes first."""
    svc.state.set_fault("silent-tunnel", "silent-tunnel")
    script = textwrap.dedent(PRELUDE) + textwrap.dedent('''
        class LateTimer(threading.Timer):
            def __init__(self, interval, function, *args, **kwargs):
                super().__init__(interval + 30, function, *args, **kwargs)

        threading.Timer = LateTimer
        result = calls("silent-tunnel")["app-token check"]()
        print("RESULT " + json.dumps({"result": result, "printed": printed}))
    ''')
    got = reported(run_python(script, env=child_env, timeout=120))
    assert got == {"result": False, "printed": [APP_TIMED_OUT, APP_INVALID]}
