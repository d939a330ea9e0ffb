"""One keep-alive request/response cycle on a server connection: velmora's H1ServerState (with its
codec framing the body) against h11's server-side Connection, interleaved, best of several
rounds. Prints microseconds per cycle and the ratio (theirs / ours: above 1.0 means velmora is
faster).

usage: python bench/h1_state_cycle.py [cycles]
"""

import sys
import time

import h11

from velmora import _velmora as v

REQUEST = (b"GET /index.html HTTP/1.1\r\nhost: example.com\r\nuser-agent: bench/1.0\r\n"
           b"accept: text/html,*/*;q=0.8\r\naccept-encoding: gzip, br\r\n\r\n")
BODY = b"x" * 512
RESP_HEADERS = [("content-type", "text/html"), ("cache-control", "no-cache")]


def ours(n):
    transport = object()
    s = v.H1ServerState(v.H1Codec(), transport)
    codec = s.codec
    hm = v.HeaderMap(RESP_HEADERS)
    out = 0
    t0 = time.perf_counter()
    for _ in range(n):
        s.begin_read()
        s.unpark_idle_read()
        head, seq, dec = s.accept_head(REQUEST)
        code, wire, armed = s.respond_head(seq, 200, hm, None, content_length=len(BODY))
        out += len(codec.serialize_head_and_body(wire, BODY))
        s.finish_response(seq)
    return time.perf_counter() - t0, out


def theirs(n):
    conn = h11.Connection(h11.SERVER)
    out = 0
    t0 = time.perf_counter()
    for _ in range(n):
        conn.receive_data(REQUEST)
        ev = conn.next_event()
        assert isinstance(ev, h11.Request)
        assert isinstance(conn.next_event(), h11.EndOfMessage)
        data = conn.send(h11.Response(status_code=200, headers=RESP_HEADERS + [
            ("content-length", str(len(BODY)))]))
        data += conn.send(h11.Data(data=BODY))
        data += conn.send(h11.EndOfMessage())
        out += len(data)
        conn.start_next_cycle()
    return time.perf_counter() - t0, out


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    best_ours = best_theirs = float("inf")
    for _ in range(5):
        best_ours = min(best_ours, ours(n)[0])
        best_theirs = min(best_theirs, theirs(n)[0])
    print(f"keep-alive cycle, {n} requests per round, best of 5")
    print(f"  velmora H1ServerState: {best_ours / n * 1e6:.2f} us/cycle")
    print(f"  h11 Connection:        {best_theirs / n * 1e6:.2f} us/cycle")
    print(f"  ratio (h11 / velmora): {best_theirs / best_ours:.1f}")


if __name__ == "__main__":
    main()
