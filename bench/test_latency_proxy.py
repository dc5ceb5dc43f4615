"""Tests of latency_proxy.py: the delay mechanism and the data-connection rewrites.

Run: /usr/bin/python3 -m pytest bench/test_latency_proxy.py
"""

import asyncio
import contextlib
import ftplib
import os
import select
import socket
import socketserver
import subprocess
import sys
import threading
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import latency_proxy  # noqa: E402

SERVER = os.path.join(os.path.dirname(HERE), 'tests', 'servers', 'pyftpd_server.py')
PYTHON = '/usr/bin/python3'


@contextlib.contextmanager
def proxy_to(port, rtt):
    """A Proxy to 127.0.0.1:port, its event loop in a thread."""
    loop = latency_proxy.new_loop()
    proxy = latency_proxy.Proxy(rtt, '127.0.0.1', port)
    loop.run_until_complete(proxy.start())
    thread = threading.Thread(target=loop.run_forever, daemon=True)
    thread.start()
    try:
        yield proxy
    finally:
        asyncio.run_coroutine_threadsafe(proxy.close(), loop).result(10)
        loop.call_soon_threadsafe(loop.stop)
        thread.join(10)
        loop.close()


class Echo(socketserver.BaseRequestHandler):
    def handle(self):
        while True:
            data = self.request.recv(65536)
            if not data:
                return
            self.request.sendall(data)


@pytest.fixture
def echo_port():
    with socketserver.ThreadingTCPServer(('127.0.0.1', 0), Echo) as server:
        server.daemon_threads = True
        threading.Thread(target=server.serve_forever, kwargs={'poll_interval': 0.05},
                         daemon=True).start()
        yield server.server_address[1]
        server.shutdown()


def receive(sock, size):
    data = bytearray()
    while len(data) < size:
        piece = sock.recv(size - len(data))
        assert piece, 'connection closed early'
        data += piece
    return bytes(data)


def test_round_trips_take_one_rtt_and_the_first_one_the_handshake_too(echo_port):
    rtt = 0.1
    with proxy_to(echo_port, rtt) as proxy:
        start = time.monotonic()
        with socket.create_connection(('127.0.0.1', proxy.port)) as sock:
            times = []
            for _ in range(3):
                sock.sendall(b'ping\r\n')
                assert receive(sock, 6) == b'ping\r\n'
                times.append(time.monotonic() - start)
                start = time.monotonic()
    # Loose upper bounds: a check of the mechanism, not of the timer.
    assert 2 * rtt * 0.95 <= times[0] < 2 * rtt + 0.1
    for later in times[1:]:
        assert rtt * 0.95 <= later < rtt + 0.1


def test_bytes_pass_unchanged_both_ways(echo_port):
    # Random bytes: lines of every length, and some longer than a control
    # line may be.
    payload = os.urandom(1 << 20) + b'x' * (3 * latency_proxy.LINE_LIMIT) + b'\n'
    with proxy_to(echo_port, 0.01) as proxy:
        with socket.create_connection(('127.0.0.1', proxy.port)) as sock:
            sender = threading.Thread(target=sock.sendall, args=(payload,))
            sender.start()
            echoed = receive(sock, len(payload))
            sender.join()
    assert echoed == payload


