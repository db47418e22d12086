"""An independent WebSocket echo server for the client's interoperation tests.

Listens on 127.0.0.1 on a free port, prints the port on one line, then echoes every text and binary
message until it is terminated. Run with Debian's /usr/bin/python3 (python3-websockets).

  ws_echo_server.py [--deflate [--server-max-window-bits N] [--no-context-takeover]]

--deflate accepts permessage-deflate (RFC 7692); --no-context-takeover asks for no context takeover
in both directions.
"""
import argparse
import asyncio
import sys

import websockets
from websockets.extensions.permessage_deflate import ServerPerMessageDeflateFactory


async def echo(websocket, path=None):
    async for message in websocket:
        await websocket.send(message)


async def main(args):
    options = dict(max_size=None, ping_interval=None)
    if args.deflate:
        options["extensions"] = [
            ServerPerMessageDeflateFactory(
                server_max_window_bits=args.server_max_window_bits,
                server_no_context_takeover=args.no_context_takeover,
                client_no_context_takeover=args.no_context_takeover,
            )
        ]
    else:
        options["compression"] = None
    async with websockets.serve(echo, "127.0.0.1", 0, **options) as server:
        port = server.sockets[0].getsockname()[1]
        print(port, flush=True)
        await asyncio.Future()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--deflate", action="store_true")
    parser.add_argument("--server-max-window-bits", type=int, default=None)
    parser.add_argument("--no-context-takeover", action="store_true")
    try:
        asyncio.run(main(parser.parse_args()))
    except KeyboardInterrupt:
        sys.exit(0)
