#!/usr/bin/python3
"""Scriptable misbehaving FTP server for the fault tests.

Usage:
  /usr/bin/python3 fault_ftpd.py --root DIR [--scenario FILE.json] [--log FILE]

Contract (same as pyftpd_server.py):
  * Listens on 127.0.0.1, on a port the kernel picks, and prints exactly
    "PORT <n>\\n" on stdout (flushed) once connections are accepted.
  * Serves until SIGTERM or SIGINT arrives, or until its stdin reaches EOF,
    then closes every session and exits 0.
  * Without faults it is a small, well-behaved read-only server of DIR: any
    USER/PASS logs in; PWD, CWD, TYPE, EPRT, PORT, SIZE, MDTM (502), MLSD,
    LIST, NLST, RETR, FEAT, OPTS, NOOP, QUIT. Active mode only (the server
    connects to the address EPRT/PORT named); PASV and EPSV answer 500.
    Names are raw bytes, served exactly as stored on disk.
  * --log FILE: pyftpd_server.py's format, one flushed line each:
    "<session> <COMMAND> <args>" per command received (PASS masked),
    "<session> LOGIN <user>" per login, and "<session> FAULT <name>" each
    time a fault fires, so a test can wait for the moment it matters.

Scenario file (JSON object):
  "mlsd": false        MLSD/MLST answer 500 and FEAT omits MLST (vsftpd-like)
  "eprt": false        EPRT answers 500, so the client falls back to PORT
  "faults": [...]      each a dict; the first one matching a command fires:
     "on":    "CONNECT" | "PASS" | "LISTING" (MLSD, LIST or NLST) | "RETR" | "SIZE"
     "path":  only for this absolute remote path (the directory listed, the
              file retrieved); any path when left out
     "times": fire at most this many times (default: always)
     "name":  label for the FAULT log line (default: the "do" value)
     "do":    what happens instead of the normal answer:
       "reply"      send "reply" (a whole reply line, e.g. "421 Go away")
                    instead of the normal answer; "close": true then drops
                    the control connection (the default on CONNECT only)
       "cut"        send the first "at" (fraction, default 1/3) of the data,
                    close the data connection, then "then": "426" | "226" |
                    "silent" (no reply, control stays open) | "close" (drop
                    the control connection too)
       "stall"      send the first "at" (default 1/3) of the data, then nothing
                    more, neither data nor reply, until the client goes away
                    (on CONNECT: not even the greeting)
       "drop_control"  send the first "at" (default 1/3) of the data, then
                    close the control connection, and the data connection
                    0.2 s later, without a reply
       "no_connect" accept EPRT/PORT as usual but never connect back; sends
                    "reply" first when given (e.g. "150 Here it comes")
       "body"       a listing whose bytes are the file "body_file"
       "size"       RETR/SIZE: tell "announce" bytes in SIZE and 150 (or
                    answer SIZE with "size_reply", e.g. "502 No SIZE"), send
                    "send" bytes (the file's bytes, cut or padded with '#')
       "hold"       wait until the file "until" exists (at most "max" s,
                    default 30), then serve normally
       "throttle"   send the data at "rate" bytes per second
"""

import argparse
import itertools
import json
import os
import signal
import socket
import stat
import sys
import threading
import time

from lifetime import watch_stdin

# Commands and names are bytes on the wire; surrogateescape keeps undecodable
# bytes intact through str (the same convention as pyftpd_server.py).
_RAW = 'surrogateescape'
CHUNK = 64 * 1024
MONTHS = [b'Jan', b'Feb', b'Mar', b'Apr', b'May', b'Jun', b'Jul', b'Aug',
          b'Sep', b'Oct', b'Nov', b'Dec']


class CommandLog:
    def __init__(self, path):
        self._file = open(path, 'ab', buffering=0) if path else None
        self._lock = threading.Lock()

    def write(self, session_id, word, rest=b''):
        if self._file is None:
            return
        line = b'%d %s' % (session_id, word.encode('ascii', 'replace'))
        if rest:
            line += b' ' + rest
        line = line.replace(b'\r', b'\\r').replace(b'\n', b'\\n')
        with self._lock:
            self._file.write(line + b'\n')


