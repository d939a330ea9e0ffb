"""The listening socket of a server: a TCP address, a unix socket (``uds``) or an inherited
one (``fd``), bound once (by the supervisor before it starts its workers, or by the server)."""

from __future__ import annotations

import errno
import os
import socket
import stat
from typing import Any

from velmora.server.config import Config

UDS_MODE = 0o666  # anyone who can reach the path may connect, as with a TCP port


def bind_socket(config: Config) -> socket.socket:
    """The bound, listening socket ``config`` names; ``OSError`` with a message that names the
    address when it cannot be had ("address already in use" for a taken one)."""
    if config.fd is not None:
        sock = socket.socket(fileno=config.fd)
        sock.setblocking(False)
        try:
            sock.listen(config.backlog)  # (already listening: this only sets the backlog)
        except OSError:
            pass
        return sock
    if config.uds is not None:
        return _bind_unix(config.uds, config.backlog)
    return _bind_tcp(config.host, config.port, config.backlog, config.reuse_port)


def _bind_tcp(host: str, port: int, backlog: int, reuse_port: bool) -> socket.socket:
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    infos = socket.getaddrinfo(host, port, family if ":" in host else socket.AF_UNSPEC,
                               socket.SOCK_STREAM, 0, socket.AI_PASSIVE)
    family, kind, proto, _, addr = infos[0]
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        if reuse_port:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
        if family == socket.AF_INET6:
            sock.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
    except BaseException:
        sock.close()
        raise
    return _listening(sock, addr, (host, port), backlog)


def _listening(sock: socket.socket, addr: Any, where: object, backlog: int) -> socket.socket:
    """``sock`` bound to ``addr`` and listening (closed when that fails)."""
    try:
        try:
            sock.bind(addr)
        except OSError as exc:
            raise _bind_error(exc, where) from None
        if sock.family == socket.AF_UNIX:
            os.chmod(str(addr), UDS_MODE)
        sock.listen(backlog)
        sock.setblocking(False)
    except BaseException:
        sock.close()
        raise
    return sock


def _bind_unix(path: str, backlog: int) -> socket.socket:
    try:
        st = os.stat(path)
    except FileNotFoundError:
        pass
    else:
        if not stat.S_ISSOCK(st.st_mode):
            raise OSError(errno.EEXIST, f"{path} exists and is not a socket")
        probe = socket.socket(socket.AF_UNIX)
        try:
            probe.connect(path)
        except OSError:
            os.unlink(path)  # a stale socket: no server listens on it
        else:
            raise _bind_error(OSError(errno.EADDRINUSE, "address already in use"), path)
        finally:
            probe.close()
    return _listening(socket.socket(socket.AF_UNIX, socket.SOCK_STREAM), path, path, backlog)


def _bind_error(exc: OSError, where: object) -> OSError:
    reason = "address already in use" if exc.errno == errno.EADDRINUSE else (
        exc.strerror or str(exc)).lower()
    return OSError(exc.errno, f"error while attempting to bind on address {where!r}: {reason}")


def describe(sock: socket.socket, scheme: str) -> str:
    """The address of a listening socket as the startup line writes it."""
    if sock.family == socket.AF_UNIX:
        return f"{scheme}+unix:{sock.getsockname()}"
    host, port = sock.getsockname()[:2]
    shown = f"[{host}]" if ":" in host else host
    return f"{scheme}://{shown}:{port}"
