"""Memory of idle HTTP/1 server connections: an H1ServerState with its H1Codec, parked between
requests after serving one keep-alive request (the state a server holds for every idle
keep-alive connection). The transport object is shared and not counted.

Counting: the script re-runs itself with PYTHONMALLOC=malloc so that every allocation, Python
objects included, goes through the C allocator, and reads glibc's in-use byte count
(mallinfo2) before and after creating N connections. The figure includes allocator overhead.
The read buffer is reported separately (it is empty, and holds no storage, between requests
unless the client pipelined).

usage: python bench/h1_state_memory.py [N]
"""

import ctypes
import gc
import os
import subprocess
import sys

TARGET = 2048  # bytes per idle connection beyond the read buffer


class MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def in_use():
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = MallInfo2
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd


def idle_connection(v, transport):
    codec = v.H1Codec()
    s = v.H1ServerState(codec, transport)
    s.begin_read()
    s.unpark_idle_read()
    head, seq, dec = s.accept_head(
        b"GET /index.html HTTP/1.1\r\nhost: example.com\r\nuser-agent: bench\r\n"
        b"accept: */*\r\n\r\n")
    code, wire, armed = s.respond_head(seq, 200, None, None, content_length=5)
    s.finish_response(seq)
    code, obj = s.begin_read()
    assert code == v.H1_READ_TRANSPORT
    return s


def measure(n):
    from velmora import _velmora as v

    transport = object()
    keep = [None] * n  # the list is allocated before the first reading
    for i in range(100):  # warm the caches (date value, interned strings, type objects)
        idle_connection(v, transport)
    gc.collect()
    gc.disable()
    before = in_use()
    for i in range(n):
        keep[i] = idle_connection(v, transport)
    after = in_use()
    gc.enable()
    per = (after - before) / n
    state_size = type(keep[0]).__basicsize__
    codec_size = v.H1Codec.__basicsize__
    print(f"idle server connections: {n}")
    print(f"  H1ServerState object: {state_size} bytes (+16 bytes collector header)")
    print(f"  H1Codec object:       {codec_size} bytes")
    print(f"  measured per connection (objects, heap storage, allocator overhead): {per:.0f} bytes")
    print(f"  read buffer between requests: {keep[0].codec.buffered()} bytes buffered, no storage")
    print(f"  target: under {TARGET} bytes; {per / TARGET:.2f} of the target")
    print(f"  50,000 idle connections: {per * 50000 / 2**20:.1f} MiB")


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 50000
    if os.environ.get("PYTHONMALLOC") != "malloc":
        env = dict(os.environ, PYTHONMALLOC="malloc")
        sys.exit(subprocess.call([sys.executable, __file__, str(n)], env=env))
    measure(n)


if __name__ == "__main__":
    main()
