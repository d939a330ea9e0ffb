"""Module registration: names, order, constants, classes and the boundary conventions."""

import importlib
import sys

import pytest

from velmora import _velmora

# Every exported name in registration order with its kind and, for constants, its value.
REGISTRATION = [
    ("__version__", "0.4.0"),
    ("VelmoraError", "exc"), ("ConnectionClosedError", "exc"),
    ("HeaderMap", "class"), ("http_date", "func"), ("uri_parts", "func"),
    ("request_url_parts", "func"), ("split_target", "func"),
    ("H2Codec", "class"), ("H2FrameHeaders", "class"), ("H2FrameData", "class"),
    ("H2FrameSettings", "class"), ("H2FrameWindowUpdate", "class"), ("H2FramePing", "class"),
    ("H2FrameGoAway", "class"), ("H2FrameRstStream", "class"), ("H2FramePriority", "class"),
    ("H2FrameStreamError", "class"), ("H2StreamState", "class"), ("H2FlowControl", "class"),
    ("H2ContentLength", "class"), ("H2DataFrameBudget", "class"), ("H2Streams", "class"),
    ("H2Stopped", "class"), ("H2RecvHeadersVerdict", "class"), ("H2RecvDataVerdict", "class"),
    ("H2SendVerdict", "class"), ("H2ResetVerdict", "class"),
    ("H2_FLAG_WAKE", 1), ("H2_FLAG_SLOT_FREED", 2), ("H2_FLAG_CONN_DONE", 4),
    ("H2_FLAG_STOP_ACCEPTING", 8), ("H2_HEADERS_IGNORED", 0), ("H2_HEADERS_OPENED", 1),
    ("H2_HEADERS_HEAD", 2), ("H2_HEADERS_TRAILERS", 3),
    ("H2Error", "exc"), ("H2ProtocolError", "exc"), ("H2StreamError", "exc"),
    ("H2UserError", "exc"), ("H2FlowControlError", "exc"), ("H2Reason", "class"),
    ("H2_DEFAULT_HEADER_TABLE_SIZE", 4096), ("H2_DEFAULT_INITIAL_WINDOW_SIZE", 65535),
    ("H2_DEFAULT_MAX_FRAME_SIZE", 16384), ("H2_MAX_MAX_FRAME_SIZE", 16777215),
    ("H2_MAX_STREAM_ID", 2147483647), ("H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD", 256),
    ("H2_DEFAULT_DATA_FRAME_BUDGET", 25600), ("H2_MAX_RECV_EMPTY_DATA_FRAMES", 100),
    ("H2_PREFACE", b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"),
    ("H1Error", "exc"), ("H1ParseError", "exc"), ("H1BodyError", "exc"),
    ("H1IncompleteMessageError", "exc"), ("H1UnexpectedMessageError", "exc"),
    ("H1UserError", "exc"),
    ("H1Codec", "class"), ("H1ResponseHead", "class"), ("H1RequestHead", "class"),
    ("H1BodyDecoder", "class"), ("H1ServerState", "class"), ("H1ClientState", "class"),
    ("OnceLatch", "class"),
    ("H1_WATCH_HANDOFF", 0), ("H1_WATCH_IDLE_EOF", 1), ("H1_WATCH_IDLE_BYTES", 2),
    ("H1_WATCH_IDLE_ERROR", 3), ("H1_WATCH_IGNORED", 4),
    ("H1_NEXT_NONE", 0), ("H1_NEXT_RAISE", 1), ("H1_NEXT_CLOSE", 2), ("H1_NEXT_DRAIN", 3),
    ("H1_READ_PARSE", 4), ("H1_READ_SHUTDOWN", 5), ("H1_READ_WATCHER", 6),
    ("H1_READ_TRANSPORT", 7), ("H1_READ_EOF", 8),
    ("H1_REQ_OK", 0), ("H1_REQ_ALREADY", 1), ("H1_REQ_STALE", 2), ("H1_REQ_PARKED", 3),
    ("H1_REQ_PEER_CLOSED", 4), ("H1_REQ_CONTINUE", 5),
    ("ProxyMatcher", "class"), ("ProxyIntercept", "class"),
]
NAMES = [name for name, _ in REGISTRATION]
SUBCLASSABLE = {"H1ServerState", "H1ClientState", "H2Streams"}
EXCEPTION_BASES = {
    "VelmoraError": "Exception", "ConnectionClosedError": "VelmoraError",
    "H2Error": "VelmoraError", "H2ProtocolError": "H2Error", "H2StreamError": "H2Error",
    "H2UserError": "H2Error", "H2FlowControlError": "H2Error",
    "H1Error": "VelmoraError", "H1ParseError": "H1Error", "H1BodyError": "H1Error",
    "H1IncompleteMessageError": "H1Error", "H1UnexpectedMessageError": "H1Error",
    "H1UserError": "H1Error",
}


def test_table_has_86_rows():
    assert len(NAMES) == 86 == len(set(NAMES))


def test_all_is_the_registered_names_in_table_order():
    present = [n for n in NAMES if hasattr(_velmora, n)]
    assert _velmora.__all__ == present
    assert _velmora.__all__[0] == "__version__"
    assert not hasattr(_velmora, "H2WriteBatch")
    assert "H2WriteBatch" not in _velmora.__all__


@pytest.mark.parametrize(
    "name", ["__version__", "VelmoraError", "ConnectionClosedError", "HeaderMap", "http_date",
             "uri_parts", "H2_PREFACE", "H1_REQ_CONTINUE", "H1UserError"]
    + [n for n, k in REGISTRATION if isinstance(k, int) and not isinstance(k, bool)]
    + [n for n, k in REGISTRATION if k == "exc"])
def test_foundation_rows_are_registered(name):
    assert name in _velmora.__all__


@pytest.mark.parametrize("name,value", [(n, k) for n, k in REGISTRATION
                                        if not isinstance(k, str) or n == "__version__"])
def test_constant_values(name, value):
    got = getattr(_velmora, name)
    assert type(got) is type(value)
    assert got == value


def test_module_docstring_and_version():
    assert _velmora.__doc__ == ""
    assert _velmora.__version__ == "0.4.0"


@pytest.mark.parametrize("name,base", sorted(EXCEPTION_BASES.items()))
def test_exception_hierarchy(name, base):
    cls = getattr(_velmora, name)
    parent = Exception if base == "Exception" else getattr(_velmora, base)
    assert cls.__bases__ == (parent,)
    assert issubclass(cls, _velmora.VelmoraError)
    assert cls.__module__ == "_velmora"
    assert cls.__name__ == name
    assert cls.__doc__


def test_connection_closed_is_neither_h1_nor_h2():
    assert not issubclass(_velmora.ConnectionClosedError, _velmora.H1Error)
    assert not issubclass(_velmora.ConnectionClosedError, _velmora.H2Error)


@pytest.mark.parametrize("name", [n for n, k in REGISTRATION if k == "class"])
def test_classes_live_in_the_package_module(name):
    cls = getattr(_velmora, name, None)
    if cls is None:
        pytest.skip(f"{name} is not built yet")
    assert cls.__module__ == "velmora._velmora"
    assert cls.__name__ == cls.__qualname__ == name
    if name in SUBCLASSABLE:
        type("Sub", (cls,), {})
    else:
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


def test_methods_carry_text_signatures():
    missing = []
    for name in _velmora.__all__:
        obj = getattr(_velmora, name)
        if isinstance(obj, type) and not issubclass(obj, BaseException):
            for attr, member in vars(obj).items():
                if isinstance(member, staticmethod):
                    member = member.__func__
                if attr.startswith("__") or not callable(member):
                    continue
                if getattr(member, "__text_signature__", None) is None:
                    missing.append(f"{name}.{attr}")
        elif callable(obj) and not isinstance(obj, type):
            if obj.__text_signature__ is None:
                missing.append(name)
    assert missing == []


def test_functions_are_builtins_bound_to_the_module():
    for name in ("http_date", "uri_parts"):
        fn = getattr(_velmora, name)
        assert type(fn).__name__ == "builtin_function_or_method"
        assert fn.__self__ is _velmora
    assert _velmora.http_date.__text_signature__ == "()"
    assert _velmora.uri_parts.__text_signature__ == "(url)"


def test_second_import_reuses_the_class_objects():
    first = sys.modules.pop("velmora._velmora")
    try:
        second = importlib.import_module("velmora._velmora")
        assert second is not first
        assert second.__all__ == first.__all__
        for name in first.__all__:
            if isinstance(getattr(first, name), type):
                assert getattr(second, name) is getattr(first, name)
    finally:
        sys.modules["velmora._velmora"] = first


def test_package_reexports_the_module():
    import velmora

    assert velmora.__version__ == "0.4.0"
    assert velmora.HeaderMap is _velmora.HeaderMap
