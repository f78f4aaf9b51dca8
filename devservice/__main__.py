"""python -m devservice: run the dev service until Ctrl-C or SIGTERM.

    python -m devservice [--domain D] [--state-dir DIR] [--user TENANT:EMAIL:PASSWORD]...
                         [--app-token TENANT:TOKEN]... [--no-demo] [--token-ttl SECONDS]
                         [--port PORT] [--answer-delay SECONDS]
                         [--openai-base-url URL --openai-model NAME]
    python -m devservice expire [--tenant T] [--state-dir DIR]

It prints the `export` lines a shell (or a notebook kernel started from it)
needs, and writes them, with the admin address, to DIR/service.json.
"""

from __future__ import annotations

import argparse
import json
import logging
import os
import shlex
import signal
import sys
import tempfile
import threading
import urllib.request

from .service import (DEFAULT_DOMAIN, DEFAULT_OPENAI_MODEL, DEMO_APP_TOKEN, DEMO_EMAIL, DEMO_PASSWORD,
                      DEMO_TENANT, DevService)

DEFAULT_STATE_DIR = os.path.join(tempfile.gettempdir(), "quillon-devservice")
INFO_FILE = "service.json"


def _pair(text: str, parts: int, what: str) -> list[str]:
    items = text.split(":", parts - 1)
    if len(items) != parts or not all(items):
        raise argparse.ArgumentTypeError(f"expected {what}, got {text!r}")
    return items


def _serve_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="python -m devservice",
                                description="Local stand-in for the quillon hosted service.")
    p.add_argument("--domain", default=DEFAULT_DOMAIN, help="service domain (default %(default)s)")
    p.add_argument("--state-dir", default=DEFAULT_STATE_DIR,
                   help="where the CA certificate and service.json go (default %(default)s)")
    p.add_argument("--user", action="append", default=[], metavar="TENANT:EMAIL:PASSWORD",
                   type=lambda t: _pair(t, 3, "TENANT:EMAIL:PASSWORD"), help="add a user (repeatable)")
    p.add_argument("--app-token", action="append", default=[], metavar="TENANT:TOKEN",
                   type=lambda t: _pair(t, 2, "TENANT:TOKEN"), help="add an app token (repeatable)")
    p.add_argument("--no-demo", action="store_true",
                   help=f"do not add the demo user {DEMO_EMAIL} / {DEMO_PASSWORD} and app token"
                        f" {DEMO_APP_TOKEN} of tenant {DEMO_TENANT!r}")
    p.add_argument("--token-ttl", type=float, default=None, metavar="SECONDS",
                   help="bearer tokens expire after this many seconds (default: never)")
    p.add_argument("--port", type=int, default=0, help="proxy port (default: any free port)")
    p.add_argument("--answer-delay", type=float, default=0.0, metavar="SECONDS",
                   help="each completion waits this long before it answers, like a real engine"
                        " (default: no wait)")
    p.add_argument("--openai-base-url", default=None,
                   help="forward completions to this OpenAI-compatible endpoint instead of the canned"
                        " answers")
    p.add_argument("--openai-model", default=DEFAULT_OPENAI_MODEL)
    p.add_argument("--openai-api-key-env", default="OPENAI_API_KEY", metavar="VAR",
                   help="environment variable holding the API key (default %(default)s)")
    p.add_argument("--quiet", action="store_true", help="do not log requests")
    return p


def exports(svc: DevService) -> str:
    env = svc.env
    lines = [f"export {key}={shlex.quote(env[key])}"
             for key in ("HTTPS_PROXY", "https_proxy", "REQUESTS_CA_BUNDLE")]
    lines.append("unset NO_PROXY no_proxy")
    return "\n".join(lines)


def serve(argv: list[str]) -> int:
    args = _serve_parser().parse_args(argv)
    logging.basicConfig(level=logging.WARNING if args.quiet else logging.INFO,
                        format="%(asctime)s %(message)s", datefmt="%H:%M:%S")
    stop = threading.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        signal.signal(sig, lambda *_: stop.set())
    svc = DevService(args.domain, state_dir=args.state_dir, demo=not args.no_demo,
                     token_ttl=args.token_ttl, openai_base_url=args.openai_base_url,
                     openai_model=args.openai_model,
                     openai_api_key=os.environ.get(args.openai_api_key_env), proxy_port=args.port,
                     answer_delay=args.answer_delay)
    for tenant, email, password in args.user:
        svc.state.add_user(tenant, email, password)
    for tenant, token in args.app_token:
        svc.state.add_app_token(tenant, token)
    info_path = os.path.join(args.state_dir, INFO_FILE)
    with svc:
        info = {"domain": svc.domain, "env": svc.env, "admin_url": svc.proxy_url + "/_admin",
                "pid": os.getpid()}
        with open(info_path, "w") as f:
            json.dump(info, f, indent=2)
        print(f"# quillon dev service for *.{svc.domain}"
              + ("" if args.no_demo else
                 f" (tenant {DEMO_TENANT!r}: {DEMO_EMAIL} / {DEMO_PASSWORD}, app token {DEMO_APP_TOKEN})"))
        if args.openai_base_url:
            print(f"# completions forwarded to {args.openai_base_url} ({args.openai_model})")
        print(exports(svc))
        print(f"# in a running kernel: import os; os.environ.update({json.dumps(svc.env)})")
        print(f"# expire tokens: python -m devservice expire --state-dir {shlex.quote(args.state_dir)}"
              " [--tenant T]", flush=True)
        try:
            while not stop.wait(0.5):
                pass
        finally:
            try:
                os.remove(info_path)
            except OSError:
                pass
    return 0


def expire(argv: list[str]) -> int:
    p = argparse.ArgumentParser(prog="python -m devservice expire",
                                description="Expire the bearer tokens of a running dev service.")
    p.add_argument("--tenant", default=None, help="only this tenant's tokens")
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
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
    with opener.open(request, timeout=10) as response:
        print(json.loads(response.read())["expired"], "token(s) expired")
    return 0


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["expire"]:
        return expire(argv[1:])
    if argv[:1] == ["serve"]:
        argv = argv[1:]
    return serve(argv)


if __name__ == "__main__":
    sys.exit(main())
