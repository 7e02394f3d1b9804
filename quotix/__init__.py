"""quotix: a client for the TDX stock-quote protocol."""

from quotix._internal import *  # noqa: F401,F403
from quotix._internal import __all__  # noqa: F401
