"""What the client does between a call and the wire, with httpx as the oracle (same request, same
result): content decoding (nginx's gzip, and every coding from velmora's own server), redirects
and the method each status leads to, cookies, uploads parsed back by Starlette, authentication."""

from __future__ import annotations

import asyncio
import hashlib
import io
import json
import os

import httpx
import pytest
import requests

from client_servers import nginx, uvicorn_app, velmora_app
from velmora.client import AsyncClient, DecodingError, RemoteProtocolError, TooManyRedirects
from velmora.client.auth import DigestAuth
from velmora.client.models import URL, Request
from velmora._velmora import HeaderMap

DOC = json.dumps({"rows": [{"n": i, "text": "lorem ipsum " * 4} for i in range(3000)]}).encode()
FILES = {"data.json": DOC, "small.txt": b"hello from nginx\n"}
REDIRECTS = """
    gzip on; gzip_types *; gzip_min_length 1;
    location = /r301 { return 301 /r302; }
    location = /r302 { return 302 /r307; }
    location = /r307 { return 307 /r308; }
    location = /r308 { return 308 /data.json; }
    location = /loop { return 302 /loop; }
"""


def run(coro, timeout: float = 30.0):
    return asyncio.run(asyncio.wait_for(coro, timeout))


@pytest.fixture(scope="module")
def nginx_port():
    with nginx(FILES, extra=REDIRECTS) as port:
        yield port


@pytest.fixture(scope="module")
def app_port():
    with velmora_app() as port:
        yield port


async def both(call):
    """``call(client)`` with velmora's client and with httpx's."""
    async with AsyncClient(follow_redirects=True) as ours, \
            httpx.AsyncClient(follow_redirects=True) as theirs:
        return await call(ours), await call(theirs)


def seen(r):
    return (r.status_code, r.content, [h.status_code for h in r.history], str(r.url),
            r.headers.get("content-encoding"), r.headers.get("content-type"))


# ---- decoding -------------------------------------------------------------------------------

def test_gzip_from_nginx_through_redirects_decodes_as_httpx(nginx_port):
    async def call(c):
        r = await c.get(f"http://127.0.0.1:{nginx_port}/r301")
        return seen(r) + (r.json()["rows"][2999]["n"],)
    ours, theirs = run(both(call))
    assert ours == theirs
    assert ours[0] == 200 and ours[1] == DOC and ours[2] == [301, 302, 307, 308]
    assert ours[4] == "gzip"


@pytest.mark.parametrize("coding", ["gzip", "deflate", "br", "zstd", "gzip, br", "identity"])
def test_every_coding_decodes_as_httpx_whole_and_streamed(app_port, coding):
    async def call(c):
        url = f"http://127.0.0.1:{app_port}/encoded?coding={coding.replace(' ', '%20')}"
        whole = await c.get(url)
        async with c.stream("GET", url) as r:
            streamed = b"".join([p async for p in r.aiter_bytes(chunk_size=777)])
        async with c.stream("GET", url) as r:
            raw = b"".join([p async for p in r.aiter_raw()])
        return whole.content, streamed, raw
    if coding == "identity":
        coding = "gzip, identity"  # an identity step is skipped
    ours, theirs = run(both(call))
    assert ours == theirs
    assert ours[0] == ours[1] and json.loads(ours[0])["items"][1999]["id"] == 1999


def test_a_decompression_bomb_is_refused(app_port):
    async def main():
        async with AsyncClient() as c:
            with pytest.raises(DecodingError, match="expands more than 1000 times"):
                await c.get(f"http://127.0.0.1:{app_port}/bomb")
    run(main())


def test_declared_charset_decodes_text_and_json(app_port):
    async def call(c):
        r = await c.get(f"http://127.0.0.1:{app_port}/json-latin1")
        return r.text, r.encoding.lower(), r
    ours, theirs = run(both(call))
    assert ours[:2] == theirs[:2] == ('{"name": "café"}', "iso-8859-1")
    # httpx's json() reads the bytes as UTF-8 whatever the charset; ours follows the charset
    assert ours[2].json() == {"name": "café"}


# ---- redirects ------------------------------------------------------------------------------

