import os
import sys

import pytest

# Shared helpers (peer servers, frame drivers, ASGI apps) live in tests/support.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "support"))

from velmora import _velmora


@pytest.fixture
def v():
    return _velmora