class Scenario:
    def __init__(self, data):
        self.mlsd = data.get('mlsd', True)
        self.eprt = data.get('eprt', True)
        self._faults = [dict(f) for f in data.get('faults', [])]
        for fault in self._faults:
            if fault.get('on') not in ('CONNECT', 'PASS', 'LISTING', 'RETR', 'SIZE'):
                raise ValueError('fault needs "on": %r' % (fault,))
            if 'path' in fault:
                fault['path'] = fault['path'].encode('utf8', _RAW)
            fault['fired'] = 0
        self._lock = threading.Lock()

    def match(self, on, path=None):
        """The fault for this event, counted as fired; None when none."""
        with self._lock:
            for fault in self._faults:
                if fault['on'] != on:
                    continue
                if 'path' in fault and fault['path'] != path:
                    continue
                if 'times' in fault and fault['fired'] >= fault['times']:
                    continue
                fault['fired'] += 1
                return fault
        return None


def normalize(path):
    """An absolute remote path without '.', '..' or doubled slashes."""
    parts = []
    for part in path.split(b'/'):
        if part in (b'', b'.'):
            continue
        if part == b'..':
            if parts:
                parts.pop()
        else:
            parts.append(part)
    return b'/' + b'/'.join(parts)


def list_line(name, st):
    mode = b'drwxr-xr-x' if stat.S_ISDIR(st.st_mode) else b'-rw-r--r--'
    t = time.gmtime(st.st_mtime)
    return b'%s    1 0        0    %12d %s %02d %02d:%02d %s\r\n' % (
        mode, st.st_size, MONTHS[t.tm_mon - 1], t.tm_mday, t.tm_hour, t.tm_min, name)


def mlsd_line(name, st):
    kind = b'dir' if stat.S_ISDIR(st.st_mode) else b'file'
    modify = time.strftime('%Y%m%d%H%M%S', time.gmtime(st.st_mtime)).encode()
    return b'modify=%s;size=%d;type=%s; %s\r\n' % (modify, st.st_size, kind, name)


