import pytest

from velmora import _velmora


@pytest.fixture
def v():
    return _velmora
