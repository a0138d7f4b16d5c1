#!/usr/bin/env python3
"""A TCP forwarder on 127.0.0.1 that makes a loopback server look a round trip away.

Usage: delay_relay.py TARGET_PORT RTT_MS
Prints its own port on the first line of standard output and ends when standard input closes.

Each accepted connection is held for one round trip before it is passed on (the TCP handshake
over the slow link), and every chunk is held for half a round trip in the direction it travels,
so a request and its answer cost one round trip as they would on the real link. Chunks keep
their order; the link's bandwidth is not limited.
"""
import asyncio
import os
import socket
import sys


async def pipe(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def receive():
        while True:
            data = await reader.read(65536)
            await queue.put((loop.time() + delay, data))
            if not data:
                return

    async def send():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()

    try:
        await asyncio.gather(receive(), send())
    except (ConnectionError, OSError):
        writer.close()


def no_delay(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def main():
    target_port = int(sys.argv[1])
    rtt = float(sys.argv[2]) / 1000

    async def serve(client_reader, client_writer):
        await asyncio.sleep(rtt)
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        no_delay(client_writer)
        no_delay(server_writer)
        await asyncio.gather(pipe(client_reader, server_writer, rtt / 2),
                             pipe(server_reader, client_writer, rtt / 2))
        client_writer.close()
        server_writer.close()

    relay = await asyncio.start_server(serve, "127.0.0.1", 0)
    print(relay.sockets[0].getsockname()[1], flush=True)
    loop = asyncio.get_running_loop()
    # Ends when the bench closes standard input, so it never outlives the bench.
    await loop.run_in_executor(None, sys.stdin.read)
    # Open connections would only be cancelled mid-transfer; nothing is left to finish.
    os._exit(0)


if __name__ == "__main__":
    asyncio.run(main())
