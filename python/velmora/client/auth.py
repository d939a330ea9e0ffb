"""Authentication as a flow: ``auth.flow(request)`` is a generator that yields the requests to
send and receives each response, so the async and the sync client run the same code.

``auth=`` takes a ``(user, password)`` pair (Basic, RFC 7617), :class:`BasicAuth`,
:class:`DigestAuth` (RFC 7616) or a callable that takes the request and returns it (changed).
"""

from __future__ import annotations

import base64
import hashlib
import os
import re
import threading
import time
from collections.abc import Callable, Generator
from typing import Any

from .models import Request

__all__ = ["Auth", "BasicAuth", "DigestAuth", "FunctionAuth", "auth_from"]

Flow = Generator[Request, Any, None]


class Auth:
    """Base of the authentication schemes: the default flow sends the request as it is."""

    def flow(self, request: Request) -> Flow:
        yield request


def _basic(user: str | bytes, password: str | bytes) -> str:
    u = user.encode() if isinstance(user, str) else user
    p = password.encode() if isinstance(password, str) else password
    return "Basic " + base64.b64encode(u + b":" + p).decode("ascii")


class BasicAuth(Auth):
    def __init__(self, username: str | bytes, password: str | bytes) -> None:
        self._value = _basic(username, password)

    def flow(self, request: Request) -> Flow:
        request.set_header("authorization", self._value)
        yield request


class FunctionAuth(Auth):
    def __init__(self, func: Callable[[Request], Request]) -> None:
        self._func = func

    def flow(self, request: Request) -> Flow:
        yield self._func(request)


_PARAM = re.compile(r'(\w+)\s*=\s*("(?:[^"\\]|\\.)*"|[^\s,]+)')
_HASHES: dict[str, Callable[[bytes], Any]] = {
    "MD5": hashlib.md5, "SHA-256": hashlib.sha256, "SHA-512-256": lambda b: hashlib.new(
        "sha512_256", b)}


class DigestAuth(Auth):
    """Digest access authentication (RFC 7616): MD5, SHA-256 and their ``-sess`` variants,
    ``qop=auth``; the challenge is answered once per request."""

    def __init__(self, username: str | bytes, password: str | bytes) -> None:
        self._user = username.encode() if isinstance(username, str) else username
        self._password = password.encode() if isinstance(password, str) else password
        self._nc = 0
        self._last: dict[str, str] | None = None
        self._lock = threading.Lock()  # one DigestAuth may serve several threads

    def flow(self, request: Request) -> Flow:
        if self._last is not None:  # answer the last challenge at once (nonce reuse)
            request.set_header("authorization",
                               self._answer(request, self._last, _cnonce()))
        response = yield request
        if response.status != 401:
            return
        for value in response.headers.get_list("www-authenticate"):
            scheme, _, rest = value.partition(" ")
            if scheme.lower() == "digest":
                break
        else:
            return
        challenge = {k.lower(): v[1:-1].replace('\\"', '"') if v.startswith('"') else v
                     for k, v in _PARAM.findall(rest)}
        if "nonce" not in challenge or "realm" not in challenge:
            return
        with self._lock:
            self._last = challenge
            self._nc = 0
        request.set_header("authorization", self._answer(request, challenge, _cnonce()))
        yield request

    def _answer(self, request: Request, ch: dict[str, str], cnonce_text: str) -> str:
        algorithm = ch.get("algorithm", "MD5").upper()
        sess = algorithm.endswith("-SESS")
        base = algorithm[:-5] if sess else algorithm
        h = _HASHES.get(base)
        if h is None:
            raise ValueError(f"unsupported digest algorithm {algorithm!r}")

        def digest(b: bytes) -> str:
            return h(b).hexdigest()  # type: ignore[no-any-return]

        realm, nonce = ch["realm"].encode(), ch["nonce"].encode()
        with self._lock:
            self._nc += 1
            nc = b"%08x" % self._nc
        cnonce = cnonce_text.encode()
        ha1 = digest(self._user + b":" + realm + b":" + self._password)
        if sess:
            ha1 = digest(ha1.encode() + b":" + nonce + b":" + cnonce)
        uri = request.u.target.encode()
        ha2 = digest(request.method.encode() + b":" + uri)
        qops = [q.strip() for q in ch.get("qop", "").split(",") if q.strip()]
        if qops:
            if "auth" not in qops:
                raise ValueError(f"unsupported digest qop {ch['qop']!r}")
            response = digest(ha1.encode() + b":" + nonce + b":" + nc + b":" + cnonce +
                              b":auth:" + ha2.encode())
        else:
            response = digest(ha1.encode() + b":" + nonce + b":" + ha2.encode())
        parts = [f'username="{self._user.decode()}"', f'realm="{ch["realm"]}"',
                 f'nonce="{ch["nonce"]}"', f'uri="{uri.decode()}"',
                 f'response="{response}"', f"algorithm={algorithm}"]
        if "opaque" in ch:
            parts.append(f'opaque="{ch["opaque"]}"')
        if qops:
            parts += ["qop=auth", f"nc={nc.decode()}", f'cnonce="{cnonce.decode()}"']
        return "Digest " + ", ".join(parts)


def _cnonce() -> str:
    return hashlib.sha256(os.urandom(16) + str(time.time()).encode()).hexdigest()[:16]


def auth_from(auth: Any) -> Auth | None:
    """The :class:`Auth` of an ``auth=`` argument."""
    if auth is None or isinstance(auth, Auth):
        return auth
    if isinstance(auth, tuple) and len(auth) == 2:
        return BasicAuth(*auth)
    if callable(auth):
        return FunctionAuth(auth)
    raise TypeError("auth must be a (user, password) pair, an Auth or a callable")
