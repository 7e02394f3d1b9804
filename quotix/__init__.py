"""quotix: a client for the TDX stock-quote protocol."""

from quotix import _internal
from quotix._internal import *  # noqa: F401,F403

# The module constants (markets, K-line categories, error codes, ...) sit outside __all__;
# re-export them too so `quotix.KLINE_DAILY` works like `quotix._internal.KLINE_DAILY`.
globals().update({k: v for k, v in vars(_internal).items() if not k.startswith("_")})

__all__ = list(_internal.__all__)
