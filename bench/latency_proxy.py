#!/usr/bin/python3
"""A TCP proxy that puts a round-trip time between an FTP client and server.

Usage:
  /usr/bin/python3 latency_proxy.py --rtt-ms MS --port SERVER_PORT [--host SERVER_HOST]

Listens on 127.0.0.1 on a port the kernel picks, prints "PORT <n>" (flushed)
once it accepts, and carries every connection to the server's control port
until its stdin reaches EOF (start it with stdin=PIPE) or SIGTERM arrives.

The path it models:
  * Each direction of each connection is a pipe with a one-way delay of RTT/2:
    bytes read at t are written at t + RTT/2, whatever else is in flight. The
    delay costs latency, never throughput; only WINDOW bounds what one
    direction holds.
  * The far side of a connection is connected 1.5 RTT after the near side was
    accepted: on a real path the accepting end sees the handshake's last ACK
    1.5 RTT after the SYN left. A server's greeting thus reaches the client
    2 RTT after its connect(), and a client's first bytes reach the server
    1.5 RTT after it, as on a real path. Here connect() itself returns at once,
    so what the connector of a data connection sends on its control connection
    after connecting is held until the far side is connected (see Pipe.hold).
  * Data connections pass through it as well. A client's PORT or EPRT is
    rewritten to name a one-shot listener of the proxy, which carries the
    server's connection on to the client's address; a server's 227 or 229
    reply is rewritten the same way for the client's connection to the
    server's passive port.
Not modelled: bandwidth, loss, TCP's window and slow start.
"""

import argparse
import asyncio
import collections
import os
import re
import selectors
import signal
import sys

READ_SIZE = 256 * 1024
# Bytes one direction holds before it stops reading from its sender. At an
# RTT of 50 ms this still allows 1.3 GiB/s, more than the proxy forwards: it
# bounds the proxy's memory and never sets a transfer's pace.
WINDOW = 32 * 1024 * 1024
# Longest control line taken as a line; anything longer passes in pieces.
LINE_LIMIT = 64 * 1024

END = b''  # a pipe item: the sender closed its side
RESET = None  # a pipe item: the sender's connection broke

HOST_PORT = re.compile(r'(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)')
EPSV_PORT = re.compile(r'\((.)\1\1(\d+)\1\)')


def host_port_text(host, port):
    return ','.join(host.split('.') + [str(port >> 8), str(port & 255)])


def parse_command(line):
    """(host, port) a client's PORT or EPRT line names, else None."""
    verb, _, arg = line.decode('latin-1').strip().partition(' ')
    verb = verb.upper()
    if verb == 'PORT':
        match = HOST_PORT.fullmatch(arg.strip())
        if match:
            n = [int(x) for x in match.groups()]
            return '.'.join(map(str, n[:4])), n[4] * 256 + n[5]
    elif verb == 'EPRT' and arg:
        fields = arg.split(arg[0])  # |1|host|port|
        if len(fields) == 5 and fields[3].isdigit():
            return fields[2], int(fields[3])
    return None


def command_naming(line, host, port):
    """The client's PORT or EPRT line, naming host:port instead."""
    if line[:4].upper() == b'PORT':
        return ('PORT %s\r\n' % host_port_text(host, port)).encode()
    return ('EPRT |1|%s|%d|\r\n' % (host, port)).encode()


def parse_reply(line, server_host):
    """(host, port) a server's 227 or 229 reply names, else None. A 229
    names only a port, on the host of the control connection."""
    text = line.decode('latin-1')
    if text.startswith('227 '):
        match = HOST_PORT.search(text)
        if match:
            n = [int(x) for x in match.groups()]
            return '.'.join(map(str, n[:4])), n[4] * 256 + n[5]
    elif text.startswith('229 '):
        match = EPSV_PORT.search(text)
        if match:
            return server_host, int(match.group(2))
    return None


