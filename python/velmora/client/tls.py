"""Client TLS contexts."""

from __future__ import annotations

import os
import ssl

__all__ = ["create_ssl_context"]


def create_ssl_context(verify: bool | str | ssl.SSLContext = True,
                       cert: str | tuple[str, str] | tuple[str, str, str] | None = None,
                       *, http2: bool = False) -> ssl.SSLContext:
    """A client TLS context: ``verify`` is ``True`` (system CAs, or ``SSL_CERT_FILE`` /
    ``SSL_CERT_DIR``), ``False`` (no verification), a CA bundle file or directory, or a ready
    context (used as is, except that its ALPN list is set to the protocols this client
    speaks). ``cert`` is a client certificate file, or ``(cert, key)`` or
    ``(cert, key, password)``."""
    if isinstance(verify, ssl.SSLContext):
        verify.set_alpn_protocols(["h2", "http/1.1"] if http2 else ["http/1.1"])
        return verify
    if verify is False:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
    elif verify is True:
        ctx = ssl.create_default_context()
        cafile, capath = os.environ.get("SSL_CERT_FILE"), os.environ.get("SSL_CERT_DIR")
        if cafile and os.path.isfile(cafile):
            ctx.load_verify_locations(cafile=cafile)
        if capath and os.path.isdir(capath):
            ctx.load_verify_locations(capath=capath)
    elif isinstance(verify, (str, os.PathLike)):
        ctx = ssl.create_default_context()
        if os.path.isdir(verify):
            ctx.load_verify_locations(capath=os.fspath(verify))
        else:
            ctx.load_verify_locations(cafile=os.fspath(verify))
    else:
        raise TypeError("verify must be a bool, a CA bundle path or an ssl.SSLContext")
    ctx.minimum_version = ssl.TLSVersion.TLSv1_2
    if cert is not None:
        if isinstance(cert, str):
            ctx.load_cert_chain(cert)
        else:
            ctx.load_cert_chain(*cert)
    ctx.set_alpn_protocols(["h2", "http/1.1"] if http2 else ["http/1.1"])
    return ctx