class Session(threading.Thread):
    ids = itertools.count(1)

    def __init__(self, server, conn):
        super().__init__(daemon=True)
        self.server = server
        self.conn = conn
        self.id = next(Session.ids)
        self.cwd = b'/'
        self.user = None
        self.logged_in = False
        self.data_addr = None
        self.buffer = b''

    # -- plumbing

    def send(self, line):
        if isinstance(line, str):
            line = line.encode('utf8', _RAW)
        self.conn.sendall(line + b'\r\n')

    def read_line(self):
        while b'\n' not in self.buffer:
            chunk = self.conn.recv(4096)
            if not chunk:
                return None
            self.buffer += chunk
        line, _, self.buffer = self.buffer.partition(b'\n')
        return line[:-1] if line.endswith(b'\r') else line

    def log(self, word, rest=b''):
        self.server.log.write(self.id, word, rest)

    def fired(self, fault):
        self.log('FAULT', fault.get('name', fault['do']).encode('utf8', _RAW))

    def local(self, remote):
        return os.path.join(self.server.root, remote.lstrip(b'/'))

    def remote(self, arg):
        return normalize(arg if arg.startswith(b'/') else self.cwd + b'/' + arg)

    def wait_for_client_to_leave(self):
        """Blocks until the client closes the control connection (or the
        server stops), reading and ignoring whatever it sends meanwhile."""
        try:
            while self.conn.recv(4096):
                pass
        except OSError:
            pass

    # -- the session

    def run(self):
        try:
            self.serve()
        except (OSError, ConnectionError):
            pass
        finally:
            self.server.forget(self)
            try:
                self.conn.close()
            except OSError:
                pass

    def serve(self):
        fault = self.server.scenario.match('CONNECT')
        if fault:
            self.fired(fault)
            if fault['do'] == 'reply':
                self.send(fault['reply'])
                if fault.get('close', True):
                    return
            elif fault['do'] == 'stall':
                self.wait_for_client_to_leave()
                return
        else:
            self.send('220 fault_ftpd ready.')
        while True:
            line = self.read_line()
            if line is None:
                return
            word, _, arg = line.partition(b' ')
            word = word.decode('ascii', 'replace').upper()
            self.log(word, b'******' if word == 'PASS' and arg else arg)
            if not self.dispatch(word, arg):
                return

    def dispatch(self, word, arg):
        """Answers one command; False when the session is over."""
        if word == 'QUIT':
            self.send('221 Bye.')
            return False
        if word == 'USER':
            self.user = arg
            self.logged_in = False
            self.send('331 Password required.')
            return True
        if word == 'PASS':
            fault = self.server.scenario.match('PASS')
            if fault:
                self.fired(fault)
                self.send(fault['reply'])
                return not fault.get('close', False)
            if self.user is None:
                self.send('503 Login with USER first.')
                return True
            self.logged_in = True
            self.log('LOGIN', self.user)
            self.send('230 Logged in.')
            return True
        if word in ('FEAT',):
            features = [' EPRT', ' SIZE', ' MDTM', ' UTF8']
            if self.server.scenario.mlsd:
                features.append(' MLST type*;size*;modify*;')
            self.conn.sendall(('211-Features:\r\n%s\r\n211 End\r\n'
                               % '\r\n'.join(features)).encode())
            return True
        if word == 'OPTS':
            self.send('200 OK.')
            return True
        if word == 'NOOP':
            self.send('200 NOOP ok.')
            return True
        if not self.logged_in:
            self.send('530 Log in with USER and PASS first.')
            return True
        handler = getattr(self, 'cmd_' + word, None)
        if handler is None:
            self.send('500 Command "%s" not understood.' % word)
            return True
        return handler(arg) is not False

    # -- commands

    def cmd_SYST(self, arg):
        self.send('215 UNIX Type: L8')

    def cmd_PWD(self, arg):
        self.send(b'257 "' + self.cwd.replace(b'"', b'""') + b'" is the current directory.')

    def cmd_CWD(self, arg):
        target = self.remote(arg)
        if os.path.isdir(self.local(target)):
            self.cwd = target
            self.send('250 Directory changed.')
        else:
            self.send('550 No such directory.')

    def cmd_CDUP(self, arg):
        return self.cmd_CWD(b'..')

    def cmd_TYPE(self, arg):
        self.send('200 Type set.')

    def cmd_MDTM(self, arg):
        self.send('502 MDTM not implemented.')

    def cmd_PASV(self, arg):
        self.send('500 Active mode only.')

    cmd_EPSV = cmd_PASV

    def cmd_EPRT(self, arg):
        if not self.server.scenario.eprt:
            self.send('500 EPRT not understood.')
            return
        try:
            delimiter = arg[:1]
            _, proto, host, port, _ = arg.split(delimiter)
            self.data_addr = (host.decode('ascii'), int(port))
            if proto not in (b'1', b'2'):
                raise ValueError(proto)
        except ValueError:
            self.send('501 Bad EPRT.')
            return
        self.send('200 EPRT ok.')

    def cmd_PORT(self, arg):
        try:
            numbers = [int(n) for n in arg.split(b',')]
            if len(numbers) != 6 or not all(0 <= n <= 255 for n in numbers):
                raise ValueError(arg)
        except ValueError:
            self.send('501 Bad PORT.')
            return
        self.data_addr = ('%d.%d.%d.%d' % tuple(numbers[:4]), numbers[4] * 256 + numbers[5])
        self.send('200 PORT ok.')

    def cmd_SIZE(self, arg):
        path = self.remote(arg)
        fault = self.server.scenario.match('SIZE', path) or self.retr_fault_for_size(path)
        if fault and fault['do'] == 'size':
            self.fired(fault)
            if 'size_reply' in fault:
                self.send(fault['size_reply'])
            else:
                self.send('213 %d' % fault['announce'])
            return
        if fault and fault['do'] == 'reply':
            self.fired(fault)
            self.send(fault['reply'])
            return
        local = self.local(path)
        if os.path.isfile(local):
            self.send('213 %d' % os.path.getsize(local))
        else:
            self.send('550 Not a plain file.')

    def retr_fault_for_size(self, path):
        # A "size" fault on RETR also shapes the SIZE answer that precedes it;
        # peeked without counting, the RETR counts it.
        for fault in self.server.scenario._faults:
            if (fault['on'] == 'RETR' and fault['do'] == 'size'
                    and fault.get('path', path) == path
                    and fault['fired'] < fault.get('times', float('inf'))):
                return fault
        return None

    def cmd_MLSD(self, arg):
        if not self.server.scenario.mlsd:
            self.send('500 Command "MLSD" not understood.')
            return
        return self.listing(arg, mlsd_line)

    def cmd_MLST(self, arg):
        self.send('500 Command "MLST" not understood.')

    def cmd_LIST(self, arg):
        # "LIST -a" and friends: options are not paths.
        if arg.startswith(b'-'):
            arg = b''
        return self.listing(arg, list_line)

    def cmd_NLST(self, arg):
        return self.listing(arg, lambda name, st: name + b'\r\n')

    def listing(self, arg, format_line):
        path = self.remote(arg)
        directory = self.local(path)
        if not os.path.isdir(directory):
            self.send('550 No such directory.')
            return
        fault = self.server.scenario.match('LISTING', path)
        if fault and fault['do'] == 'body':
            with open(fault['body_file'], 'rb') as f:
                body = f.read()
        else:
            body = b''
            for name in sorted(os.listdir(directory)):
                try:
                    st = os.stat(os.path.join(directory, name))
                except OSError:
                    continue
                body += format_line(name, st)
        return self.transfer(body, fault, 'Here comes the directory listing.')

    def cmd_RETR(self, arg):
        path = self.remote(arg)
        local = self.local(path)
        if not os.path.isfile(local):
            self.send('550 No such file.')
            return
        with open(local, 'rb') as f:
            data = f.read()
        fault = self.server.scenario.match('RETR', path)
        announce = len(data)
        if fault and fault['do'] == 'size':
            announce = fault.get('announce', len(data))
            send = fault.get('send', len(data))
            data = data[:send] + b'#' * max(0, send - len(data))
        return self.transfer(data, fault, 'Opening BINARY mode data connection for %s (%d bytes).'
                             % (os.path.basename(path).decode('utf8', _RAW), announce))

    # -- the data connection

    def transfer(self, data, fault, opening):
        """Sends `data` over a new active-mode data connection, shaped by
        `fault`. False when the session is over."""
        do = fault['do'] if fault else None
        if fault:
            self.fired(fault)
        if self.data_addr is None:
            self.send('425 Use PORT or EPRT first.')
            return True
        if do == 'reply':
            self.send(fault['reply'])
            return not fault.get('close', False)
        if do == 'no_connect':
            if 'reply' in fault:
                self.send(fault['reply'])
            self.wait_for_client_to_leave()
            return False
        if do == 'hold':
            deadline = time.monotonic() + fault.get('max', 30)
            while not os.path.exists(fault['until']) and time.monotonic() < deadline:
                time.sleep(0.02)
        try:
            data_conn = socket.create_connection(self.data_addr, timeout=10)
        except OSError:
            self.send('425 Cannot open data connection.')
            return True
        self.data_addr = None
        data_conn.settimeout(None)
        try:
            self.send('150 ' + opening)
            cut = len(data)
            if do in ('cut', 'stall', 'drop_control'):
                cut = int(len(data) * fault.get('at', 1.0 / 3))
            if do == 'throttle':
                self.throttled(data_conn, data, fault['rate'])
            else:
                data_conn.sendall(data[:cut])
            if do == 'stall':
                self.wait_for_client_to_leave()
                return False
            if do == 'drop_control':
                # The control connection goes first, while the data
                # connection is still open mid-transfer.
                self.conn.close()
                time.sleep(0.2)
                return False
        finally:
            data_conn.close()
        if do == 'cut':
            then = fault.get('then', '426')
            if then == '426':
                self.send('426 Connection closed; transfer aborted.')
            elif then == '226':
                self.send('226 Transfer complete.')
            elif then == 'silent':
                self.wait_for_client_to_leave()
                return False
            elif then == 'close':
                return False
            return True
        self.send('226 Transfer complete.')
        return True

    def throttled(self, data_conn, data, rate):
        step = max(1, rate // 20)
        for begin in range(0, len(data), step):
            data_conn.sendall(data[begin:begin + step])
            time.sleep(0.05)


class Server:
    def __init__(self, root, scenario, log):
        self.root = os.fsencode(os.path.realpath(root))
        self.scenario = scenario
        self.log = log
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(('127.0.0.1', 0))
        self.listener.listen(64)
        self.port = self.listener.getsockname()[1]
        self._sessions = set()
        self._lock = threading.Lock()

    def accept_loop(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            session = Session(self, conn)
            with self._lock:
                self._sessions.add(session)
            session.start()

    def forget(self, session):
        with self._lock:
            self._sessions.discard(session)

    def close(self):
        try:
            self.listener.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.listener.close()
        with self._lock:
            sessions = list(self._sessions)
        for session in sessions:
            try:
                session.conn.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--root', required=True)
    parser.add_argument('--scenario')
    parser.add_argument('--log')
    args = parser.parse_args(argv)
    if not os.path.isdir(args.root):
        parser.error('--root %r is not a directory' % args.root)
    scenario = {}
    if args.scenario:
        with open(args.scenario) as f:
            scenario = json.load(f)
    server = Server(args.root, Scenario(scenario), CommandLog(args.log))

    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    sys.stdout.write('PORT %d\n' % server.port)
    sys.stdout.flush()
    threading.Thread(target=server.accept_loop, daemon=True).start()
    threading.Thread(target=watch_stdin, args=(stop,), daemon=True).start()
    while not stop.wait(0.1):
        pass
    server.close()
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
