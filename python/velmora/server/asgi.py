"""ASGI 3 glue shared by the protocol drivers: scopes, messages, errors."""

from __future__ import annotations

import ssl
import time
from typing import Any, Awaitable, Callable, MutableMapping, Protocol

from velmora._velmora import TrustedPeers, split_target
from velmora.server.logs import access_log, error_log

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

ASGI_VERSION = {"version": "3.0", "spec_version": "2.4"}

# The name of every task that runs an application for one request.
TASK_NAME = "velmora.request"
# The Server field of responses, unless the application sets one.
SERVER_NAME = b"velmora"
# The fields of the plain-text responses the server writes itself.
TEXT_PLAIN = [(b"content-type", b"text/plain; charset=utf-8")]
# The reason phrases of the responses the server writes itself, keyed by status.
REASONS = {400: b"Bad Request", 403: b"Forbidden", 414: b"URI Too Long",
           426: b"Upgrade Required", 431: b"Request Header Fields Too Large",
           500: b"Internal Server Error", 503: b"Service Unavailable"}


class ClientDisconnected(OSError):
    """``send`` was called after the client went away (ASGI: a subclass of OSError)."""


class ASGIProtocolError(RuntimeError):
    """The application broke the ASGI message sequence."""


_CACHE_MAX = 512


def target_splitter(root_path: str) -> Callable[[str], tuple[str, bytes, bytes]]:
    """A function giving ``(path, raw_path, query_string)`` of a request-target (origin,
    absolute, authority or asterisk form): ``path`` percent-decoded, both paths prefixed with
    ``root_path``. Recent targets are remembered (a bounded cache)."""
    cache: dict[str, tuple[str, bytes, bytes]] = {}

    def split(target: str) -> tuple[str, bytes, bytes]:
        hit = cache.get(target)
        if hit is not None:
            return hit
        result = split_target(target, root_path)
        if len(cache) >= _CACHE_MAX:
            cache.clear()
        cache[target] = result
        return result

    return split


def transport_addresses(transport: Any) -> tuple[tuple[str, int] | None,
                                                tuple[str, int] | None]:
    """``(client, server)`` of a connection: the ASGI addresses. The server's is one of a few
    listening addresses: connections share one tuple of each."""
    sockname = transport.get_extra_info("sockname")
    try:
        server = _SERVER_ADDRESSES[sockname]
    except (KeyError, TypeError):  # (TypeError: a sockname that is not hashable)
        server = address(sockname)
        if isinstance(sockname, tuple):
            if len(_SERVER_ADDRESSES) >= _CACHE_MAX:
                _SERVER_ADDRESSES.clear()
            _SERVER_ADDRESSES[sockname] = server
    return address(transport.get_extra_info("peername")), server


_SERVER_ADDRESSES: dict[Any, tuple[str, int] | None] = {}


def scope_amender(svc: ScopeSettings, transport: Any,
                  client: tuple[str, int] | None) -> Callable[[Scope], None] | None:
    """What a connection changes in each of its ``http`` scopes, or ``None`` (nothing, the
    common case): the client and scheme that the proxy fields of a trusted peer name, and the
    ``tls`` extension of a TLS connection."""
    peers = svc.trusted
    if peers is not None and not peers.trusts(client[0] if client else None):
        peers = None
    sslobj = transport.get_extra_info("ssl_object") if svc.scheme == "https" else None
    if sslobj is None:  # (the method itself: no Python frame per request)
        return None if peers is None else peers.apply
    extensions = {**svc.extensions, "tls": tls_extension(sslobj)}
    apply = peers.apply if peers is not None else None

    def amend(scope: Scope) -> None:
        scope["extensions"] = extensions
        if apply is not None:
            apply(scope)

    return amend


_TLS_VERSIONS = {"TLSv1.2": 0x0303, "TLSv1.3": 0x0304}
# RFC 4514 section 3 short names of attribute types.
_RDN_NAMES = {"commonName": "CN", "localityName": "L", "stateOrProvinceName": "ST",
              "organizationName": "O", "organizationalUnitName": "OU", "countryName": "C",
              "streetAddress": "STREET", "domainComponent": "DC", "userId": "UID"}


def _rdn_value(value: str) -> str:
    out = "".join("\\" + c if c in ',+"\\<>;' else c for c in value)
    if out[:1] in ("#", " "):
        out = "\\" + out
    if out.endswith(" "):
        out = out[:-1] + "\\ "
    return out


