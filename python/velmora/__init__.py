"""velmora: the protocol core of an HTTP/1.1 and HTTP/2 client and server library.

The native module ``velmora._velmora`` holds all protocol state and byte work; this package
re-exports it.
"""

from velmora import _velmora
from velmora._velmora import *  # noqa: F401,F403

__version__ = _velmora.__version__
__all__ = list(_velmora.__all__)
