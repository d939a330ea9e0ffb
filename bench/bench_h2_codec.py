"""H2Codec.receive against hpack.Decoder + hyperframe: a browser request HEADERS block (first on
a connection, then repeated ones that hit the dynamic table), and a batch of DATA frames.

Run: python bench/bench_h2_codec.py   (needs the bench extra: pip install '.[bench]')
"""

import timeit

import hpack
from hyperframe.frame import Frame

from velmora._velmora import H2Codec

REQUEST = [
    (b":method", b"GET"),
    (b":scheme", b"https"),
    (b":authority", b"www.example.com"),
    (b":path", b"/index.html"),
    (b"user-agent", b"Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0"),
    (b"accept", b"text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8"),
    (b"accept-language", b"en-US,en;q=0.5"),
    (b"accept-encoding", b"gzip, deflate, br, zstd"),
    (b"referer", b"https://www.example.com/start"),
    (b"cookie", b"session=4f1c2a9be0d84c7f9a2e; theme=dark; lang=en"),
    (b"upgrade-insecure-requests", b"1"),
    (b"sec-fetch-dest", b"document"),
    (b"sec-fetch-mode", b"navigate"),
    (b"sec-fetch-site", b"same-origin"),
    (b"sec-fetch-user", b"?1"),
    (b"priority", b"u=0, i"),
]


def headers_frame(stream_id, block):
    return len(block).to_bytes(3, "big") + b"\x01\x05" + stream_id.to_bytes(4, "big") + block


def blocks():
    """The first block and the 2nd..100th of one connection (each with its own path)."""
    enc = hpack.Encoder()
    out = []
    for i in range(100):
        fields = list(REQUEST)
        fields[3] = (b":path", b"/page/%d" % i)
        out.append(headers_frame(2 * i + 1, enc.encode(fields)))
    return out


def read_ours(f):
    return (f.stream_id, f.end_stream, f.end_headers, f.method, f.scheme, f.authority, f.path,
            f.status, f.headers.items(), f.content_length)


def read_theirs(f, dec):
    fields = dec.decode(f.data)
    pseudo = {k: val for k, val in fields if k.startswith(":")}
    regular = [(k, val) for k, val in fields if not k.startswith(":")]
    return (f.stream_id, "END_STREAM" in f.flags, "END_HEADERS" in f.flags, pseudo.get(":method"),
            pseudo.get(":scheme"), pseudo.get(":authority"), pseudo.get(":path"),
            pseudo.get(":status"), regular)


def parse_theirs(data):
    f, length = Frame.parse_frame_header(memoryview(data[:9]))
    f.parse_body(memoryview(data[9 : 9 + length]))
    return f


def best(fn, number, rounds=7):
    return min(timeit.timeit(fn, number=number) for _ in range(rounds)) / number


def main():
    wire = blocks()
    first = wire[0]

    def ours_first():
        for f in H2Codec(role="server").receive(first):
            read_ours(f)

    def theirs_first():
        read_theirs(parse_theirs(first), hpack.Decoder())

    def ours_repeated():
        c = H2Codec(role="server")
        for data in wire:
            for f in c.receive(data):
                read_ours(f)

    def theirs_repeated():
        dec = hpack.Decoder()
        for data in wire:
            read_theirs(parse_theirs(data), dec)

    t_of, t_tf = best(ours_first, 2000), best(theirs_first, 200)
    # Repeated blocks: the 100-block run minus the first block gives the cost of blocks 2..100.
    t_or, t_tr = best(ours_repeated, 50), best(theirs_repeated, 5)
    rep_o, rep_t = (t_or - t_of) / 99, (t_tr - t_tf) / 99
    print(f"first HEADERS block     ours {t_of * 1e6:8.2f} us  hpack+hyperframe {t_tf * 1e6:8.2f} us"
          f"  ratio {t_tf / t_of:6.1f}x")
    print(f"repeated HEADERS block  ours {rep_o * 1e6:8.2f} us  hpack+hyperframe {rep_t * 1e6:8.2f} us"
          f"  ratio {rep_t / rep_o:6.1f}x")

    # DATA: one receive of a 1 MiB batch of 16 KiB frames, reading every payload.
    payload = bytes(range(256)) * 64
    frame = len(payload).to_bytes(3, "big") + b"\x00\x00" + (1).to_bytes(4, "big") + payload
    batch = frame * 64
    codec = H2Codec()

    # Both sides hand back the whole batch as a list of frames, as a receive call does.
    def ours_data():
        frames = codec.receive(batch)
        for f in frames:
            f.data

    def theirs_data():
        view, n = memoryview(batch), len(batch)
        off, frames = 0, []
        while off < n:
            f, length = Frame.parse_frame_header(view[off : off + 9])
            f.parse_body(view[off + 9 : off + 9 + length])
            frames.append(f)
            off += 9 + length
        for f in frames:
            f.data

    t_od, t_td = best(ours_data, 200), best(theirs_data, 200)
    gbs = len(batch) / t_od / 1e9
    print(f"1 MiB of 16 KiB DATA    ours {gbs:8.2f} GB/s  hyperframe {len(batch) / t_td / 1e9:8.2f} GB/s"
          f"  ratio {t_td / t_od:6.1f}x")


if __name__ == "__main__":
    main()
