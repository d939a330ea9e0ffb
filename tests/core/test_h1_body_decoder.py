"""H1BodyDecoder: length, chunked and close-delimited bodies, trailers and truncation."""

import pytest

from velmora import _velmora as v


def drain(d):
    out = []
    while (piece := d.decode()) is not None:
        out.append(piece)
    return out


WIKI = b"4\r\nWiki\r\n5\r\npedia\r\nE\r\n in\r\n\r\nchunks.\r\n0\r\n\r\n"


@pytest.mark.parametrize("feeding", ["whole", "bytewise", "trailing"])
def test_chunked_body(feeding):
    d = v.H1BodyDecoder("chunked")
    out = []
    if feeding == "bytewise":
        for i in range(len(WIKI)):
            d.feed(WIKI[i : i + 1])
            out += drain(d)
    else:
        d.feed(WIKI + (b"NEXT" if feeding == "trailing" else b""))
        out = drain(d)
    assert b"".join(out) == b"Wikipedia in\r\n\r\nchunks."
    assert d.is_complete and d.take_trailers() is None
    assert d.buffered == (4 if feeding == "trailing" else 0)


def test_chunk_pieces_are_whole_chunks():
    d = v.H1BodyDecoder("chunked")
    d.feed(b"4\r\nWiki\r\n0\r\n\r\n")
    assert d.decode() == b"Wiki"
    assert d.decode() is None and d.is_complete


def test_trailers():
    d = v.H1BodyDecoder("chunked")
    d.feed(b"1\r\na\r\n0\r\nX-Sum: 12\r\nX-Other:  b \r\n\r\n")
    assert drain(d) == [b"a"]
    t = d.take_trailers()
    assert t.items() == [("x-sum", b"12"), ("x-other", b"b")]
    assert d.take_trailers() is None


def test_extensions_and_size_whitespace_accepted():
    d = v.H1BodyDecoder("chunked")
    d.feed(b"3 \t;name=value;x\r\nabc\r\n0;last\r\n\r\n")
    assert drain(d) == [b"abc"] and d.is_complete


def test_sixteen_digit_size_accepted():
    d = v.H1BodyDecoder("chunked")
    d.feed(b"FFFFFFFFFFFFFFFF\r\nabc")
    assert d.decode() == b"abc" and not d.is_complete


def test_extension_limit_is_per_body():
    d = v.H1BodyDecoder("chunked")
    body = b"".join(b"1;" + b"e" * 8000 + b"\r\nx\r\n" for _ in range(3))
    d.feed(body)
    with pytest.raises(v.H1BodyError) as e:
        drain(d)
    assert e.value.args[1].endswith("chunk extensions over limit")


def test_hundred_trailer_lines_accepted():
    d = v.H1BodyDecoder("chunked")
    d.feed(b"0\r\n" + b"".join(b"t%d: v\r\n" % i for i in range(100)) + b"\r\n")
    drain(d)
    assert len(d.take_trailers()) == 100


@pytest.mark.parametrize(
    "data,message",
    [
        (b"5\r\nab", "end of file before message length reached"),
        (b"5\r\n", "end of file before message length reached"),
        (b"5", "unexpected EOF during chunk size line"),
        (b"5\r\nhello\r\n", "unexpected EOF during chunk size line"),
        (b"0\r\n", "unexpected EOF during chunk size line"),
    ],
)
def test_chunked_truncated(data, message):
    d = v.H1BodyDecoder("chunked")
    d.feed(data)
    drain(d)
    d.mark_eof()
    with pytest.raises(v.H1BodyError) as e:
        drain(d)
    assert e.value.args == ("unexpected_eof", "error reading a body from connection: " + message)


def test_length_body():
    d = v.H1BodyDecoder("length", 5)
    d.feed(b"hel")
    assert d.decode() == b"hel" and not d.is_complete
    assert d.decode() is None
    d.feed(b"lo+++")
    assert d.decode() == b"lo" and d.is_complete
    assert d.buffered == 3 and d.decode() is None


def test_length_truncated():
    d = v.H1BodyDecoder("length", 10)
    d.feed(b"abcd")
    d.mark_eof()
    assert d.decode() == b"abcd"
    with pytest.raises(v.H1BodyError) as e:
        d.decode()
    assert e.value.args == (
        "unexpected_eof",
        "error reading a body from connection: end of file before message length reached",
    )


def test_close_delimited_pieces():
    d = v.H1BodyDecoder("close")
    d.feed(b"a" * (2 * 8192 + 100))
    assert [len(p) for p in drain(d)] == [8192, 8192, 100]
    assert not d.is_complete
    d.mark_eof()
    assert d.decode() is None and d.is_complete


@pytest.mark.parametrize("kind,length", [("empty", 0), ("bogus", 7), ("length", 0), ("", 0)])
def test_complete_at_once(kind, length):
    d = v.H1BodyDecoder(kind, length)
    assert d.is_complete
    d.feed(b"xyz")
    d.mark_eof()
    assert d.decode() is None and d.buffered == 3


def test_constructor_types():
    with pytest.raises(TypeError):
        v.H1BodyDecoder(b"length", 1)
    with pytest.raises(TypeError):
        v.H1BodyDecoder("length", "1")
    with pytest.raises(OverflowError):
        v.H1BodyDecoder("length", -1)
    with pytest.raises(OverflowError):
        v.H1BodyDecoder("length", 1 << 64)
    d = v.H1BodyDecoder("length")
    with pytest.raises(TypeError):
        d.feed("text")
    with pytest.raises(TypeError):

        class Sub(v.H1BodyDecoder):  # final class
            pass
