"""Makes the tests import the installed quotix package, not the source directory of the same name.

`python3 -m pytest` run from the repository root puts the root on sys.path, where quotix/ holds
only the Python sources without the built extension module.
"""

import os
import sys

_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def _is_root(entry):
    return os.path.abspath(entry or os.curdir) == _ROOT


if not any(f.startswith("_internal") for f in os.listdir(os.path.join(_ROOT, "quotix"))):
    sys.path[:] = [p for p in sys.path if not _is_root(p)]
    stale = sys.modules.get("quotix")
    if stale is not None and os.path.dirname(getattr(stale, "__file__", "") or "") == os.path.join(_ROOT, "quotix"):
        del sys.modules["quotix"]