def tls_extension(sslobj: Any) -> dict[str, Any]:
    """The ASGI ``tls`` extension of a connection: its version and cipher suite, and the
    client's certificate when it sent one that was verified."""
    der = sslobj.getpeercert(binary_form=True)
    chain = [ssl.DER_cert_to_PEM_cert(der)] if der else []
    name = None
    if der:
        subject = sslobj.getpeercert().get("subject", ())
        name = ",".join("+".join(f"{_RDN_NAMES.get(k, k)}={_rdn_value(v)}" for k, v in rdn)
                        for rdn in reversed(subject))
    cipher = sslobj.cipher()
    return {"server_cert": None, "client_cert_chain": chain, "client_cert_name": name,
            "client_cert_error": None, "tls_version": _TLS_VERSIONS.get(sslobj.version()),
            "cipher_suite": cipher_suite_id(sslobj.context, cipher[0]) if cipher else None}


_CIPHER_IDS: dict[str, int] = {}


def cipher_suite_id(ctx: ssl.SSLContext, name: str) -> int | None:
    """The IANA number of an OpenSSL cipher name (OpenSSL ids are 0x0300XXXX)."""
    if not _CIPHER_IDS:
        _CIPHER_IDS.update({c["name"]: c["id"] & 0xFFFF for c in ctx.get_ciphers()})
    return _CIPHER_IDS.get(name)


class PeerName:
    """``peer``, the client of a connection as the logs write it, made on first use from the
    connection's ``_client`` address and kept in its ``_peer`` slot."""

    __slots__ = ()
    _client: tuple[str, int] | None
    _peer: str | None

    @property
    def peer(self) -> str:
        peer = self._peer
        if peer is None:
            client = self._client
            peer = self._peer = f"{client[0]}:{client[1]}" if client else "-"  # type: ignore[misc]
        return peer


def address(info: Any) -> tuple[str, int] | None:
    """A transport's peername/sockname as ASGI wants it: ``(host, port)`` or ``None``."""
    if isinstance(info, (tuple, list)) and len(info) >= 2:
        return (str(info[0]), int(info[1]))
    return None


class ScopeSettings(Protocol):
    """What the scopes of one server take from it (its ``Service``)."""

    scheme: str
    root_path: str
    extensions: dict[str, Any]
    lifespan_state: dict[str, Any]
    scope_base: dict[str, Any]
    trusted: TrustedPeers | None
    split: Callable[[str], tuple[str, bytes, bytes]]


def scope_base(svc: ScopeSettings) -> dict[str, Any]:
    """What every ``http`` scope of a server ``svc`` (a ``Service``) shares; ``http_scope``
    fills a copy of it for each request."""
    return {
        "type": "http",
        "asgi": ASGI_VERSION,
        "http_version": "1.1",
        "scheme": svc.scheme,
        "method": "GET",
        "path": "",
        "raw_path": b"",
        "query_string": b"",
        "root_path": svc.root_path,
        "headers": [],
        "client": None,
        "server": None,
        "state": None,
        "extensions": svc.extensions,
    }


def http_scope(svc: ScopeSettings, http_version: str, method: str, target: str,
               headers: list[tuple[bytes, bytes]], client: tuple[str, int] | None,
               server: tuple[str, int] | None) -> dict[str, Any]:
    """The ``http`` scope of one request: a copy of the server's ``scope_base`` (copying a
    dict is cheaper than building one) with the request's own values."""
    path, raw_path, query = svc.split(target)
    scope = svc.scope_base.copy()
    scope["http_version"] = http_version
    scope["method"] = method
    scope["path"] = path
    scope["raw_path"] = raw_path
    scope["query_string"] = query
    scope["headers"] = headers
    scope["client"] = client
    scope["server"] = server
    scope["state"] = svc.lifespan_state.copy()
    return scope


def log_access(peer: str, method: str, path: str, query: bytes, http_version: str,
               status: int, sent: int, t0: float) -> None:
    """One access-log line: peer, request line, status, body bytes sent, duration."""
    if query:
        path = f"{path}?{query.decode('latin-1')}"
    access_log.info('%s - "%s %s HTTP/%s" %d %d %.2fms', peer, method, path, http_version,
                    status, sent, (time.perf_counter() - t0) * 1000.0)


def log_exception(exc: BaseException, what: str) -> None:
    error_log.error(what, exc_info=(type(exc), exc, exc.__traceback__))
