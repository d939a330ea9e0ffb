"""Request-smuggling vectors: every ambiguous framing is rejected with its kind or framed one
way only, and nothing after a framing error can be read as a next message."""

import pytest

from velmora import _velmora as v

HEAD = b"POST / HTTP/1.1\r\nHost: h\r\n"


def parse(fields, role="request"):
    """('ok', body_kind, content_length, keep_alive, header items) or ('error', kind)."""
    codec = v.H1Codec()
    try:
        if role == "request":
            head = codec.receive_request_head(HEAD + fields + b"\r\n")
        else:
            codec.serialize_request("GET", "/", v.HeaderMap([("host", "h")]))
            head = codec.receive_head(b"HTTP/1.1 200 OK\r\n" + fields + b"\r\n")
    except v.H1ParseError as e:
        return ("error", e.args[0])
    assert head is not None
    return ("ok", head.body_kind, head.content_length, head.keep_alive, head.headers.items())


CL = b"Content-Length: "
TE = b"Transfer-Encoding: "

HEAD_VECTORS = [
    # Content-Length with Transfer-Encoding, in both orders: chunked wins, the length field is
    # gone and the connection closes after the response.
    ("cl_then_te", CL + b"5\r\n" + TE + b"chunked\r\n", ("ok", "chunked", None, False, [("host", b"h"), ("transfer-encoding", b"chunked")])),
    ("te_then_cl", TE + b"chunked\r\n" + CL + b"5\r\n", ("ok", "chunked", None, False, [("host", b"h"), ("transfer-encoding", b"chunked")])),
    ("te_then_bad_cl", TE + b"chunked\r\n" + CL + b"x\r\n", ("ok", "chunked", None, False, [("host", b"h"), ("transfer-encoding", b"chunked")])),
    # Transfer-Encoding values.
    ("te_chunked_gzip", TE + b"chunked, gzip\r\n", ("error", "header_transfer_encoding_invalid")),
    ("te_leading_comma", TE + b",chunked\r\n", ("ok", "chunked", None, True, [("host", b"h"), ("transfer-encoding", b",chunked")])),
    ("te_trailing_space", TE + b"chunked \r\n", ("ok", "chunked", None, True, [("host", b"h"), ("transfer-encoding", b"chunked")])),
    ("te_vtab", TE + b"\x0bchunked\r\n", ("error", "header_token")),
    ("te_nul", TE + b"chunked\x00\r\n", ("error", "header_token")),
    ("te_nbsp", TE + b"\xa0chunked\r\n", ("error", "header_transfer_encoding_invalid")),
    ("te_two_lines_chunked_last", TE + b"gzip\r\n" + TE + b"chunked\r\n", ("ok", "chunked", None, True, [("host", b"h"), ("transfer-encoding", b"gzip"), ("transfer-encoding", b"chunked")])),
    ("te_two_lines_chunked_first", TE + b"chunked\r\n" + TE + b"gzip\r\n", ("error", "header_transfer_encoding_invalid")),
    ("te_identity", TE + b"identity\r\n", ("error", "header_transfer_encoding_invalid")),
    # Content-Length values.
    ("cl_plus", CL + b"+1\r\n", ("error", "header_content_length_invalid")),
    ("cl_hex", CL + b"0x10\r\n", ("error", "header_content_length_invalid")),
    ("cl_underscore", CL + b"1_0\r\n", ("error", "header_content_length_invalid")),
    ("cl_negative", CL + b"-48\r\n", ("error", "header_content_length_invalid")),
    ("cl_empty", CL + b"\r\n", ("error", "header_content_length_invalid")),
    ("cl_leading_zero", CL + b"010\r\n", ("ok", "length", 10, True, [("host", b"h"), ("content-length", b"010")])),
    ("cl_two_equal", CL + b"5\r\n" + CL + b"5\r\n", ("ok", "length", 5, True, [("host", b"h"), ("content-length", b"5")])),
    ("cl_two_different", CL + b"5\r\n" + CL + b"6\r\n", ("error", "header_content_length_invalid")),
    ("cl_list_request", CL + b"5, 5\r\n", ("error", "header_content_length_invalid")),
    ("cl_21_digits", CL + b"1" * 21 + b"\r\n", ("error", "header_content_length_invalid")),
    ("cl_20_digits_overflow", CL + b"99999999999999999999\r\n", ("error", "header_content_length_invalid")),
    ("cl_max", CL + b"18446744073709551613\r\n", ("ok", "length", 18446744073709551613, True, [("host", b"h"), ("content-length", b"18446744073709551613")])),
    ("cl_reserved", CL + b"18446744073709551614\r\n", ("error", "too_large")),
    ("cl_inner_space", CL + b"1 0\r\n", ("error", "header_content_length_invalid")),
    # Line syntax.
    ("obs_fold", b"X-A: a\r\n b\r\n", ("error", "header_token")),
    ("obs_fold_tab", TE + b"gzip\r\n\tchunked\r\n", ("error", "header_token")),
    ("space_before_colon", b"Content-Length : 5\r\n", ("error", "header_token")),
    ("tab_before_colon", b"Transfer-Encoding\t: chunked\r\n", ("error", "header_token")),
    ("bare_cr_in_value", b"X-A: a\rb\r\n", ("error", "header_token")),
    ("bare_cr_line_end", b"X-A: a\rContent-Length: 5\r\n", ("error", "header_token")),
    ("bare_cr_in_name", b"X\r-A: a\r\n", ("error", "header_token")),
    ("nul_in_name", b"X\x00A: a\r\n", ("error", "header_token")),
    ("nul_in_value", b"X-A: a\x00b\r\n", ("error", "header_token")),
    ("del_in_name", b"X\x7fA: a\r\n", ("error", "header_token")),
    ("del_in_value", b"X-A: a\x7fb\r\n", ("error", "header_token")),
    ("esc_in_value", b"X-A: a\x1bb\r\n", ("error", "header_token")),
    ("ff_in_value", b"X-A: a\x0cb\r\n", ("error", "header_token")),
    ("empty_name", b": a\r\n", ("error", "header_token")),
    ("non_token_name", b"X(A): a\r\n", ("error", "header_token")),
]