def reply_naming(line, host, port):
    """The server's 227 or 229 reply, naming host:port instead."""
    text = line.decode('latin-1')
    if text.startswith('227 '):
        text = HOST_PORT.sub(host_port_text(host, port), text, count=1)
    else:
        text = EPSV_PORT.sub(lambda m: '(%s%d%s)' % (m.group(1) * 3, port, m.group(1)), text,
                             count=1)
    return text.encode('latin-1')


class Pipe:
    """One direction of a connection: what is read at t is written at t + delay."""

    def __init__(self, delay, rewrite=None):
        self.delay = delay
        self.rewrite = rewrite  # async (line) -> line, for a control connection
        self.items = collections.deque()  # (read at, bytes or END or RESET, gate)
        self.held = 0
        self.gate = None  # see hold()
        self.arrived = asyncio.Event()
        self.room = asyncio.Event()

    def put(self, data, read_at):
        self.items.append((read_at, data, self.gate))
        if data:
            self.held += len(data)
        self.arrived.set()

    def hold(self, gate, since):
        """Items read from `since` on are written no earlier than `gate` is
        done: the handshake of a data connection whose connector sends them.

        On a real path the connector writes only once its connect() has
        returned, so the peer sees the connection before those bytes (libcurl
        in active mode fails on a 150 reply that comes before the server's
        connection). Here the connector's connect() returns at once.
        """
        self.gate = gate
        self.items = collections.deque((read_at, data, gate if read_at >= since else held)
                                       for read_at, data, held in self.items)

    async def receive(self, reader):
        """Reads until EOF."""
        loop = asyncio.get_running_loop()
        try:
            while True:
                if self.rewrite:
                    data = await read_line(reader)
                else:
                    data = await reader.read(READ_SIZE)
                read_at = loop.time()
                if data and self.rewrite:
                    data = await self.rewrite(data)
                self.put(data, read_at)
                if not data:
                    return
                while self.held > WINDOW:
                    self.room.clear()
                    await self.room.wait()
        except (ConnectionError, OSError):
            self.put(RESET, loop.time())

    async def deliver(self, writer):
        """Writes each item when it is due, until the end or a reset."""
        loop = asyncio.get_running_loop()
        while True:
            while not self.items:
                self.arrived.clear()
                await self.arrived.wait()
            wait = self.items[0][0] + self.delay - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            gate = self.items[0][2]  # hold() may have set it meanwhile
            if gate is not None:
                await asyncio.shield(gate)  # other items wait for it too
            _, data, _ = self.items.popleft()
            if data is RESET:
                writer.transport.abort()
                return
            if data is END:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()
            self.held -= len(data)
            if self.held <= WINDOW:
                self.room.set()


async def read_line(reader):
    """The next control line with its LF, a piece of an overlong one, or b''
    at EOF."""
    try:
        return await reader.readuntil(b'\n')
    except asyncio.IncompleteReadError as end:
        return end.partial
    except asyncio.LimitOverrunError as long_line:
        return await reader.read(max(long_line.consumed, 1))