@pytest.mark.parametrize('direction, line, target, rewritten', [
    ('client', b'PORT 127,0,0,1,4,1\r\n', ('127.0.0.1', 1025), b'PORT 127,0,0,1,35,40\r\n'),
    ('client', b'eprt |1|127.0.0.1|1025|\r\n', ('127.0.0.1', 1025), b'EPRT |1|127.0.0.1|9000|\r\n'),
    ('client', b'EPRT !2!::1!1025!\r\n', ('::1', 1025), b'EPRT |1|127.0.0.1|9000|\r\n'),
    ('client', b'RETR PORT 1,2,3,4,5,6\r\n', None, None),
    ('server', b'227 Entering Passive Mode (10,0,0,7,4,1).\r\n', ('10.0.0.7', 1025),
     b'227 Entering Passive Mode (127,0,0,1,35,40).\r\n'),
    ('server', b'229 Entering Extended Passive Mode (|||1025|)\r\n', ('127.0.0.5', 1025),
     b'229 Entering Extended Passive Mode (|||9000|)\r\n'),
    ('server', b'200 PORT command successful. Consider using PASV.\r\n', None, None),
    ('server', b'227-not the last line (1,2,3,4,5,6)\r\n', None, None),
])
def test_data_addresses_are_found_and_rewritten(direction, line, target, rewritten):
    if direction == 'client':
        assert latency_proxy.parse_command(line) == target
        rewrite = latency_proxy.command_naming
    else:
        assert latency_proxy.parse_reply(line, '127.0.0.5') == target
        rewrite = latency_proxy.reply_naming
    if rewritten is not None:
        assert rewrite(line, '127.0.0.1', 9000) == rewritten


@pytest.fixture(scope='module')
def ftp_server(tmp_path_factory):
    root = tmp_path_factory.mktemp('remote')
    body = os.urandom(16 << 20)
    (root / 'big.bin').write_bytes(body)
    proc = subprocess.Popen([PYTHON, SERVER, '--root', str(root)], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE)
    line = proc.stdout.readline().decode()
    assert line.startswith('PORT '), 'server did not start'
    yield int(line.split()[1]), body
    proc.stdin.close()
    proc.wait(timeout=10)
    proc.stdout.close()


@pytest.mark.parametrize('mode', ['PORT', 'EPRT', 'PASV', 'EPSV'])
def test_active_and_passive_transfers_pass_the_proxy(ftp_server, mode):
    port, body = ftp_server
    rtt = 0.2
    with proxy_to(port, rtt) as proxy:
        ftp = ftplib.FTP()
        ftp.connect('127.0.0.1', proxy.port, timeout=20)
        ftp.login()
        ftp.voidcmd('TYPE I')
        with contextlib.ExitStack() as stack:
            if mode in ('PORT', 'EPRT'):
                listener = stack.enter_context(socket.create_server(('127.0.0.1', 0)))
                send = ftp.sendport if mode == 'PORT' else ftp.sendeprt
                send('127.0.0.1', listener.getsockname()[1])
                # pyftpdlib connects before it answers PORT or EPRT; the
                # answer must not come before the connection (libcurl fails
                # on a reply that precedes the server's connection).
                assert select.select([listener], [], [], 0)[0]
                assert ftp.sendcmd('RETR big.bin')[:3] in ('125', '150')
                data = stack.enter_context(listener.accept()[0])
            else:
                reply = ftp.sendcmd(mode)
                address = ftplib.parse227(reply) if mode == 'PASV' else \
                    ftplib.parse229(reply, ('127.0.0.1', proxy.port))
                assert address[1] != port and address[0] == '127.0.0.1'
                data = stack.enter_context(socket.create_connection(address))
                assert ftp.sendcmd('RETR big.bin')[:3] in ('125', '150')
            received = bytearray(data.recv(1 << 20))
            first_byte = time.monotonic()
            while True:
                piece = data.recv(1 << 20)
                if not piece:
                    break
                received += piece
            streamed = time.monotonic() - first_byte
        ftp.voidresp()
        ftp.quit()
        kind = 'active' if mode in ('PORT', 'EPRT') else 'passive'
        assert dict(proxy.counts) == {'control': 1, kind: 1}
    assert bytes(received) == body
    # A pipe, not a sleep per piece: 16 MiB read in pieces of 256 KiB would
    # take 64 x RTT/2 = 6.4 s if every piece waited out the delay on its own.
    assert streamed < 2.0


if __name__ == '__main__':
    sys.exit(pytest.main([__file__]))
