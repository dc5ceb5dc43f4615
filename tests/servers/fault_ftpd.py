#!/usr/bin/python3
"""Scriptable misbehaving FTP server for the fault tests.

Usage:
  python3 fault_ftpd.py --root DIR [--scenario FILE.json] [--log FILE]

Contract (same as pyftpd_server.py):
  * Listens on 127.0.0.1, on a port the kernel picks, and prints exactly
    "PORT <n>\\n" on stdout (flushed) once connections are accepted.
  * Serves until SIGTERM or SIGINT arrives, or until its stdin reaches EOF,
    then closes every session and exits 0.
  * Without faults it is a small, well-behaved read-only server of DIR: any
    USER/PASS logs in; PWD, CWD, CDUP, TYPE, EPRT, PORT, PASV, EPSV, REST,
    SIZE, MDTM (502), MLST, MLSD, LIST, NLST, RETR, FEAT, OPTS, NOOP, QUIT.
    Every session is a thread of its own, so many can run at once.
    Names are raw bytes, served exactly as stored on disk.
  * Data connections: active (the server connects to the address EPRT/PORT
    named) or passive (PASV/EPSV open a listener on 127.0.0.1 that takes
    the next transfer's connection).
  * "mdtm": true in the scenario answers MDTM with the file's time (213
    YYYYMMDDHHMMSS); without it MDTM is refused (502).
  * REST n before RETR: 350, and that RETR sends the file from byte n (554
    when n is past its end).
  * MLSD and MLST give the facts modify, size, type and unique (st_dev "g"
    st_ino in hex, e.g. "unique=803g1234;"). MLST answers "250-Listing
    PATH", one facts line " FACTS PATH", "250 End."
  * --log FILE: pyftpd_server.py's format, one flushed line each:
    "<session> <COMMAND> <args>" per command received (PASS masked),
    "<session> LOGIN <user>" per login, "<session> CONNECT" and
    "<session> CLOSE" when a control connection opens and ends,
    "<session> FAULT <name>" each time a fault fires (so a test can wait for
    the moment it matters), and per RETR data transfer
    "<session> SENT <offset> <bytes actually sent> <path>" (written before
    the reply that ends the transfer), so a test can count bytes sent twice.
    Sessions are numbered 1, 2, ... in the order they connect.

Scenario file (JSON object):
  "mlsd": false        MLSD/MLST answer 500 and FEAT omits MLST (vsftpd-like)
  "eprt": false        EPRT answers 500, so the client falls back to PORT
  "active": false      EPRT and PORT answer 500: active mode refused
  "epsv": false        EPSV answers 500, so the client falls back to PASV
  "pasv_address": "10.9.8.7"  the 227 reply names this address (a server
                       behind NAT); the listener stays on 127.0.0.1, so only
                       a client that connects to the control connection's
                       peer gets through
  "cdir": true         MLSD lists the directory itself first, as
                       "type=cdir;...; ."
  "max_sessions": N    a control connection beyond N open ones gets
                       "421 Too many connections" and is closed (logged as
                       CONNECT, FAULT max_sessions, CLOSE)
  "faults": [...]      each a dict; the first one matching a command fires:
     "on":    "CONNECT" (the greeting), "LISTING" (MLSD, LIST or NLST), or
              any command verb: "USER", "PASS", "CWD", "MLSD", "RETR",
              "SIZE", "REST", "EPSV", "PASV", "MLST"...
     "path":  only for this absolute remote path (the directory changed to
              or listed, the file retrieved or asked about); any path, and
              any command, when left out
     "session": only in the k-th control connection (1-based)
     "times": fire at most this many times (default: always)
     "name":  label for the FAULT log line (default: the "do" value)
     "do":    what happens instead of the normal answer. These three act as
              soon as the command arrives, before it is looked at:
       "reply"      send "reply" (a whole reply line, e.g. "421 Go away");
                    "close": true then drops the control connection (the
                    default on CONNECT only). On CONNECT it replaces the
                    greeting: "120 Try later." with "close": false is a
                    greeting that is not 220, after which commands are
                    served as usual
       "hangup"     close the control connection without a reply (on
                    CONNECT: without a greeting)
       "silence"    no reply to this command; the connection stays open and
                    later commands are answered (on CONNECT: no greeting,
                    and nothing more until the client goes away)
     These act on a transfer (RETR or a listing) of a file or directory that
     exists, once its data connection is due:
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
       "no_connect" never open the data connection (active: accept EPRT/PORT
                    as usual but never connect back; passive: never accept
                    on the listener); sends "reply" first when given (e.g.
                    "150 Here it comes"), then nothing until the client goes
       "body"       a listing whose bytes are the file "body_file"
       "size"       RETR/SIZE: tell "announce" bytes in SIZE and 150 (or
                    answer SIZE with "size_reply", e.g. "502 No SIZE"), send
                    "send" bytes (the file's bytes, cut or padded with '#')
       "hold"       wait until the file "until" exists (at most "max" s,
                    default 30), then serve normally
       "throttle"   send the data at "rate" bytes per second
       "grow"       RETR: append "by" bytes to the file on disk "before" the
                    RETR reads it (the listing then told less than is sent)
                    or, "when": "after", once its data is sent and before
                    the reply (SIZE and MLST tell the new size after that)
     With REST n the fractions of "cut", "stall" and "drop_control" are of
     what is left from byte n.
  A client that closes a data connection before all was sent gets 426.
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
DATA_TIMEOUT = 10.0
MONTHS = [b'Jan', b'Feb', b'Mar', b'Apr', b'May', b'Jun', b'Jul', b'Aug',
          b'Sep', b'Oct', b'Nov', b'Dec']
LISTING_VERBS = ('MLSD', 'LIST', 'NLST')
# Commands whose argument names a remote path a fault's "path" can match.
PATH_VERBS = ('CWD', 'RETR', 'SIZE', 'MLST', 'MDTM') + LISTING_VERBS
IMMEDIATE = ('reply', 'hangup', 'silence')
ON_TRANSFER = ('cut', 'stall', 'drop_control', 'no_connect', 'body', 'size', 'hold',
               'throttle', 'grow')


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
        self.active = data.get('active', True)
        self.epsv = data.get('epsv', True)
        self.pasv_address = data.get('pasv_address', '127.0.0.1')
        self.cdir = data.get('cdir', False)
        self.max_sessions = data.get('max_sessions')
        self.mdtm = data.get('mdtm', False)
        self._faults = [dict(f) for f in data.get('faults', [])]
        for fault in self._faults:
            on = fault.get('on')
            if not isinstance(on, str) or not on.isalpha():
                raise ValueError('fault needs "on": %r' % (fault,))
            fault['on'] = on.upper()
            if fault.get('do') not in IMMEDIATE + ON_TRANSFER:
                raise ValueError('fault has no known "do": %r' % (fault,))
            if 'path' in fault:
                fault['path'] = fault['path'].encode('utf8', _RAW)
            fault['fired'] = 0
        self._lock = threading.Lock()

    def _matches(self, fault, event, session, path, actions):
        on = fault['on']
        return ((on == event or (on == 'LISTING' and event in LISTING_VERBS))
                and fault['do'] in actions
                and fault.get('path', path) == path
                and fault.get('session', session) == session
                and fault['fired'] < fault.get('times', float('inf')))

    def match(self, event, session, path=None, actions=IMMEDIATE + ON_TRANSFER):
        """The first fault for `event` (CONNECT or a verb) in this session
        whose "do" is one of `actions`, counted as fired; None when none."""
        with self._lock:
            for fault in self._faults:
                if self._matches(fault, event, session, path, actions):
                    fault['fired'] += 1
                    return fault
        return None

    def peek(self, event, session, path, actions):
        """Like match(), without counting the fault as fired."""
        with self._lock:
            for fault in self._faults:
                if self._matches(fault, event, session, path, actions):
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


def facts(st, kind=None):
    kind = kind or (b'dir' if stat.S_ISDIR(st.st_mode) else b'file')
    modify = time.strftime('%Y%m%d%H%M%S', time.gmtime(st.st_mtime)).encode()
    return b'modify=%s;size=%d;type=%s;unique=%xg%x;' % (
        modify, st.st_size, kind, st.st_dev, st.st_ino)


def mlsd_line(name, st):
    return facts(st) + b' ' + name + b'\r\n'


def grow(local, count):
    with open(local, 'ab') as f:
        f.write(b'+' * count)


def send_counted(sock, data):
    """Sends `data`; returns how many bytes went out before the peer went
    away."""
    sent = 0
    try:
        while sent < len(data):
            sent += sock.send(data[sent:sent + CHUNK])
    except OSError:
        pass
    return sent


class Session(threading.Thread):
    ids = itertools.count(1)

    def __init__(self, server, conn):
        super().__init__(daemon=True)
        self.server = server
        self.scenario = server.scenario
        self.conn = conn
        self.id = next(Session.ids)
        self.cwd = b'/'
        self.user = None
        self.logged_in = False
        self.data_addr = None  # active mode: where to connect
        self.passive = None  # passive mode: the listener
        self.rest = 0
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
        self.log('CONNECT')
        try:
            self.serve()
        except (OSError, ConnectionError):
            pass
        finally:
            self.server.forget(self)
            self.close_data()
            try:
                self.conn.close()
            except OSError:
                pass
            self.log('CLOSE')

    def serve(self):
        fault = self.scenario.match('CONNECT', self.id, None, IMMEDIATE + ('stall',))
        if fault:
            self.fired(fault)
            if fault['do'] in ('stall', 'silence'):
                self.wait_for_client_to_leave()
                return
            if fault['do'] == 'hangup':
                return
            self.send(fault['reply'])
            if fault.get('close', True):
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

    def path_of(self, word, arg):
        """The remote path a command names, for a fault's "path"."""
        if word not in PATH_VERBS:
            return None
        if word == 'LIST' and arg.startswith(b'-'):
            arg = b''
        return self.remote(arg)

    def dispatch(self, word, arg):
        """Answers one command; False when the session is over."""
        fault = self.scenario.match(word, self.id, self.path_of(word, arg), IMMEDIATE)
        if fault:
            self.fired(fault)
            if fault['do'] == 'reply':
                self.send(fault['reply'])
                return not fault.get('close', False)
            return fault['do'] == 'silence'
        if word == 'QUIT':
            self.send('221 Bye.')
            return False
        if word == 'USER':
            self.user = arg
            self.logged_in = False
            self.send('331 Password required.')
            return True
        if word == 'PASS':
            if self.user is None:
                self.send('503 Login with USER first.')
                return True
            self.logged_in = True
            self.log('LOGIN', self.user)
            self.send('230 Logged in.')
            return True
        if word == 'FEAT':
            features = [' EPRT', ' EPSV', ' REST STREAM', ' SIZE', ' MDTM', ' UTF8']
            if self.scenario.mlsd:
                features.append(' MLST type*;size*;modify*;unique*;')
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
        local = self.local(self.remote(arg))
        if not self.scenario.mdtm:
            self.send('502 MDTM not implemented.')
        elif os.path.isfile(local):
            self.send(time.strftime('213 %Y%m%d%H%M%S', time.gmtime(os.stat(local).st_mtime)))
        else:
            self.send('550 Not a plain file.')

    def cmd_REST(self, arg):
        if not arg.isdigit():
            self.send('501 REST needs a byte offset.')
            return
        self.rest = int(arg)
        self.send('350 Restarting at %d. Send RETR to start.' % self.rest)

    # -- data connections

    def close_data(self):
        self.data_addr = None
        if self.passive is not None:
            self.passive.close()
            self.passive = None

    def listen_passive(self):
        self.close_data()
        self.passive = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.passive.bind(('127.0.0.1', 0))
        self.passive.listen(1)
        return self.passive.getsockname()[1]

    def cmd_PASV(self, arg):
        port = self.listen_passive()
        address = self.scenario.pasv_address.replace('.', ',')
        self.send('227 Entering Passive Mode (%s,%d,%d).' % (address, port >> 8, port & 255))

    def cmd_EPSV(self, arg):
        if not self.scenario.epsv:
            self.send('500 EPSV not understood.')
            return
        self.send('229 Entering Extended Passive Mode (|||%d|)' % self.listen_passive())

    def cmd_EPRT(self, arg):
        if not (self.scenario.active and self.scenario.eprt):
            self.send('500 EPRT not understood.')
            return
        try:
            delimiter = arg[:1]
            _, proto, host, port, _ = arg.split(delimiter)
            address = (host.decode('ascii'), int(port))
            if proto not in (b'1', b'2'):
                raise ValueError(proto)
        except ValueError:
            self.send('501 Bad EPRT.')
            return
        self.close_data()
        self.data_addr = address
        self.send('200 EPRT ok.')

    def cmd_PORT(self, arg):
        if not self.scenario.active:
            self.send('500 PORT not understood.')
            return
        try:
            numbers = [int(n) for n in arg.split(b',')]
            if len(numbers) != 6 or not all(0 <= n <= 255 for n in numbers):
                raise ValueError(arg)
        except ValueError:
            self.send('501 Bad PORT.')
            return
        self.close_data()
        self.data_addr = ('%d.%d.%d.%d' % tuple(numbers[:4]), numbers[4] * 256 + numbers[5])
        self.send('200 PORT ok.')

    def open_data(self):
        """The data connection EPRT/PORT or PASV/EPSV prepared, or None
        after a 425 reply."""
        passive, address = self.passive, self.data_addr
        self.passive = self.data_addr = None
        try:
            if passive is not None:
                passive.settimeout(DATA_TIMEOUT)
                try:
                    data_conn, _ = passive.accept()
                finally:
                    passive.close()
            elif address is not None:
                data_conn = socket.create_connection(address, timeout=DATA_TIMEOUT)
            else:
                self.send('425 Use PORT, EPRT, PASV or EPSV first.')
                return None
        except OSError:
            self.send('425 Cannot open data connection.')
            return None
        data_conn.settimeout(None)
        return data_conn

    # -- files and listings

    def cmd_SIZE(self, arg):
        path = self.remote(arg)
        # A "size" fault on RETR also shapes the SIZE answer that precedes
        # it; peeked without counting, the RETR counts it.
        fault = (self.scenario.match('SIZE', self.id, path, ('size',))
                 or self.scenario.peek('RETR', self.id, path, ('size',)))
        if fault:
            self.fired(fault)
            if 'size_reply' in fault:
                self.send(fault['size_reply'])
            else:
                self.send('213 %d' % fault['announce'])
            return
        local = self.local(path)
        if os.path.isfile(local):
            self.send('213 %d' % os.path.getsize(local))
        else:
            self.send('550 Not a plain file.')

    def cmd_MLSD(self, arg):
        if not self.scenario.mlsd:
            self.send('500 Command "MLSD" not understood.')
            return
        return self.listing('MLSD', arg, mlsd_line)

    def cmd_MLST(self, arg):
        if not self.scenario.mlsd:
            self.send('500 Command "MLST" not understood.')
            return
        path = self.remote(arg) if arg else self.cwd
        try:
            st = os.stat(self.local(path))
        except OSError:
            self.send('550 No such file or directory.')
            return
        self.conn.sendall(b'250-Listing %s\r\n %s %s\r\n250 End.\r\n' % (path, facts(st), path))

    def cmd_LIST(self, arg):
        # "LIST -a" and friends: options are not paths.
        if arg.startswith(b'-'):
            arg = b''
        return self.listing('LIST', arg, list_line)

    def cmd_NLST(self, arg):
        return self.listing('NLST', arg, lambda name, st: name + b'\r\n')

    def listing(self, verb, arg, format_line):
        self.rest = 0
        path = self.remote(arg)
        directory = self.local(path)
        if not os.path.isdir(directory):
            self.send('550 No such directory.')
            return
        fault = self.scenario.match(verb, self.id, path, ON_TRANSFER)
        if fault and fault['do'] == 'body':
            with open(fault['body_file'], 'rb') as f:
                body = f.read()
        else:
            body = b''
            if verb == 'MLSD' and self.scenario.cdir:
                body += facts(os.stat(directory), b'cdir') + b' .\r\n'
            for name in sorted(os.listdir(directory)):
                try:
                    st = os.stat(os.path.join(directory, name))
                except OSError:
                    continue
                body += format_line(name, st)
        return self.transfer(body, fault, 'Here comes the directory listing.')

    def cmd_RETR(self, arg):
        offset, self.rest = self.rest, 0
        path = self.remote(arg)
        local = self.local(path)
        if not os.path.isfile(local):
            self.send('550 No such file.')
            return
        fault = self.scenario.match('RETR', self.id, path, ON_TRANSFER)
        if fault and fault['do'] == 'grow' and fault.get('when', 'before') == 'before':
            grow(local, fault['by'])
        with open(local, 'rb') as f:
            data = f.read()
        announce = len(data)
        if fault and fault['do'] == 'size':
            announce = fault.get('announce', len(data))
            send = fault.get('send', len(data))
            data = data[:send] + b'#' * max(0, send - len(data))
        if offset > len(data):
            self.send('554 Restart offset %d is past the end of the file.' % offset)
            return
        return self.transfer(data[offset:], fault,
                             'Opening BINARY mode data connection for %s (%d bytes).'
                             % (os.path.basename(path).decode('utf8', _RAW),
                                max(0, announce - offset)),
                             sent_record=(offset, path))

    def transfer(self, data, fault, opening, sent_record=None):
        """Sends `data` over the data connection, shaped by `fault`. A RETR
        passes sent_record=(offset, path) for its SENT record. False when
        the session is over."""
        do = fault['do'] if fault else None
        if fault:
            self.fired(fault)
        if do == 'no_connect':
            if 'reply' in fault:
                self.send(fault['reply'])
            self.wait_for_client_to_leave()
            return False
        if do == 'hold':
            deadline = time.monotonic() + fault.get('max', 30)
            while not os.path.exists(fault['until']) and time.monotonic() < deadline:
                time.sleep(0.02)
        data_conn = self.open_data()
        if data_conn is None:
            return True
        try:
            self.send('150 ' + opening)
            cut = len(data)
            if do in ('cut', 'stall', 'drop_control'):
                cut = int(len(data) * fault.get('at', 1.0 / 3))
            if do == 'throttle':
                sent = self.throttled(data_conn, data, fault['rate'])
            else:
                sent = send_counted(data_conn, data[:cut])
            if sent_record:
                offset, path = sent_record
                self.log('SENT', b'%d %d %s' % (offset, sent, path))
            if do == 'grow' and fault.get('when') == 'after':
                grow(self.local(sent_record[1]), fault['by'])
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
        if sent < cut:
            self.send('426 Connection closed; transfer aborted.')
            return True
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
        sent = 0
        for begin in range(0, len(data), step):
            piece = send_counted(data_conn, data[begin:begin + step])
            sent += piece
            if piece < len(data[begin:begin + step]):
                break
            time.sleep(0.05)
        return sent


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
            limit = self.scenario.max_sessions
            with self._lock:
                busy = limit is not None and len(self._sessions) >= limit
                if not busy:
                    self._sessions.add(session)
            if busy:
                self.refuse(session)
            else:
                session.start()

    def refuse(self, session):
        session.log('CONNECT')
        session.log('FAULT', b'max_sessions')
        try:
            session.send('421 Too many connections')
        except OSError:
            pass
        session.conn.close()
        session.log('CLOSE')

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
