"""A first look at velmora's core: parse a request head, inspect headers, split a URL."""

from velmora import _velmora as v

RAW = (
    b"GET /search?q=velmora HTTP/1.1\r\n"
    b"Host: example.com\r\n"
    b"User-Agent: demo/1.0\r\n"
    b"Accept: text/html\r\n"
    b"Accept: */*\r\n"
    b"\r\n"
)


def parse_with_codec() -> bool:
    codec_cls = getattr(v, "H1Codec", None)
    if codec_cls is None:
        return False
    codec = codec_cls()
    head = codec.parse_request(RAW)
    print("method:", head.method, "target:", head.target)
    for name, value in head.headers.items():
        print(f"  {name}: {value.decode()}")
    return True


def main() -> None:
    print("velmora", v.__version__)
    if not parse_with_codec():
        head, _, _ = RAW.partition(b"\r\n\r\n")
        request_line, *lines = head.split(b"\r\n")
        headers = v.HeaderMap([tuple(line.split(b": ", 1)) for line in lines])
        print("request line:", request_line.decode())
        for name, value in headers.items():
            print(f"  {name}: {value.decode()}")
    print("accept values:", v.HeaderMap([("Accept", "text/html"), ("accept", "*/*")]).get_all("ACCEPT"))
    print("uri_parts:", v.uri_parts("https://user:pw@Example.com:8443/x"))
    print("Date:", v.http_date().decode())


if __name__ == "__main__":
    main()
