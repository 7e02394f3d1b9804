"""Set-up shared by every Python test session.

`python -m pytest` puts the current directory first on sys.path. Run from the checkout, that
would import the source tree's quotix package, which holds no compiled _internal, instead of the
installed one; so the checkout leaves the path unless a module has been built into it in place.
"""

import glob
import os
import sys

ROOT = os.path.dirname(os.path.abspath(__file__))

if not glob.glob(os.path.join(ROOT, "quotix", "_internal*")):
    sys.path[:] = [p for p in sys.path if os.path.abspath(p or os.curdir) != ROOT]
