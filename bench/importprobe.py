"""python -m bench.importprobe sdk|deps: one import, timed in this fresh process.

  sdk   the notebook assistant, as a user imports it (its login served by the
        fake service: one token check each for endpoints and nbassist)
  deps  only what the assistant imports besides itself: its third-party
        dependencies and the standard modules it binds

Both first start the fake service (which imports responses and with it
requests), outside the timing. Prints one JSON line: the CPU time of the
import (this process's, so other jobs on the machine do not count), its wall
time, and whether openai was imported.
"""
import importlib
import json
import sys
import time

from bench import fake

# What the five modules import at their initialisation, openai aside: the
# assistant only checks that openai is installed.
DEPENDENCIES = ["os", "json", "base64", "getpass", "warnings", "datetime", "typing", "urllib.request",
                "requests", "requests.exceptions", "jose.jwt", "ipywidgets", "IPython.display", "pandas"]


def main(side):
    fake.service()
    store = fake.write_store()
    cpu, wall = time.process_time(), time.perf_counter()
    if side == "sdk":
        import quillon.validation.credgate as credgate

        credgate.secret_file_path = store
        import quillon.velto_gpt_sdk.nbassist  # noqa: F401
    elif side == "deps":
        for name in DEPENDENCIES:
            importlib.import_module(name)
    else:
        raise SystemExit(f"usage: python -m bench.importprobe sdk|deps, not {side!r}")
    cpu, wall = time.process_time() - cpu, time.perf_counter() - wall
    print(json.dumps({"cpu_s": cpu, "wall_s": wall, "openai_imported": "openai" in sys.modules}), flush=True)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "")
