"""A WebSocket echo application: ``velmora serve examples.ws_echo:app``.

Every text or binary message is sent back as it came; plain HTTP requests get a short page.
"""


async def app(scope, receive, send):
    if scope["type"] == "lifespan":
        return  # nothing to set up
    if scope["type"] == "http":
        await send({"type": "http.response.start", "status": 200,
                    "headers": [(b"content-type", b"text/plain")]})
        await send({"type": "http.response.body", "body": b"Connect with a WebSocket client.\n"})
        return
    await receive()  # websocket.connect
    await send({"type": "websocket.accept"})
    while True:
        message = await receive()
        if message["type"] == "websocket.disconnect":
            return
        if message.get("text") is not None:
            await send({"type": "websocket.send", "text": message["text"]})
        else:
            await send({"type": "websocket.send", "bytes": message["bytes"]})
