"""uri_parts, request_url_parts, split_target and http_date."""

import email.utils
import re
import threading
import time
from base64 import b64encode
from datetime import datetime, timezone
from urllib.parse import unquote

import pytest
from hypothesis import given, settings, strategies as st

from velmora._velmora import http_date, request_url_parts, split_target, uri_parts


@pytest.mark.parametrize(
    "url,expected",
    [
        ("http://h/x", ("http", "h", 80, "h:80")),
        ("HTTPS://user:pw@Origin:8443/", ("https", "Origin", 8443, "Origin:8443")),
        ("http://[::1]/", ("http", "::1", 80, "[::1]:80")),
        ("http://[::1]:8080", ("http", "::1", 8080, "[::1]:8080")),
        ("https://[fe80::1:2:3:4:5]/", ("https", "fe80::1:2:3:4:5", 443, "[fe80::1:2:3:4:5]:443")),
        ("wss://h", ("wss", "h", 443, "h:443")),
        ("ws://h", ("ws", "h", 80, "h:80")),
        ("WS://h", ("WS", "h", None, None)),
        ("ftp://h", ("ftp", "h", None, None)),
        ("ftp://h:21", ("ftp", "h", 21, "h:21")),
        ("/path?q", (None, None, None, None)),
        ("*", (None, None, None, None)),
        ("backend:8080", (None, "backend", 8080, "backend:8080")),
        ("backend", (None, "backend", None, None)),
        ("http://h:abc/", ("http", "h", 80, "h:80")),
        ("http://h:+81/", ("http", "h", 81, "h:81")),
        ("http://h:65536/", ("http", "h", 80, "h:80")),
        ("http://h:0/", ("http", "h", 0, "h:0")),
        ("http://u%20x:p%40@h/", ("http", "h", 80, "h:80")),
        ("http://a@b@h/", ("http", "h", 80, "h:80")),
        ("http://h/p#frag?/x", ("http", "h", 80, "h:80")),
        ("http://h?q={x}|", ("http", "h", 80, "h:80")),
        ("git+ssh://h:22/r", ("git+ssh", "h", 22, "h:22")),
        ("http://h:", ("http", "h", 80, "h:80")),
        ("HtTp://Example.COM", ("http", "Example.COM", 80, "Example.COM:80")),
        ("x" * 64 + "://h", ("x" * 64, "h", None, None)),
    ],
)
def test_uri_parts(url, expected):
    assert uri_parts(url) == expected


@pytest.mark.parametrize(
    "url,reason",
    [
        ("", "empty string"),
        ("http://a b/", "invalid uri character"),
        ("http://h/a b", "invalid uri character"),
        ("http://h/\u00e9", "invalid uri character"),
        ("http://h/p\x00", "invalid uri character"),
        ("http://h?q\x7f", "invalid uri character"),
        ("http://h/p#a b", "invalid uri character"),
        ("http://h%41/", "invalid authority"),
        ("http://h:1%41/", "invalid authority"),
        ("http://[::1/", "invalid authority"),
        ("http://::1]/", "invalid authority"),
        ("http://[::1]]/", "invalid authority"),
        ("http://[[::1]/", "invalid authority"),
        ("http://[1:2:3:4:5:6:7:8:9:0]/", "invalid authority"),
        ("http://h:1:2/", "invalid authority"),
        ("http://user@/", "invalid authority"),
        ("http://h@/", "invalid authority"),
        ("http://[::1]x/", "invalid authority"),
        ("http:///path", "invalid format"),
        ("http://", "invalid format"),
        ("host/path", "invalid format"),
        ("x" * 65 + "://h", "scheme too long"),
        ("/" + "a" * 65534, "uri too long"),
    ],
)
def test_uri_parts_rejects(url, reason):
    with pytest.raises(ValueError) as info:
        uri_parts(url)
    message = str(info.value)
    assert message.startswith("invalid url \"")
    assert message.endswith(": " + reason)


def test_uri_error_message_escapes_the_url():
    with pytest.raises(ValueError) as info:
        uri_parts('http://a b"\\\n/')
    assert str(info.value) == 'invalid url "http://a b\\"\\\\\\n/": invalid uri character'
    with pytest.raises(ValueError) as info:
        uri_parts("")
    assert str(info.value) == 'invalid url "": empty string'


