"""TrustedPeers: which peers are believed, and the client and scheme their proxy fields name
(the Forwarded examples are those of RFC 7239)."""

import pytest

from velmora._velmora import TrustedPeers

LOCAL = "127.0.0.1, 10.0.0.0/8, fd00::/8, unix:"
F, XFF, XFP = b"forwarded", b"x-forwarded-for", b"x-forwarded-proto"


@pytest.mark.parametrize("allow, host, trusted", [
    (LOCAL, "127.0.0.1", True),
    (LOCAL, "10.200.3.4", True),
    (LOCAL, "fd12::1", True),
    (LOCAL, None, True),  # a peer over a unix socket
    (LOCAL, "127.0.0.2", False),
    (LOCAL, "fe80::1", False),
    (LOCAL, "not-an-address", False),
    ("127.0.0.1", None, False),
    ("*", "198.51.100.1", True),
    ("*", None, True),
    ("", "127.0.0.1", False),
])
def test_trusted_peers(allow, host, trusted):
    assert TrustedPeers(allow).trusts(host) is trusted


@pytest.mark.parametrize("allow", ["localhost", "10.0.0.0/33", "1.2.3.4/", "unix"])
def test_an_entry_that_is_not_an_address_is_refused(allow):
    with pytest.raises(ValueError, match="not an IP address"):
        TrustedPeers(allow)


@pytest.mark.parametrize("fields, expected", [
    # no proxy field: nothing changes
    ([(b"host", b"a")], None),
    # X-Forwarded-For: the right-most hop that is not trusted
    ([(XFF, b"203.0.113.7")], (True, ("203.0.113.7", 0), None)),
    ([(XFF, b"198.51.100.1, 203.0.113.7, 10.0.0.5")], (True, ("203.0.113.7", 0), None)),
    ([(XFF, b"198.51.100.1"), (XFF, b"10.0.0.5,10.0.0.6")], (True, ("198.51.100.1", 0), None)),
    ([(XFF, b"10.0.0.9, 10.0.0.5")], (True, ("10.0.0.9", 0), None)),  # all trusted: left-most
    ([(XFF, b"2001:db8::1")], (True, ("2001:db8::1", 0), None)),
    ([(XFF, b"[2001:db8::1]:4711")], (True, ("2001:db8::1", 4711), None)),
    ([(XFF, b"192.0.2.1:8080")], (True, ("192.0.2.1", 8080), None)),
    ([(XFF, b"spoofed, garbage")], (True, None, None)),
    ([(XFF, b" , ")], None),
    # X-Forwarded-Proto: http, https, ws, wss in any case; the hop's own entry when aligned
    ([(XFF, b"203.0.113.7"), (XFP, b"https")], (True, ("203.0.113.7", 0), "https")),
    ([(XFP, b"WSS")], (False, None, "https")),
    ([(XFP, b"ws")], (False, None, "http")),
    ([(XFP, b"gopher")], None),
    ([(XFF, b"203.0.113.7, 10.0.0.5"), (XFP, b"https, http")],
     (True, ("203.0.113.7", 0), "https")),
    ([(XFF, b"203.0.113.7, 10.0.0.5"), (XFP, b"http, http, https")],
     (True, ("203.0.113.7", 0), "https")),
    # RFC 7239 section 4 and 7 examples
    ([(F, b'for="_gazonk"')], (True, None, None)),
    ([(F, b'For="[2001:db8:cafe::17]:4711"')], (True, ("2001:db8:cafe::17", 4711), None)),
    ([(F, b"for=192.0.2.60;proto=http;by=203.0.113.43")], (True, ("192.0.2.60", 0), "http")),
    ([(F, b"for=192.0.2.43, for=198.51.100.17")], (True, ("198.51.100.17", 0), None)),
    ([(F, b'for=192.0.2.43, for="[2001:db8:cafe::17]", for=unknown')], (True, None, None)),
    ([(F, b"for=_hidden, for=_SEVKISEK")], (True, None, None)),
    ([(F, b'for="192.0.2.43:47011";proto=https, for=10.0.0.2')],
     (True, ("192.0.2.43", 47011), "https")),
    ([(F, b'for="[2001:db8:cafe::17]:_port"')], (True, ("2001:db8:cafe::17", 0), None)),
    ([(F, b"proto=https")], (False, None, "https")),
    # Forwarded wins over X-Forwarded-*; one that does not parse changes nothing
    ([(XFF, b"203.0.113.9"), (F, b"for=192.0.2.60")], (True, ("192.0.2.60", 0), None)),
    ([(F, b"for=192.0.2.60;for=192.0.2.61")], None),
    ([(F, b'for="unterminated'), (XFF, b"203.0.113.9")], None),
    ([(F, b"for=192.0.2.60 junk")], None),
    ([(F, b"for"), (XFP, b"https")], None),
])
def test_resolve(fields, expected):
    assert TrustedPeers(LOCAL).resolve(fields) == expected


def test_resolve_wants_pairs_of_bytes():
    with pytest.raises(TypeError):
        TrustedPeers("*").resolve([("x-forwarded-for", "1.2.3.4")])
