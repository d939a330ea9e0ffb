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
    ("H2UserError", "exc"), ("H2FlowControlError", "exc"),
    ("H2_KIND_INACTIVE_STREAM_ID", "inactive_stream_id"),
    ("H2_KIND_UNEXPECTED_FRAME_TYPE", "unexpected_frame_type"),
    ("H2_KIND_PAYLOAD_TOO_BIG", "payload_too_big"), ("H2_KIND_REJECTED", "rejected"),
    ("H2_KIND_RELEASE_CAPACITY_TOO_BIG", "release_capacity_too_big"),
    ("H2_KIND_OVERFLOWED_STREAM_ID", "overflowed_stream_id"),
    ("H2_KIND_MALFORMED_HEADERS", "malformed_headers"),
    ("H2_KIND_MISSING_URI_SCHEME_AND_AUTHORITY", "missing_uri_scheme_and_authority"),
    ("H2_KIND_POLL_RESET_AFTER_SEND_RESPONSE", "poll_reset_after_send_response"),
    ("H2_KIND_SEND_PING_WHILE_PENDING", "send_ping_while_pending"),
    ("H2_KIND_SEND_SETTINGS_WHILE_PENDING", "send_settings_while_pending"),
    ("H2_KIND_PEER_DISABLED_SERVER_PUSH", "peer_disabled_server_push"),
    ("H2_KIND_INVALID_INFORMATIONAL_STATUS_CODE", "invalid_informational_status_code"),
    ("H2Reason", "class"),
    ("H2_REASON_NO_ERROR", 0), ("H2_REASON_PROTOCOL_ERROR", 1), ("H2_REASON_INTERNAL_ERROR", 2),
    ("H2_REASON_FLOW_CONTROL_ERROR", 3), ("H2_REASON_SETTINGS_TIMEOUT", 4),
    ("H2_REASON_STREAM_CLOSED", 5), ("H2_REASON_FRAME_SIZE_ERROR", 6),
    ("H2_REASON_REFUSED_STREAM", 7), ("H2_REASON_CANCEL", 8), ("H2_REASON_COMPRESSION_ERROR", 9),
    ("H2_REASON_CONNECT_ERROR", 10), ("H2_REASON_ENHANCE_YOUR_CALM", 11),
    ("H2_REASON_INADEQUATE_SECURITY", 12), ("H2_REASON_HTTP_1_1_REQUIRED", 13),
    ("H2_DEFAULT_HEADER_TABLE_SIZE", 4096), ("H2_DEFAULT_INITIAL_WINDOW_SIZE", 65535),
    ("H2_DEFAULT_MAX_FRAME_SIZE", 16384), ("H2_MAX_MAX_FRAME_SIZE", 16777215),
    ("H2_MAX_STREAM_ID", 2147483647), ("H2_DEFAULT_DATA_FRAME_OVERHEAD_THRESHOLD", 256),
    ("H2_DEFAULT_DATA_FRAME_BUDGET", 25600), ("H2_MAX_RECV_EMPTY_DATA_FRAMES", 100),
    ("H2_PREFACE", b"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"),
    ("H1Error", "exc"), ("H1ParseError", "exc"), ("H1BodyError", "exc"),
    ("H1IncompleteMessageError", "exc"), ("H1UnexpectedMessageError", "exc"),
    ("H1UserError", "exc"),
    ("H1_KIND_METHOD", "method"), ("H1_KIND_VERSION", "version"),
    ("H1_KIND_VERSION_H2", "version_h2"), ("H1_KIND_URI", "uri"),
    ("H1_KIND_URI_TOO_LONG", "uri_too_long"), ("H1_KIND_HEADER_TOKEN", "header_token"),
    ("H1_KIND_HEADER_CONTENT_LENGTH_INVALID", "header_content_length_invalid"),
    ("H1_KIND_HEADER_TRANSFER_ENCODING_INVALID", "header_transfer_encoding_invalid"),
    ("H1_KIND_HEADER_TRANSFER_ENCODING_UNEXPECTED", "header_transfer_encoding_unexpected"),
    ("H1_KIND_TOO_LARGE", "too_large"), ("H1_KIND_STATUS", "status"),
    ("H1_KIND_INTERNAL", "internal"), ("H1_KIND_BODY", "body"),
    ("H1_KIND_BODY_WRITE_ABORTED", "body_write_aborted"), ("H1_KIND_SERVICE", "service"),
    ("H1_KIND_UNEXPECTED_HEADER", "unexpected_header"),
    ("H1_KIND_UNSUPPORTED_STATUS_CODE", "unsupported_status_code"),
    ("H1_KIND_NO_UPGRADE", "no_upgrade"), ("H1_KIND_MANUAL_UPGRADE", "manual_upgrade"),
    ("H1_KIND_DISPATCH_GONE", "dispatch_gone"), ("H1_IO_NOT_FOUND", "not_found"),
    ("H1_IO_PERMISSION_DENIED", "permission_denied"),
    ("H1_IO_CONNECTION_REFUSED", "connection_refused"),
    ("H1_IO_CONNECTION_RESET", "connection_reset"),
    ("H1_IO_CONNECTION_ABORTED", "connection_aborted"), ("H1_IO_NOT_CONNECTED", "not_connected"),
    ("H1_IO_ADDR_IN_USE", "addr_in_use"), ("H1_IO_ADDR_NOT_AVAILABLE", "addr_not_available"),
    ("H1_IO_BROKEN_PIPE", "broken_pipe"), ("H1_IO_ALREADY_EXISTS", "already_exists"),
    ("H1_IO_WOULD_BLOCK", "would_block"), ("H1_IO_INVALID_INPUT", "invalid_input"),
    ("H1_IO_INVALID_DATA", "invalid_data"), ("H1_IO_TIMED_OUT", "timed_out"),
    ("H1_IO_WRITE_ZERO", "write_zero"), ("H1_IO_INTERRUPTED", "interrupted"),
    ("H1_IO_UNSUPPORTED", "unsupported"), ("H1_IO_UNEXPECTED_EOF", "unexpected_eof"),
    ("H1_IO_OUT_OF_MEMORY", "out_of_memory"), ("H1_IO_OTHER", "other"),
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
    ("ProxyMatcher", "class"), ("ProxyIntercept", "class"), ("TrustedPeers", "class"),
    ("coro_step", "func"),
    ("WS_TEXT", 1), ("WS_BINARY", 2), ("WS_CLOSE", 8), ("WS_PING", 9), ("WS_PONG", 10),
    ("WS_OPEN", 0), ("WS_CLOSING", 1), ("WS_CLOSED", 2),
    ("WSDeflate", "class"), ("WSRequest", "class"), ("ws_check_request", "func"),
    ("ws_deflate_negotiate", "func"), ("ws_deflate_offer", "func"), ("ws_deflate_accept", "func"),
    ("WSConnection", "class"),
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


def test_table_has_170_rows():
    assert len(NAMES) == 170 == len(set(NAMES))


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