#: Method that reaches the target after each redirect status, and whether the body went along:
#: httpx's behaviour, and requests' (checked below with requests itself).
REWRITES = [
    (301, "POST", "GET", False), (302, "POST", "GET", False), (303, "POST", "GET", False),
    (307, "POST", "POST", True), (308, "POST", "POST", True), (302, "PUT", "GET", False),
    (301, "PUT", "PUT", True), (303, "PUT", "GET", False), (303, "HEAD", "HEAD", False),
    (307, "PUT", "PUT", True),
]


@pytest.mark.parametrize("status,method,after,body", REWRITES)
def test_method_rewriting_per_status_as_httpx(app_port, status, method, after, body):
    async def call(c):
        url = f"http://127.0.0.1:{app_port}/redirect-to?status={status}&url=/echo"
        r = await c.request(method, url, content=b"payload" if method != "HEAD" else None)
        return r.headers["x-method"], r.headers["x-body-length"], [h.status_code
                                                                   for h in r.history]
    ours, theirs = run(both(call))
    assert ours == theirs == (after, "7" if body else "0", [status])
    r = requests.request(method, f"http://127.0.0.1:{app_port}/redirect-to?status={status}"
                         "&url=/echo", data=b"payload" if method != "HEAD" else None)
    assert r.headers["x-method"] == after


def test_redirect_limits_and_cross_origin_credentials(nginx_port, app_port):
    async def main():
        async with AsyncClient(follow_redirects=True, max_redirects=5) as c:
            with pytest.raises(TooManyRedirects):
                await c.get(f"http://127.0.0.1:{nginx_port}/loop")
            not_followed = await c.get(f"http://127.0.0.1:{nginx_port}/r301",
                                       follow_redirects=False)
            other = f"http://localhost:{app_port}/echo"
            cross = await c.get(f"http://127.0.0.1:{app_port}/redirect-to?status=302&url={other}",
                                auth=("u", "p"))
            same = await c.get(f"http://127.0.0.1:{app_port}/redirect-to?status=302&url=/echo",
                               auth=("u", "p"))
            return (not_followed.status, not_followed.headers["location"],
                    cross.headers["x-authorization"], same.headers["x-authorization"])
    assert run(main()) == (301, f"http://127.0.0.1:{nginx_port}/r302", "-", "Basic dTpw")


# ---- cookies --------------------------------------------------------------------------------

def test_cookies_follow_path_rules_and_redirects_as_httpx(app_port):
    async def call(c):
        base = f"http://127.0.0.1:{app_port}"
        r = await c.get(base + "/cookie/put?name=a&value=1&path=/cookie/a")
        await c.get(base + "/cookie/set")
        in_a = await c.get(base + "/cookie/a/get")
        in_b = await c.get(base + "/cookie/b/get")
        via = await c.get(base + "/redirect-to?status=302&url=/cookie/a/get")
        return (dict(r.cookies), in_a.text, in_b.text, via.text, c.cookies["flavour"],
                sorted(c.cookies))
    ours, theirs = run(both(call))
    assert ours == theirs == ({"a": "1"}, "a=1; flavour=oatmeal", "flavour=oatmeal",
                              "a=1; flavour=oatmeal", "oatmeal", ["a", "flavour"])


# ---- request bodies -------------------------------------------------------------------------

def test_multipart_upload_streams_files_parsed_back_by_starlette(app_port, tmp_path):
    big = os.urandom(3 << 20)
    path = tmp_path / "big.bin"
    path.write_bytes(big)

    async def call(c):
        with open(path, "rb") as f:
            r = await c.post(f"http://127.0.0.1:{app_port}/form",
                             data={"title": "déjà vu", "tags": ["a", "b"]},
                             files={"upload": f,
                                    "note": ('quo"te\r\n.txt', io.BytesIO(b"tiny"),
                                             "text/plain")})
        return r.json()
    ours, theirs = run(both(call))
    want = [["title", "déjà vu"], ["tags", "a"], ["tags", "b"],
            ["upload", "big.bin", "application/octet-stream", len(big),
             hashlib.sha256(big).hexdigest()],
            ["note", 'quo%22te%0D%0A.txt', "text/plain", 4, hashlib.sha256(b"tiny").hexdigest()]]
    assert ours == theirs == want


