"""python -m devservice [options]: run the dev service until Ctrl-C or SIGTERM, printing the
`export` lines a shell (or a kernel started from it) needs; DIR/service.json has them and the
admin address. python -m devservice expire [--tenant T] [--state-dir DIR]: expire its tokens."""

import argparse
import contextlib
import json
import logging
import os
import shlex
import signal
import sys
import tempfile
import urllib.request

from .service import DEFAULT_DOMAIN, DEFAULT_OPENAI_MODEL, DEMO_APP_TOKEN, DEMO_EMAIL, DEMO_PASSWORD, \
    DEMO_TENANT, DevService

DEFAULT_STATE_DIR = os.path.join(tempfile.gettempdir(), "quillon-devservice")
INFO_FILE = "service.json"


def _fields(count: int, what: str):
    def parse(text: str) -> list[str]:
        items = text.split(":", count - 1)
        if len(items) != count or not all(items):
            raise argparse.ArgumentTypeError(f"expected {what}, got {text!r}")
        return items
    return parse


def serve(argv: list[str]) -> int:
    p = argparse.ArgumentParser(prog="python -m devservice", description="Local stand-in for the quillon"
                                " hosted service.")
    p.add_argument("--domain", default=DEFAULT_DOMAIN, help="service domain (default %(default)s)")
    p.add_argument("--state-dir", default=DEFAULT_STATE_DIR, help="for ca.pem, service.json (%(default)s)")
    p.add_argument("--user", action="append", default=[], metavar="TENANT:EMAIL:PASSWORD",
                   type=_fields(3, "TENANT:EMAIL:PASSWORD"), help="add a user (repeatable)")
    p.add_argument("--app-token", action="append", default=[], metavar="TENANT:TOKEN",
                   type=_fields(2, "TENANT:TOKEN"), help="add an app token (repeatable)")
    p.add_argument("--no-demo", action="store_true", help=f"no demo user {DEMO_EMAIL} / {DEMO_PASSWORD} and"
                   f" app token {DEMO_APP_TOKEN} in tenant {DEMO_TENANT!r}")
    p.add_argument("--token-ttl", type=float, metavar="SECONDS", help="bearer tokens expire after this long")
    p.add_argument("--port", type=int, default=0, help="proxy port (default: any free port)")
    p.add_argument("--answer-delay", type=float, default=0.0, metavar="SECONDS",
                   help="each completion waits this long before it answers, like a real engine")
    p.add_argument("--openai-base-url", help="forward completions to this OpenAI-compatible endpoint (with"
                   " the key in OPENAI_API_KEY, if it needs one)")
    p.add_argument("--openai-model", default=DEFAULT_OPENAI_MODEL)
    p.add_argument("--quiet", action="store_true", help="do not log requests")
    args = p.parse_args(argv)
    logging.basicConfig(level=logging.WARNING if args.quiet else logging.INFO,
                        format="%(asctime)s %(message)s", datefmt="%H:%M:%S")
    # Ctrl-C and SIGTERM are taken by sigwait below; blocked before any thread starts, for all of them.
    signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
    svc = DevService(args.domain, state_dir=args.state_dir, demo=not args.no_demo, token_ttl=args.token_ttl,
                     openai_base_url=args.openai_base_url, openai_model=args.openai_model,
                     openai_api_key=os.environ.get("OPENAI_API_KEY"), proxy_port=args.port,
                     answer_delay=args.answer_delay)
    for tenant, email, password in args.user:
        svc.state.add_user(tenant, email, password)
    for tenant, token in args.app_token:
        svc.state.add_app_token(tenant, token)
    info_path = os.path.join(args.state_dir, INFO_FILE)
    with svc:
        with open(info_path, "w") as f:
            json.dump({"domain": svc.domain, "env": svc.env, "admin_url": svc.proxy_url + "/_admin",
                       "pid": os.getpid()}, f, indent=2)
        print(f"# quillon dev service for *.{svc.domain}" + ("" if args.no_demo else
              f" (tenant {DEMO_TENANT!r}: {DEMO_EMAIL} / {DEMO_PASSWORD}, app token {DEMO_APP_TOKEN})"))
        if args.openai_base_url:
            print(f"# completions forwarded to {args.openai_base_url} ({args.openai_model})")
        print("".join(f"export {key}={shlex.quote(svc.env[key])}\n"
                      for key in ("HTTPS_PROXY", "https_proxy", "REQUESTS_CA_BUNDLE")) + "unset NO_PROXY no_proxy")
        print(f"# in a running kernel: import os; os.environ.update({json.dumps(svc.env)})")
        print(f"# expire tokens: python -m devservice expire --state-dir {shlex.quote(args.state_dir)}"
              " [--tenant T]", flush=True)
        try:
            signal.sigwait({signal.SIGINT, signal.SIGTERM})
        finally:
            with contextlib.suppress(OSError):
                os.remove(info_path)
    return 0


def expire(argv: list[str]) -> int:
    p = argparse.ArgumentParser(prog="python -m devservice expire",
                                description="Expire the bearer tokens of a running dev service.")
    p.add_argument("--tenant", help="only this tenant's tokens")
    p.add_argument("--state-dir", default=DEFAULT_STATE_DIR)
    args = p.parse_args(argv)
    try:
        with open(os.path.join(args.state_dir, INFO_FILE)) as f:
            admin = json.load(f)["admin_url"]
    except OSError:
        print(f"no dev service running with state dir {args.state_dir}", file=sys.stderr)
        return 1
    query = f"?tenant={urllib.request.quote(args.tenant)}" if args.tenant else ""
    request = urllib.request.Request(admin + "/expire" + query, data=b"", method="POST")
    # The admin port is on loopback: no proxy, whatever the environment says.
    with urllib.request.build_opener(urllib.request.ProxyHandler({})).open(request, timeout=10) as response:
        print(json.loads(response.read())["expired"], "token(s) expired")
    return 0


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    return expire(argv[1:]) if argv[:1] == ["expire"] else serve(argv[1:] if argv[:1] == ["serve"] else argv)


if __name__ == "__main__":
    sys.exit(main())
