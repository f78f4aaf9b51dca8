"""A local stand-in for the quillon hosted service, for tests and demos: start
it in-process with `DevService` or from a shell with `python -m devservice`."""

from .completions import complete  # noqa: F401
from .service import DEFAULT_DOMAIN, DEMO_APP_TOKEN, DEMO_EMAIL, DEMO_PASSWORD, DEMO_TENANT, DevService  # noqa: F401
from .state import FAULTS, RecordedRequest, ServiceState  # noqa: F401