def test_form_json_and_async_iterator_bodies(app_port):
    async def parts():
        for p in (b"ab", b"", b"cd"):
            yield p

    async def main():
        url = f"http://127.0.0.1:{app_port}"
        async with AsyncClient() as c:
            form = await c.post(url + "/form", data={"k": "v w", "n": 1})
            js = await c.post(url + "/echo", json={"a": [1, "é"]})
            it = await c.post(url + "/echo", content=parts())
            return form.json(), js.content, it.content, it.request.method, it.url
    assert run(main()) == ([["k", "v w"], ["n", "1"]], '{"a":[1,"é"]}'.encode(), b"abcd",
                           "POST", f"http://127.0.0.1:{app_port}/echo")


# ---- authentication -------------------------------------------------------------------------

@pytest.mark.parametrize("algorithm,response", [
    # RFC 7616, 3.9.1
    ("MD5", "8ca523f5e9506fed4657c9700eebdbec"),
    ("SHA-256", "753927fa0e85d155564e2e272a28d1802ca10daf4496794697cf8db5856cb6c1"),
])
def test_digest_answer_matches_the_rfc_example(algorithm, response):
    auth = DigestAuth("Mufasa", "Circle of Life")
    request = Request("GET", URL("http://www.example.org/dir/index.html"), None, HeaderMap(),
                      None)
    challenge = {"realm": "http-auth@example.org", "qop": "auth, auth-int",
                 "algorithm": algorithm, "nonce": "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v",
                 "opaque": "FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS"}
    answer = auth._answer(request, challenge, "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ")
    assert f'response="{response}"' in answer and "nc=00000001" in answer


@pytest.mark.parametrize("algorithm", ["MD5", "SHA-256"])
def test_digest_basic_and_callable_auth_against_the_server(app_port, algorithm):
    async def main():
        base = f"http://127.0.0.1:{app_port}"
        async with AsyncClient(auth=DigestAuth("Mufasa", "Circle of Life")) as c:
            d1 = await c.get(f"{base}/digest?algorithm={algorithm}")
            d2 = await c.get(f"{base}/digest?algorithm={algorithm}")
            wrong = await c.get(f"{base}/digest?algorithm={algorithm}",
                                auth=DigestAuth("Mufasa", "nope"))
            basic = await c.get(base + "/echo", auth=("Aladdin", "open sesame"))

            def sign(request):
                request.set_header("authorization", "Bearer t0k3n")
                return request
            bearer = await c.get(base + "/echo", auth=sign)
        async with httpx.AsyncClient(auth=httpx.DigestAuth("Mufasa", "Circle of Life")) as h:
            oracle = await h.get(f"{base}/digest?algorithm={algorithm}")
        return (d1.status, d1.text, len(d1.history), d2.status, wrong.status,
                basic.headers["x-authorization"], bearer.headers["x-authorization"],
                oracle.status_code)
    # RFC 7617, 2: the example credentials
    assert run(main()) == (200, "welcome", 0, 200, 401, "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==",
                           "Bearer t0k3n", 200)


def test_client_settings_changed_between_requests_apply_to_the_next(app_port):
    async def main():
        url = f"http://127.0.0.1:{app_port}/cookie/get"
        async with AsyncClient() as c:
            before = (await c.get(url)).text
            c.headers["cookie"] = "changed=1"  # the warm head of this origin is rebuilt
            after = (await c.get(url)).text
            c.headers = {"cookie": "replaced=2"}
            replaced = (await c.get(url)).text
            return before, after, replaced
    assert run(main()) == ("", "changed=1", "replaced=2")


def test_307_replays_a_file_upload_but_not_a_one_shot_stream():
    async def once():
        yield b"only once"

    async def main():
        base = f"http://127.0.0.1:{port}/redirect-to?status=307&url=/form"
        async with AsyncClient(follow_redirects=True) as c:
            r = await c.post(base, files={"f": ("a.txt", io.BytesIO(b"again"), "text/plain")})
            with pytest.raises(RemoteProtocolError, match="cannot be sent again"):
                await c.post(base, content=once())
            return r.json(), [h.status for h in r.history]
    with uvicorn_app() as port:  # reads the unread body of the redirect and keeps the connection
        got = run(main())
    assert got == ([["f", "a.txt", "text/plain", 5, hashlib.sha256(b"again").hexdigest()]],
                           [307])