def test_longest_accepted_uri():
    assert uri_parts("/" + "a" * 65533) == (None, None, None, None)


@pytest.mark.parametrize("arg", [b"http://h/", None, 5])
def test_uri_parts_needs_str(arg):
    with pytest.raises(TypeError, match="url"):
        uri_parts(arg)


@settings(max_examples=500, deadline=None)
@given(st.text(max_size=80))
def test_uri_parts_only_raises_value_error(text):
    try:
        scheme, host, port, authority = uri_parts(text)
    except ValueError as e:
        assert str(e).startswith("invalid url ")
        return
    if port is not None:
        assert 0 <= port <= 65535
        assert authority.endswith(f":{port}")
    else:
        assert authority is None


IMF = re.compile(r"^(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d GMT$")


def test_http_date_is_the_current_imf_fixdate():
    before = time.time()
    value = http_date()
    after = time.time()
    assert isinstance(value, bytes) and len(value) == 29
    assert IMF.match(value.decode())
    parsed = email.utils.parsedate_to_datetime(value.decode()).timestamp()
    assert int(before) <= parsed <= after
    # The standard library renders the same text for the same second.
    assert value.decode() == email.utils.formatdate(parsed, usegmt=True)


def test_http_date_is_stable_within_a_second_and_per_thread():
    for _ in range(100):
        t0 = time.time()
        a, b = http_date(), http_date()
        if int(time.time()) == int(t0):
            assert a == b
            break
    seen = []
    t = threading.Thread(target=lambda: seen.append(http_date()))
    t.start()
    t.join()
    assert IMF.match(seen[0].decode())


def test_http_date_takes_no_arguments():
    with pytest.raises(TypeError):
        http_date(1)
    with pytest.raises(TypeError):
        http_date(x=1)


def test_http_date_matches_datetime_rendering():
    value = http_date().decode()
    dt = datetime.strptime(value, "%a, %d %b %Y %H:%M:%S GMT").replace(tzinfo=timezone.utc)
    assert dt.strftime("%a, %d %b %Y %H:%M:%S GMT") == value


@pytest.mark.parametrize(
    "target,raw_path,query",
    [
        ("/a%20b?x=1&y", b"/a%20b", b"x=1&y"),
        ("/%e2%82%ac/%C3%A9?q", b"/%e2%82%ac/%C3%A9", b"q"),  # UTF-8
        ("/%ff%e2%82/%e0%80%41%zz%4", b"/%ff%e2%82/%e0%80%41%zz%4", b""),  # ill-formed, invalid
        ("/%ed%a0%80%f4%90%80%80é%80", "/%ed%a0%80%f4%90%80%80é%80".encode(), b""),
        ("*", b"*", b""),
        ("http://h:80/p%2Fq?a?b", b"/p%2Fq", b"a?b"),  # absolute form: path and query
        ("http://h?x", b"/", b"x"),
        ("http://h", b"/", b""),
        ("h:443", b"", b""),  # authority form: no path
    ],
)
def test_split_target(target, raw_path, query):
    expected_path = unquote(raw_path.decode())  # the independent decoder (errors="replace")
    assert split_target(target) == (expected_path, raw_path, query)
    assert split_target(target, root_path="/r") == ("/r" + expected_path, b"/r" + raw_path, query)


@pytest.mark.parametrize(
    "url,expected",
    [
        ("http://h/x", ("http", "h", 80, "h:80", "h", "/x", None)),
        ("HTTPS://u%3A:p%41@H:443?q#f", ("https", "H", 443, "H:443", "H", "/?q",
                                         "Basic " + b64encode(b"u::pA").decode())),
        ("http://u@[::1]:8080", ("http", "::1", 8080, "[::1]:8080", "[::1]:8080", "/",
                                 "Basic " + b64encode(b"u:").decode())),
        ("http://h:/", ("http", "h", 80, "h:80", "h", "/", None)),
        ("http://h:0080/", ("http", "h", 80, "h:80", "h:0080", "/", None)),
        ("/x", (None, None, None, None, None, None, None)),
    ],
)
def test_request_url_parts(url, expected):
    assert request_url_parts(url) == expected
