#!/usr/bin/python3
"""Loopback FTP server for the tests, built on pyftpdlib.

Usage:
  python3 pyftpd_server.py --root DIR [--user NAME --password PW]
          [--no-anonymous] [--no-mlsd] [--log FILE [--log-connections]]

Contract:
  * Listens on 127.0.0.1, on a port the kernel picks, and prints exactly
    "PORT <n>\\n" on stdout (flushed) once connections are accepted.
  * Serves until SIGTERM or SIGINT arrives, or until its stdin reaches EOF
    (a parent that dies closes the pipe, so no server is left behind; start
    it with stdin=PIPE, never /dev/null), then exits 0.
  * Anonymous read-only login on DIR unless --no-anonymous; --user/--password
    add one read-only account with home DIR.
  * Names are served byte for byte: GBK (or any non-UTF-8) names list, CWD
    and RETR exactly as stored on disk.
  * --no-mlsd: MLSD and MLST answer 500 and FEAT does not offer MLST, like
    vsftpd.
  * --log FILE: appends "<session-id> <COMMAND> <args>" per command line
    received (PASS arguments masked) and "<session-id> LOGIN <user>" per
    successful login, one flushed line each. With --log-connections also
    "<session-id> CONNECT" and "<session-id> CLOSE" when a control connection
    opens and ends, so the log tells which connections were open at once.
"""

import argparse
import itertools
import logging
import os
import signal
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, proto_cmds
from pyftpdlib.servers import FTPServer

from lifetime import watch_stdin

# Commands and names travel as raw bytes; surrogateescape carries undecodable
# bytes through str and back unchanged.
_RAW = 'surrogateescape'


class CommandLog:
    """Append-only protocol log shared by all sessions of one server."""

    def __init__(self, path):
        self._file = open(path, 'ab', buffering=0) if path else None

    def write(self, session_id, word, rest=''):
        if self._file is None:
            return
        text = '%d %s' % (session_id, word)
        if rest:
            text += ' ' + rest
        # A bare LF inside an argument must not split the record.
        text = text.replace('\r', '\\r').replace('\n', '\\n')
        self._file.write(text.encode('utf8', _RAW) + b'\n')

    def close(self):
        if self._file is not None:
            self._file.close()
            self._file = None


class RawNameHandler(FTPHandler):
    """FTPHandler that never re-encodes names and logs what clients send."""

    unicode_errors = _RAW
    command_log = CommandLog(None)
    log_connections = False
    _session_ids = itertools.count(1)

    def __init__(self, conn, server, ioloop=None):
        self.session_id = next(RawNameHandler._session_ids)
        super().__init__(conn, server, ioloop)

    def push(self, s):
        # The stock push() encodes replies strictly, so a PWD or MLST reply
        # naming a GBK directory would raise instead of echoing the bytes.
        super(FTPHandler, self).push(s.encode('utf8', _RAW))

    def pre_process_command(self, line, cmd, arg):
        if cmd:
            word = line.split(' ')[0].upper()
            shown = '******' if word == 'PASS' and arg else arg
            self.command_log.write(self.session_id, word, shown)
        super().pre_process_command(line, cmd, arg)

    def on_login(self, username):
        self.command_log.write(self.session_id, 'LOGIN', username)

    def on_connect(self):
        if self.log_connections:
            self.command_log.write(self.session_id, 'CONNECT')

    def on_disconnect(self):
        if self.log_connections:
            self.command_log.write(self.session_id, 'CLOSE')

    def _on_dtp_connection(self):
        # pyftpdlib 1.5.7 keeps the active-mode connector after its socket has
        # gone to the data channel, and closes it again when the session ends:
        # by then that descriptor may belong to another session, which then
        # stops being served. The connector's work is done here; forget it.
        self._dtp_connector = None
        super()._on_dtp_connection()


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--root', required=True)
    parser.add_argument('--user')
    parser.add_argument('--password')
    parser.add_argument('--no-anonymous', action='store_true')
    parser.add_argument('--no-mlsd', action='store_true')
    parser.add_argument('--log')
    parser.add_argument('--log-connections', action='store_true')
    args = parser.parse_args(argv)
    if (args.user is None) != (args.password is None):
        parser.error('--user and --password go together')
    if args.no_anonymous and args.user is None:
        parser.error('--no-anonymous needs --user')
    if not os.path.isdir(args.root):
        parser.error('--root %r is not a directory' % args.root)
    return args


def build_handler(args):
    root = os.path.realpath(args.root)
    authorizer = DummyAuthorizer()
    if not args.no_anonymous:
        authorizer.add_anonymous(root, perm='elr')
    if args.user is not None:
        authorizer.add_user(args.user, args.password, root, perm='elr')

    attrs = {
        'authorizer': authorizer,
        'command_log': CommandLog(args.log),
        'log_connections': args.log_connections,
        'banner': 'loopback test server ready.',
    }
    if args.no_mlsd:
        attrs['proto_cmds'] = {k: v for k, v in proto_cmds.items()
                               if k not in ('MLSD', 'MLST')}
    return type('Handler', (RawNameHandler,), attrs)


def main(argv):
    args = parse_args(argv)
    # pyftpdlib logs every command to stderr at INFO; only trouble matters.
    logging.basicConfig(level=logging.WARNING, stream=sys.stderr,
                        format='pyftpd_server: %(message)s')

    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())

    handler = build_handler(args)
    server = FTPServer(('127.0.0.1', 0), handler)
    sys.stdout.write('PORT %d\n' % server.address[1])
    sys.stdout.flush()

    threading.Thread(target=watch_stdin, args=(stop,), daemon=True).start()
    try:
        # Short polls so a stop request is seen promptly; the loop itself is
        # single-threaded and must only be touched from this thread.
        while not stop.is_set():
            server.serve_forever(timeout=0.1, blocking=False,
                                 handle_exit=False)
    finally:
        server.close_all()
        handler.command_log.close()
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