RESPONSE_VECTORS = [
    ("cl_list_response", CL + b"5, 5\r\n", ("ok", "length", 5, True, [("content-length", b"5, 5")])),
    ("cl_list_disagree", CL + b"5, 6\r\n", ("error", "header_content_length_invalid")),
    ("cl_plus", CL + b"+5\r\n", ("error", "header_content_length_invalid")),
    ("te_not_chunked", TE + b"chunked, gzip\r\n", ("ok", "close", None, True, [("transfer-encoding", b"chunked, gzip")])),
    ("te_and_cl", CL + b"5\r\n" + TE + b"chunked\r\n", ("ok", "chunked", None, True, [("content-length", b"5"), ("transfer-encoding", b"chunked")])),
    ("obs_fold", b"X-A: a\r\n b\r\n", ("error", "header_token")),
    ("bare_cr", b"X-A: a\rb\r\n", ("error", "header_token")),
]


CHUNK_VECTORS = [
    ("size_hex_prefix", b"0x5\r\nhello\r\n0\r\n\r\n", "invalid_input", "Invalid chunk size line: Invalid Size"),
    ("size_plus", b"+5\r\nhello\r\n0\r\n\r\n", "invalid_input", "Invalid chunk size line: missing size digit"),
    ("size_leading_space", b" 5\r\nhello\r\n0\r\n\r\n", "invalid_input", "Invalid chunk size line: missing size digit"),
    ("size_negative", b"-1\r\nx\r\n0\r\n\r\n", "invalid_input", "Invalid chunk size line: missing size digit"),
    ("size_17_digits", b"1" + b"0" * 16 + b"\r\n", "invalid_data", "invalid chunk size: overflow"),
    ("size_bare_lf", b"5\nhello\r\n0\r\n\r\n", "invalid_input", "Invalid chunk size line: Invalid Size"),
    ("size_space_junk", b"5 x\r\nhello\r\n", "invalid_input", "Invalid chunk size linear white space"),
    ("size_cr_junk", b"5\rxhello\r\n", "invalid_input", "Invalid chunk size LF"),
    ("ext_bare_lf", b"5;a=b\nhello\r\n0\r\n\r\n", "invalid_data", "invalid chunk extension contains newline"),
    ("ext_over_limit", b"1;" + b"e" * 16384 + b"\r\nx\r\n0\r\n\r\n", "invalid_data", "chunk extensions over limit"),
    ("data_no_crlf", b"5\r\nhelloXX\r\n0\r\n\r\n", "invalid_input", "Invalid chunk body CR"),
    ("data_cr_no_lf", b"5\r\nhello\rX0\r\n\r\n", "invalid_input", "Invalid chunk body LF"),
    ("last_chunk_cr_junk", b"0\r\n\rX", "invalid_input", "Invalid chunk end LF"),
    ("trailer_bare_cr", b"0\r\nx: y\rz\r\n\r\n", "invalid_input", "Invalid trailer end LF"),
    ("trailer_101_lines", b"0\r\n" + b"".join(b"t%d: v\r\n" % i for i in range(101)) + b"\r\n", "invalid_data", "chunk trailers count overflow"),
    ("trailer_too_big", b"0\r\nx: " + b"a" * 16384 + b"\r\n\r\n", "invalid_data", "chunk trailers bytes over limit"),
    ("trailer_bad_name", b"0\r\nx y: z\r\n\r\n", "invalid_input", None),
    ("trailer_control", b"0\r\nx: a\x01b\r\n\r\n", "invalid_input", None),
]


