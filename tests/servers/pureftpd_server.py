#!/usr/bin/python3
"""Runs Debian's pure-ftpd on loopback for the tests.

Its package conflicts with vsftpd's: scripts/install-deps.sh unpacks it in
/opt/loopback-servers/pure-ftpd instead of installing it.

Usage:
  python3 pureftpd_server.py --root DIR --user NAME --password PW [--log FILE]

Contract (same as pyftpd_server.py, except that there is no protocol log:
--log is accepted and left empty):
  * Starts pure-ftpd on 127.0.0.1 and prints exactly "PORT <n>\\n"
    on stdout (flushed) once it listens; serves until SIGTERM, SIGINT or EOF
    on stdin, then stops it with every session process it forked.
  * One virtual account NAME/PW (a private PureDB), chrooted to DIR with the
    rights of nobody: the files must be world-readable. No anonymous login.
  * Names go out as stored on disk; pure-ftpd lists UTF8 in FEAT but refuses
    OPTS UTF8, and refuses (553) every name holding the byte '\\'.
  * Passive data connections on 127.0.0.1, ports 33000-33999.
"""

import argparse
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from lifetime import watch_stdin

from loopback import PURE_FTPD

PURE_PW = os.path.join(os.path.dirname(PURE_FTPD), '..', 'bin', 'pure-pw')
NOBODY = 65534


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def listens(port):
    with socket.socket() as s:
        return s.connect_ex(('127.0.0.1', port)) == 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ('--root', '--user', '--password'):
        parser.add_argument(name, required=True)
    parser.add_argument('--log')
    args = parser.parse_args(argv)
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())
    with tempfile.TemporaryDirectory(prefix='pure-ftpd-') as work:
        passwd, db = os.path.join(work, 'passwd'), os.path.join(work, 'pdb')
        # pure-pw's own hash (argon2) costs seconds a login: SHA-512 crypt instead.
        digest = subprocess.run(['openssl', 'passwd', '-6', args.password], check=True,
                                capture_output=True, text=True).stdout.strip()
        with open(passwd, 'w') as f:
            f.write('%s:%s:%d:%d::%s/./::::::::::::\n'
                    % (args.user, digest, NOBODY, NOBODY, os.path.realpath(args.root)))
        subprocess.run([PURE_PW, 'mkdb', db, '-f', passwd], check=True)
        for _ in range(5):
            port = free_port()
            proc = subprocess.Popen(
                [PURE_FTPD, '-S', '127.0.0.1,%d' % port, '-l', 'puredb:' + db, '-E', '-A', '-H',
                 '-u', '1', '-f', 'none', '-p', '33000:33999', '-P', '127.0.0.1'],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, start_new_session=True)
            deadline = time.monotonic() + 10
            while proc.poll() is None and not listens(port) and time.monotonic() < deadline:
                time.sleep(0.02)
            if proc.poll() is None and listens(port):
                break
            proc.kill()
            proc.wait()
        else:
            raise SystemExit('pureftpd_server: pure-ftpd did not start')
        try:
            sys.stdout.write('PORT %d\n' % port)
            sys.stdout.flush()
            threading.Thread(target=watch_stdin, args=(stop,), daemon=True).start()
            while not stop.wait(0.1):
                if proc.poll() is not None:
                    raise SystemExit('pureftpd_server: pure-ftpd exited (%d)' % proc.returncode)
        finally:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait()
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
