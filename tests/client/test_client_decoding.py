"""``ContentDecoder`` on its own: every coding fed whole, byte by byte and in one call over the
whole body (the single-member gzip fast path), including concatenated gzip members, a trailer
that lies about the size, corrupt input and an over-expanding body."""

from __future__ import annotations

import gzip
import zlib

import brotli
import pytest
import zstandard

from velmora.client import DecodingError
from velmora.client.decoding import ACCEPT_ENCODING, decoder_for

TEXT = b"".join(b"line %d of the document\n" % i for i in range(5000))
LYING = gzip.compress(TEXT)[:-4] + (len(TEXT) - 1).to_bytes(4, "little")
CASES = [
    ("gzip", gzip.compress(TEXT), TEXT),
    ("gzip", gzip.compress(TEXT[:100]) + gzip.compress(TEXT[100:]), TEXT),  # two members
    ("gzip", gzip.compress(TEXT[:7]) * 2, TEXT[:7] * 2),  # identical members
    ("x-gzip", gzip.compress(b""), b""),
    ("deflate", zlib.compress(TEXT), TEXT),
    ("deflate", zlib.compress(TEXT)[2:-4], TEXT),  # raw deflate, as some servers send
    ("br", brotli.compress(TEXT), TEXT),
    ("zstd", zstandard.ZstdCompressor().compress(TEXT), TEXT),
    ("gzip, br", brotli.compress(gzip.compress(TEXT)), TEXT),
]


def test_accept_encoding_lists_what_can_be_decoded():
    assert ACCEPT_ENCODING == "gzip, deflate, br, zstd"


@pytest.mark.parametrize("coding,data,want", CASES)
@pytest.mark.parametrize("feed", ["whole", "bytewise", "all"])
def test_decoding(coding, data, want, feed):
    dec = decoder_for(coding.encode())
    if feed == "all":
        got = dec.decode_all(data)
    elif feed == "whole":
        got = dec.decode(data) + dec.flush()
    else:
        got = b"".join(dec.decode(data[i:i + 1]) for i in range(len(data))) + dec.flush()
    assert got == want


@pytest.mark.parametrize("feed", ["whole", "all"])
def test_a_trailer_lying_about_the_size_is_caught(feed):
    dec = decoder_for(b"gzip")
    with pytest.raises(DecodingError):
        dec.decode_all(LYING) if feed == "all" else dec.decode(LYING) + dec.flush()


@pytest.mark.parametrize("coding,data", [
    ("gzip", b"\x1f\x8b\x08\x00garbage-garbage-garbage"),
    ("br", b"\xff\xff\xff\xff"),
    ("zstd", b"\x28\xb5\x2f\xfd\xff\xff"),
])
def test_corrupt_input_is_a_decoding_error(coding, data):
    with pytest.raises(DecodingError):
        dec = decoder_for(coding.encode())
        dec.decode_all(data)


@pytest.mark.parametrize("coding,bomb", [
    ("gzip", gzip.compress(b"\0" * (64 << 20), 9)),  # ratio of about 1000
    ("br", brotli.compress(b"\0" * (64 << 20), quality=1)),
    ("gzip, gzip", gzip.compress(gzip.compress(b"\0" * (64 << 20), 9), 9)),
])
def test_over_expanding_bodies_are_refused(coding, bomb):
    with pytest.raises(DecodingError, match="decompression bomb"):
        dec = decoder_for(coding.encode())
        dec.decode(bomb)
        dec.flush()


def test_unknown_or_identity_codings_leave_the_body_as_is():
    assert decoder_for(b"identity") is None and decoder_for(b"compress") is None
