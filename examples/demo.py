"""A first look at velmora's core: parse a request head, answer it, split a URL."""

from velmora import _velmora as v

RAW = (
    b"POST /search?q=velmora HTTP/1.1\r\n"
    b"Host: example.com\r\n"
    b"User-Agent: demo/1.0\r\n"
    b"Accept: text/html\r\n"
    b"Accept: */*\r\n"
    b"Content-Length: 5\r\n"
    b"\r\n"
    b"hello"
)


def main() -> None:
    print("velmora", v.__version__)
    codec = v.H1Codec()
    head = codec.receive_request_head(RAW)
    print("method:", head.method, " target:", head.target, " body:", head.body_kind,
          head.content_length)
    for name, value in head.headers.items():
        print(f"  {name}: {value.decode()}")
    print("accept values:", head.headers.get_all("ACCEPT"))

    reply = codec.serialize_response(200, v.HeaderMap([("Content-Type", "text/plain")]),
                                     content_length=2)
    print("response head:", reply.decode().splitlines())
    print("uri_parts:", v.uri_parts("https://user:pw@Example.com:8443/x"))


if __name__ == "__main__":
    main()
