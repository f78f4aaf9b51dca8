import linecache as linecache
import sys as sys
import traceback as traceback
from functools import partial as partial

from IPython.core.error import UsageError as UsageError
from IPython.core.interactiveshell import InteractiveShell
from quillon.velto_gpt_sdk import nbassist as nbassist

def load_ipython_extension(ipython: InteractiveShell) -> None: ...
def unload_ipython_extension(ipython: InteractiveShell) -> None: ...