def decode_all(decoder):
    out = []
    while True:
        piece = decoder.decode()
        if piece is None:
            return b"".join(out)
        out.append(piece)


def decode_chunked(data, feeding):
    """Decodes `data` (followed by a would-be next request); returns the H1BodyError args."""
    d = v.H1BodyDecoder("chunked")
    with pytest.raises(v.H1BodyError) as e:
        if feeding == "whole":
            d.feed(data + b"GET / HTTP/1.1\r\n\r\n")
            decode_all(d)
        else:
            for i in range(len(data)):
                d.feed(data[i : i + 1])
                decode_all(d)
            d.mark_eof()
            decode_all(d)
    # Nothing survives the error: no bytes to hand to a next message, and the decoder stays
    # failed.
    assert d.buffered == 0 and not d.is_complete
    with pytest.raises(v.H1BodyError):
        d.decode()
    return e.value.args


# One table for every vector: (id, role, input, expected).
VECTORS = (
    [(n, "request", f, e) for n, f, e in HEAD_VECTORS]
    + [("response_" + n, "response", f, e) for n, f, e in RESPONSE_VECTORS]
    + [("chunk_" + n, "chunked", d, (k, t)) for n, d, k, t in CHUNK_VECTORS]
)


@pytest.mark.parametrize("role,data,expected", [pytest.param(r, d, e, id=n) for n, r, d, e in VECTORS])
def test_smuggling_vector(role, data, expected):
    if role != "chunked":
        assert parse(data, role) == expected
        return
    io_kind, text = expected
    for feeding in ("whole", "bytewise"):
        kind, message = decode_chunked(data, feeding)
        assert kind == io_kind
        if text is not None:
            assert message == "error reading a body from connection: " + text


def test_data_after_last_chunk_without_crlf_at_eof():
    d = v.H1BodyDecoder("chunked")
    d.feed(b"0\r\nGET / HTTP/1.1")
    d.mark_eof()
    with pytest.raises(v.H1BodyError) as e:
        decode_all(d)
    assert e.value.args == ("unexpected_eof", "error reading a body from connection: unexpected EOF during chunk size line")


def test_cl_te_pipeline_closes_connection():
    smuggled = b"GPOST / HTTP/1.1\r\nHost: h\r\n\r\n"
    data = HEAD + CL + b"6\r\n" + TE + b"chunked\r\n\r\n0\r\n\r\n" + smuggled
    codec = v.H1Codec()
    head = codec.receive_request_head(data)
    assert head.body_kind == "chunked" and head.keep_alive is False
    d = v.H1BodyDecoder(head.body_kind)
    codec.take_body_into(d)
    assert decode_all(d) == b"" and d.is_complete
    assert d.buffered == len(smuggled)


def test_failed_head_keeps_failing():
    codec = v.H1Codec()
    data = HEAD + CL + b"5\r\n" + CL + b"6\r\n\r\nhelloGET / HTTP/1.1\r\n\r\n"
    for _ in range(2):
        with pytest.raises(v.H1ParseError) as e:
            codec.receive_request_head(b"")  if codec.buffered() else codec.receive_request_head(data)
        assert e.value.args[0] == "header_content_length_invalid"
    assert codec.parse_error_status == 400
