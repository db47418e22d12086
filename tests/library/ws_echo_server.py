"""An independent WebSocket echo server for the client's interoperation tests.

Listens on 127.0.0.1 on a free port, prints the port on one line, then echoes every text and binary
message until it is terminated. Run with Debian's /usr/bin/python3 (python3-websockets).
"""
import asyncio
import sys

import websockets


async def echo(websocket, path=None):
    async for message in websocket:
        await websocket.send(message)


async def main():
    async with websockets.serve(echo, "127.0.0.1", 0, max_size=None, compression=None,
                                ping_interval=None) as server:
        port = server.sockets[0].getsockname()[1]
        print(port, flush=True)
        await asyncio.Future()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