class Proxy:
    """The listener for control connections and everything they lead to."""

    def __init__(self, rtt, server_host, server_port, host='127.0.0.1'):
        self.delay = rtt / 2.0
        self.server = (server_host, server_port)
        self.host = host
        self.port = None
        self.listener = None
        self.tasks = set()
        self.counts = collections.Counter()  # connections carried: control, active, passive

    async def start(self):
        self.listener = await asyncio.start_server(
            lambda reader, writer: self.spawn(self.control(reader, writer)), self.host, 0,
            limit=LINE_LIMIT)
        self.port = self.listener.sockets[0].getsockname()[1]

    async def close(self):
        if self.listener:
            self.listener.close()
        while self.tasks:
            tasks = list(self.tasks)
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)

    def spawn(self, coroutine):
        task = asyncio.get_running_loop().create_task(coroutine)
        self.tasks.add(task)
        task.add_done_callback(self.tasks.discard)
        return task

    async def control(self, reader, writer):
        self.counts['control'] += 1
        loop = asyncio.get_running_loop()
        pending = []  # data listeners of this session not yet connected to

        def close_pending():
            while pending:
                pending.pop().close()

        async def data_listener(kind, far):
            # A new PORT, EPRT, 227 or 229 replaces any earlier one the
            # other side never connected to (a command the server refused).
            close_pending()
            listener = None
            opened = loop.time()

            def accepted(near_reader, near_writer):
                listener.close()
                self.counts[kind] += 1
                handshake = loop.create_future()
                # What the connector (the server in active mode, the client in
                # passive mode) sent after connecting may have been taken in
                # before its connection was: hold all it sent since the
                # address went out. Anything it sent earlier that is still
                # queued would be the answer to a command sent in the same
                # round trip, which FTP clients do not do.
                (down if kind == 'active' else up).hold(handshake, opened)
                self.spawn(self.splice(near_reader, near_writer,
                                       lambda: asyncio.open_connection(*far, limit=READ_SIZE),
                                       Pipe(self.delay), Pipe(self.delay), handshake))
            listener = await asyncio.start_server(accepted, self.host, 0, limit=READ_SIZE)
            pending.append(listener)
            return listener.sockets[0].getsockname()[1]

        async def from_client(line):
            target = parse_command(line)
            if target is None:
                return line
            return command_naming(line, self.host, await data_listener('active', target))

        async def from_server(line):
            target = parse_reply(line, self.server[0])
            if target is None:
                return line
            return reply_naming(line, self.host, await data_listener('passive', target))

        up, down = Pipe(self.delay, from_client), Pipe(self.delay, from_server)
        try:
            await self.splice(reader, writer,
                              lambda: asyncio.open_connection(*self.server, limit=LINE_LIMIT),
                              up, down)
        finally:
            close_pending()

    async def splice(self, near_reader, near_writer, connect_far, up, down, handshake=None):
        """Carries an accepted connection to the far side: up from the near
        side, down from the far one. handshake is done once the far side is
        connected to (or could not be)."""
        tasks = [self.spawn(up.receive(near_reader))]
        try:
            await asyncio.sleep(3 * self.delay)  # 1.5 RTT: SYN, SYN-ACK, ACK
            try:
                far_reader, far_writer = await connect_far()
            except OSError:
                near_writer.transport.abort()
                return
            finally:
                if handshake and not handshake.done():
                    handshake.set_result(None)
            try:
                tasks += [self.spawn(down.receive(far_reader)),
                          self.spawn(up.deliver(far_writer)),
                          self.spawn(down.deliver(near_writer))]
                try:
                    await asyncio.gather(tasks[2], tasks[3])
                except (ConnectionError, OSError):
                    # A side that cannot take bytes any more: both go, as a
                    # reset would take them on a real path.
                    near_writer.transport.abort()
                    far_writer.transport.abort()
            finally:
                far_writer.close()
        finally:
            if handshake and not handshake.done():
                handshake.set_result(None)
            for task in tasks:
                task.cancel()
            near_writer.close()


def new_loop():
    # select() takes its timeout in microseconds; epoll and poll round it up
    # to a whole millisecond, which would add up to 1 ms to every delay (10%
    # of a 10 ms RTT). select() handles descriptors below 1024 only, far more
    # than a benchmark run keeps open.
    return asyncio.SelectorEventLoop(selectors.SelectSelector())


async def serve(args):
    proxy = Proxy(args.rtt_ms / 1000.0, args.host, args.port)
    await proxy.start()
    sys.stdout.write('PORT %d\n' % proxy.port)
    sys.stdout.flush()
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stop.set)
    loop.add_signal_handler(signal.SIGINT, stop.set)

    def stdin_readable():
        if not os.read(sys.stdin.fileno(), 4096):
            loop.remove_reader(sys.stdin.fileno())
            stop.set()
    loop.add_reader(sys.stdin.fileno(), stdin_readable)
    await stop.wait()
    await proxy.close()


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--rtt-ms', type=float, required=True)
    parser.add_argument('--port', type=int, required=True, help="the server's control port")
    parser.add_argument('--host', default='127.0.0.1', help="the server's address")
    args = parser.parse_args(argv)
    loop = new_loop()
    try:
        loop.run_until_complete(serve(args))
    finally:
        loop.close()
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
