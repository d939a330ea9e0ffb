"""The smallest ASGI application: answers every request with "Hello, world!".

    velmora serve examples.hello:app
    curl --http1.1 http://127.0.0.1:8000/
"""

BODY = b"Hello, world!"
HEADERS = [(b"content-type", b"text/plain"), (b"content-length", b"13")]


async def app(scope, receive, send):
    if scope["type"] != "http":
        return  # lifespan: nothing to set up
    await send({"type": "http.response.start", "status": 200, "headers": HEADERS})
    await send({"type": "http.response.body", "body": BODY})
