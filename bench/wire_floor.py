#!/usr/bin/python3
"""The wire floor of a rerun: the least a client can send to walk a tree.

Usage:
  /usr/bin/python3 wire_floor.py HOST PORT REMOTE_DIR

Logs in anonymously and lists every directory of the tree depth-first with
the fewest round trips active mode allows (TYPE A once, then per directory
CWD, EPRT, LIST and the data connection), fetching nothing and touching no
local file. Prints "LOGIN_MS WALK_MS DIRS": the time from connect to the
login reply, and from there to the QUIT reply, measured in process (the
interpreter's start is not counted).
"""

import socket
import sys
import time


class Control:
    def __init__(self, host, port):
        self.sock = socket.create_connection((host, port))
        self.file = self.sock.makefile('rb')

    def reply(self):
        line = self.file.readline()
        code = line[:3]
        if line[3:4] == b'-':  # multi-line reply: up to "CODE " again
            while not (line[:3] == code and line[3:4] == b' '):
                line = self.file.readline()
                if not line:
                    break
        if not line:
            raise RuntimeError('connection closed')
        return int(code)

    def send(self, text, *expected):
        self.sock.sendall(text.encode('latin-1') + b'\r\n')
        code = self.reply()
        if expected and code not in expected:
            raise RuntimeError('%s: %d' % (text.split()[0], code))
        return code


def directories_in(listing):
    for line in listing.decode('latin-1').splitlines():
        fields = line.split(None, 8)
        if len(fields) == 9 and fields[0].startswith('d') and fields[8] not in ('.', '..'):
            yield fields[8]


def walk(host, port, root):
    start = time.perf_counter()
    control = Control(host, port)
    control.reply()
    control.send('USER anonymous', 230, 331)
    logged_in = time.perf_counter()
    control.send('TYPE A', 200)
    pending = [root]
    count = 0
    while pending:
        directory = pending.pop()
        count += 1
        control.send('CWD ' + directory, 250)
        with socket.socket() as listener:
            listener.bind((host, 0))
            listener.listen(1)
            control.send('EPRT |1|%s|%d|' % (host, listener.getsockname()[1]), 200)
            control.send('LIST', 125, 150)
            data, _ = listener.accept()
            with data:
                chunks = []
                while True:
                    chunk = data.recv(65536)
                    if not chunk:
                        break
                    chunks.append(chunk)
        if control.reply() != 226:
            raise RuntimeError('LIST did not complete')
        # Depth-first, in listing order, like the tool.
        below = [directory.rstrip('/') + '/' + name for name in directories_in(b''.join(chunks))]
        pending.extend(reversed(below))
    control.send('QUIT')
    done = time.perf_counter()
    return (logged_in - start) * 1000, (done - logged_in) * 1000, count


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    login_ms, walk_ms, count = walk(argv[0], int(argv[1]), argv[2])
    print('%.3f %.3f %d' % (login_ms, walk_ms, count))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
