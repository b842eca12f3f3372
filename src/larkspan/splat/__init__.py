"""Cut, clean and join large Gaussian-splat captures.

The tools live in the native module :mod:`larkspan.splat._core`; the names it
registers are re-exported here.
"""

from . import _core
from ._core import *  # noqa: F401,F403

__all__ = list(_core.__all__)
