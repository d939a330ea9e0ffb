"""HPACK (RFC 7541): interoperability with the `hpack` package, the recorded corpus of
independent encoders, and the limits and error names of the decoder."""
import json
import pathlib
import random
import shutil
import subprocess

import hpack
import pytest

from h2util import feed, field_list, grouped, headers_frame, v, violates_http2

from hpack_corpus import corpus_dir, stories

ROOT = pathlib.Path(__file__).resolve().parents[2]

CORPUS = corpus_dir()
STORIES = stories()


def test_corpus_is_present():
    # Without it every corpus case below would silently parametrize to nothing.
    assert len(STORIES) > 100, f"no HPACK corpus under {CORPUS}"

BROWSER_REQUEST = [
    (b":method", b"GET"),
    (b":scheme", b"https"),
    (b":authority", b"www.example.com"),
    (b":path", b"/index.html?q=1"),
    (b"user-agent", b"Mozilla/5.0 (X11; Linux x86_64; rv:120.0) Gecko/20100101 Firefox/120.0"),
    (b"accept", b"text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
    (b"accept-language", b"en-US,en;q=0.5"),
    (b"accept-encoding", b"gzip, deflate, br"),
    (b"cookie", b"session=0123456789abcdef0123456789abcdef"),
    (b"cookie", b"theme=dark"),
    (b"upgrade-insecure-requests", b"1"),
    (b"sec-fetch-dest", b"document"),
]


def decode_block(codec, block, stream_id=1):
    frames = codec.receive(headers_frame(stream_id, block))
    assert len(frames) == 1
    return frames[0]


def story_fields(case):
    return [(n.encode(), val.encode()) for h in case["headers"] for n, val in h.items()]


# ---- peer: hpack --------------------------------------------------------------------------


@pytest.mark.parametrize("huffman", [False, True])
@pytest.mark.parametrize("table_sizes", [[], [256], [0, 4096], [8192]])
def test_blocks_from_hpack_decode_to_same_lists(huffman, table_sizes):
    rnd = random.Random(7)
    enc = hpack.Encoder()
    ours = v.H2Codec(role="server")
    ours.set_recv_header_table_size(8192)
    sizes = list(table_sizes)
    for i in range(300):
        if sizes and i % 60 == 30:
            enc.header_table_size = sizes.pop(0)
        fields = list(BROWSER_REQUEST)
        fields[3] = (b":path", b"/p/%d" % rnd.randrange(20))
        fields.append((b"x-n", b"%d" % rnd.randrange(1000)))
        fields.append((b"x-long", b"v" * rnd.randrange(0, 3000)))
        block = enc.encode(fields, huffman=huffman)
        f = decode_block(ours, block, 2 * i + 1)
        assert isinstance(f, v.H2FrameHeaders)
        assert field_list(f) == grouped(fields)


@pytest.mark.parametrize("table_size", [4096, 256, 0])
def test_our_blocks_decode_with_hpack(table_size):
    rnd = random.Random(3)
    ours = v.H2Codec()
    ours.set_send_header_table_size(table_size)
    dec = hpack.Decoder()
    dec.max_allowed_table_size = 4096
    for i in range(200):
        hm = v.HeaderMap([("user-agent", "agent/1.0"), ("accept", "*/*"),
                          ("x-rand", "%d" % rnd.randrange(50)), ("authorization", "Bearer abc"),
                          ("cookie", "short=1"), ("cookie", "long=" + "z" * 30)])
        data = ours.serialize_request_headers(2 * i + 1, "GET", "https://example.com/r/%d" % i, hm)
        assert data[3] == 1 and data[4] & 4
        got = dec.decode(data[9:], raw=True)
        assert got == [(b":method", b"GET"), (b":scheme", b"https"), (b":authority", b"example.com"),
                       (b":path", b"/r/%d" % i)] + [(k.encode(), val) for k, val in hm.items()]


def test_sensitive_fields_are_never_indexed_and_repeats_are():
    ours = v.H2Codec()
    hm = v.HeaderMap([("authorization", "Basic xyz"), ("cookie", "a=1"), ("accept", "*/*")])
    dec = hpack.Decoder()
    for i in range(3):
        data = ours.serialize_request_headers(2 * i + 1, "GET", "https://example.com/", hm)
        dec.decode(data[9:])
    names = {e[0] for e in dec.header_table.dynamic_entries}
    assert b"authorization" not in names and b"cookie" not in names
    assert b":authority" in names and b"accept" in names
    # The third block references what the first indexed: it is much shorter.
    first = v.H2Codec().serialize_request_headers(1, "GET", "https://example.com/", hm)
    assert len(data) < len(first)


# ---- the corpus ---------------------------------------------------------------------------


@pytest.fixture(scope="session")
def hpack_tool(tmp_path_factory):
    cxx = shutil.which("g++") or shutil.which("clang++")
    if not cxx:
        pytest.skip("no C++ compiler")
    out = tmp_path_factory.mktemp("native") / "hpack_tool"
    srcs = [str(ROOT / "src/core/http2" / f"hpack_{n}.cpp")
            for n in ("huffman", "static_table", "dynamic_table", "decoder", "encoder")]
    subprocess.run([cxx, "-std=c++20", "-O1", "-I", str(ROOT / "src/core"),
                    str(ROOT / "tests/native/hpack_tool.cpp"), *srcs, "-o", str(out)], check=True)
    return out


def tool_lines(story_paths):
    lines = []
    for path in story_paths:
        lines.append("S")
        for case in json.loads(path.read_text())["cases"]:
            if "header_table_size" in case:
                lines.append(f"T {case['header_table_size']}")
            lines.append("B " + case["wire"])
            lines += [f"F x{n.hex()} x{val.hex()}" for n, val in story_fields(case)]
            lines.append("E")
    return "\n".join(lines) + "\n"


def test_corpus_with_core_decoder(hpack_tool):
    r = subprocess.run([str(hpack_tool)], input=tool_lines(STORIES), capture_output=True, text=True)
    assert r.returncode == 0, r.stdout
    total = sum(len(json.loads(p.read_text())["cases"]) for p in STORIES)
    assert r.stdout.split()[:2] == ["ok", str(total)]


def test_core_encoder_blocks_decode_with_hpack(hpack_tool):
    # Every corpus header list, encoded by the core encoder over one table per story, with
    # table-size changes, read back by the peer decoder.
    for path in STORIES[::7]:
        cases = json.loads(path.read_text())["cases"]
        lines = ["S"]
        for i, case in enumerate(cases):
            if i % 10 == 5:
                lines.append(f"T {[512, 4096, 0, 2048][i // 10 % 4]}")
            lines += [f"F x{n.hex()} x{val.hex()}" for n, val in story_fields(case)] + ["E"]
        r = subprocess.run([str(hpack_tool), "--encode"], input="\n".join(lines) + "\n",
                           capture_output=True, text=True, check=True)
        dec = hpack.Decoder()
        for case, block in zip(cases, r.stdout.split()):
            assert dec.decode(bytes.fromhex(block), raw=True) == story_fields(case)


def encode_with_tool(hpack_tool, blocks):
    """Encodes `blocks` (field lists, or ("T", size) for a table-size change) over one core
    encoder; returns one bytes object per field list."""
    lines = ["S"]
    for b in blocks:
        if b[0] == "T":
            lines.append(f"T {b[1]}")
        else:
            lines += [f"F x{n.hex()} x{val.hex()}" for n, val in b] + ["E"]
    r = subprocess.run([str(hpack_tool), "--encode"], input="\n".join(lines) + "\n",
                       capture_output=True, text=True, check=True, timeout=60)
    return [bytes.fromhex(x) for x in r.stdout.split()]


def test_core_encoder_under_table_pressure_and_size_updates(hpack_tool):
    # Hundreds of names (the index grows several times), values from tiny to larger than a
    # small table, names that repeat with changing values, and size changes down to zero and
    # far up, each read back exactly by the peer decoder with the same table.
    rnd = random.Random(11)
    names = [b"x-%d" % i for i in range(300)] + [b"content-length", b"etag", b"accept"]
    blocks, sizes = [], iter([64, 0, 300, 4096, 65536, 1, 4096, 200, 100000, 4096] * 3)
    for i in range(240):
        if i % 8 == 7:
            blocks.append(("T", next(sizes)))
        block = [(rnd.choice(names[:40]), b"%d" % rnd.randrange(5)) for _ in range(6)]
        block += [(rnd.choice(names), b"v" * rnd.choice([0, 1, 30, 150, 900, 5000]))
                  for _ in range(4)]
        block += [(b"x-id", b"%d" % (i * 7919)), (b"etag", b'"%x"' % rnd.getrandbits(64))]
        block += [(b"x-same", b"same"), (b"x-same", b"same")]
        blocks.append(block)
    dec = hpack.Decoder()
    dec.max_allowed_table_size = 100000
    fields = [b for b in blocks if b[0] != "T"]
    for want, wire in zip(fields, encode_with_tool(hpack_tool, blocks), strict=True):
        assert dec.decode(wire, raw=True) == want


def test_changing_values_are_not_indexed_and_do_not_evict_repeating_fields(hpack_tool):
    stable = [(b"x-stable-%d" % i, b"value-%d" % i) for i in range(40)]  # ~2 KiB of entries
    blocks = [stable + [(b"x-request-id", b"%032x" % (i * 0x9E3779B97F4A7C15)),
                        (b"content-length", b"%d" % (1000 + i))] for i in range(50)]
    wires = encode_with_tool(hpack_tool, blocks)
    dec = hpack.Decoder()
    for want, wire in zip(blocks, wires, strict=True):
        assert dec.decode(wire, raw=True) == want
    entries = {n for n, _ in dec.header_table.dynamic_entries}
    assert all(n in entries for n, _ in stable)
    ids = sum(1 for n, _ in dec.header_table.dynamic_entries if n == b"x-request-id")
    assert 1 <= ids <= 4  # indexed until the run of new values shows, the name kept
    last = wires[-1]
    assert all(b & 0x80 for b in last[:40])  # every stable field one indexed byte
    # Without indexing (0000 prefix) by the name's dynamic index, then a 32-digit value.
    assert last[40] & 0xF0 == 0 and len(last) < 40 + 2 + 1 + 32 + 2 + 5


def test_secrets_are_never_indexed_and_long_cookies_are(hpack_tool):
    blocks = [[(b"authorization", b"Bearer abc"), (b"proxy-authorization", b"Basic eHk="),
               (b"cookie", b"sid=1"), (b"cookie", b"long=" + b"z" * 40)]] * 3
    wires = encode_with_tool(hpack_tool, blocks)
    dec = hpack.Decoder()
    for wire in wires:
        assert dec.decode(wire, raw=True) == blocks[0]
    # authorization (static name 23) and proxy-authorization (49) never indexed, every time.
    assert wires[2][0] == 0x1F and wires[2][1] == 23 - 15
    names = [n for n, _ in dec.header_table.dynamic_entries]
    assert names == [b"cookie"]  # only the long cookie, indexed once, then referenced
    assert wires[2][-1] == 0x80 | 62


@pytest.mark.parametrize("path", STORIES, ids=lambda p: f"{p.parent.name}/{p.stem}")
def test_corpus_through_codec(path):
    cases = json.loads(path.read_text())["cases"]
    requests = any(n == ":method" for h in cases[0]["headers"] for n in h)
    codec = v.H2Codec(role="server" if requests else "client")
    for i, case in enumerate(cases):
        if "header_table_size" in case:
            codec.set_recv_header_table_size(case["header_table_size"])
        fields = story_fields(case)
        (f,) = codec.receive(headers_frame(2 * i + 1, bytes.fromhex(case["wire"])))
        if violates_http2(fields):
            assert isinstance(f, v.H2FrameStreamError)
            assert (f.stream_id, f.error_code) == (2 * i + 1, 1)
        else:
            assert isinstance(f, v.H2FrameHeaders), case["seqno"]
            assert field_list(f) == grouped(fields)


# ---- decoder limits and errors ------------------------------------------------------------


def hpack_error(name):
    return f"HPACK decoding failed: Hpack({name})"


@pytest.mark.parametrize(
    "block, error",
    [
        (b"\x82\xff\xff\xff\xff\xff\x00", hpack_error("IntegerOverflow")),  # four continuation bytes
        (b"\x82\xc0", hpack_error("InvalidTableIndex")),  # dynamic index 1, table empty
        (b"\x80", hpack_error("InvalidTableIndex")),  # index 0
        (b"\x3f\xe2\x1f", hpack_error("InvalidMaxDynamicSize")),  # 4096 + 1 > allowed
        (b"\x82\x20", hpack_error("InvalidMaxDynamicSize")),  # size update after a field
        (b"\x82\x00\x81\xff\x01a", hpack_error("InvalidHuffmanCode")),  # EOS-ish name
        (b"\x82\x00\x82\xff\xff\x01a", hpack_error("InvalidHuffmanCode")),  # padding > 7 bits
        (b"\x82\x00\x81\x00\x01a", hpack_error("InvalidHuffmanCode")),  # padding not ones
        (b"\x82\x00\x01a\x05ab", hpack_error("StringUnderflow")),  # cut short with END_HEADERS
        (b"\x82\x00\x01a\x7f", hpack_error("IntegerUnderflow")),
        (b"\x82\x00", hpack_error("UnexpectedEndOfStream")),
    ],
)
def test_decoder_errors(block, error):
    codec = v.H2Codec(role="server")
    with pytest.raises(v.H2ProtocolError) as e:
        codec.receive(headers_frame(1, block))
    # RFC 9113 section 4.3: COMPRESSION_ERROR.
    assert e.value.args == (9, error)


def test_integer_with_four_continuation_bytes_decodes_when_last_is_clear():
    # :status 200, then a literal "a" whose value length is 127 written with a full prefix and
    # four continuation bytes, the fourth with its bit clear: an over-long but valid 127.
    codec = v.H2Codec()
    block = b"\x88\x00\x01a\x7f\x80\x80\x80\x00"
    value = b"x" * 127
    (f,) = codec.receive(headers_frame(1, block + value))
    assert f.headers["a"] == value


def test_cut_short_block_waits_for_continuation():
    codec = v.H2Codec(role="server")
    enc = hpack.Encoder()
    block = enc.encode([(b":method", b"GET"), (b":scheme", b"http"), (b":authority", b"h"),
                        (b":path", b"/"), (b"x-value", b"y" * 300)], huffman=False)
    cut = len(block) - 100  # inside the value literal
    assert codec.receive(headers_frame(1, block[:cut], end_headers=False)) == []
    from h2util import frame
    (f,) = codec.receive(frame(9, 4, 1, block[cut:]))
    assert f.headers["x-value"] == b"y" * 300
    assert f.end_headers and f.path == "/"


def test_way_too_large_list_is_a_connection_error_and_just_over_is_a_stream_error():
    codec = v.H2Codec(role="server")
    codec.set_max_header_list_size(1000)
    enc = hpack.Encoder()
    base = [(b":method", b"GET"), (b":scheme", b"http"), (b":authority", b"h"), (b":path", b"/")]
    (f,) = codec.receive(headers_frame(1, enc.encode(base + [(b"x", b"y" * 900)])))
    assert isinstance(f, v.H2FrameStreamError) and f.error_code == 1
    # The table stayed in step: a following block referencing it decodes.
    (f,) = codec.receive(headers_frame(3, enc.encode(base + [(b"x", b"small")])))
    assert f.headers["x"] == b"small"
    with pytest.raises(v.H2ProtocolError) as e:
        codec.receive(headers_frame(5, enc.encode(base + [(b"x", b"y" * 900)] * 5)))
    assert e.value.args == (11, "decoded header list size over abuse limit")


def test_hpack_bomb_hits_the_list_limit():
    # One 4 KiB entry referenced over and over: the header-list limit stops it.
    codec = v.H2Codec(role="server")
    codec.set_max_header_list_size(65536)
    n = 4000 - 127  # literal with indexing, name "b", a 4000-byte value
    entry = b"\x40\x01b\x7f" + bytes([0x80 | (n & 0x7F), n >> 7]) + b"z" * 4000
    block = b"\x82\x86\x84\x41\x01h" + entry + b"\xbe" * 200  # 200 references to index 62
    with pytest.raises(v.H2ProtocolError) as e:
        codec.receive(headers_frame(1, block))
    assert e.value.args[0] == 11


def test_table_size_update_to_zero_then_back():
    enc = hpack.Encoder()
    codec = v.H2Codec(role="server")
    fields = [(b":method", b"GET"), (b":scheme", b"http"), (b":authority", b"h"), (b":path", b"/"),
              (b"x-a", b"1")]
    for size in (0, 100, 4096, 0, 4096):
        enc.header_table_size = size
        for i in range(3):
            (f,) = codec.receive(headers_frame(1, enc.encode(fields)))
            assert field_list(f) == fields


@pytest.mark.parametrize("mode", ["whole", "bytewise", "trailing"])
def test_browser_request_in_every_feeding(mode):
    codec = v.H2Codec(role="server")
    block = hpack.Encoder().encode(BROWSER_REQUEST)
    (f,) = feed(codec, headers_frame(1, block), mode)
    assert field_list(f) == grouped(BROWSER_REQUEST)


def test_entries_surviving_a_lower_table_size_still_decode():
    enc = hpack.Encoder()
    codec = v.H2Codec(role="server")
    base = [(b":method", b"GET"), (b":scheme", b"http"), (b":authority", b"h"), (b":path", b"/")]
    fields = base + [(b"x-%d" % i, b"%d" % i * 30) for i in range(30)]
    (f,) = codec.receive(headers_frame(1, enc.encode(fields)))
    assert field_list(f) == fields
    codec.set_recv_header_table_size(256)
    enc.header_table_size = 256
    for stream_id in (3, 5):
        (f,) = codec.receive(headers_frame(stream_id, enc.encode(fields)))
        assert field_list(f) == fields
