"""A local stand-in for the quillon hosted service, for tests and demos.

Start it in-process with `DevService` or from a shell with
`python -m devservice`.
"""

from .completions import complete
from .service import (DEFAULT_DOMAIN, DEMO_APP_TOKEN, DEMO_EMAIL, DEMO_PASSWORD, DEMO_TENANT,
                      DevService)
from .state import RecordedRequest, Response, ServiceState

__all__ = ["DevService", "ServiceState", "RecordedRequest", "Response", "complete", "DEFAULT_DOMAIN",
           "DEMO_TENANT", "DEMO_EMAIL", "DEMO_PASSWORD", "DEMO_APP_TOKEN"]
