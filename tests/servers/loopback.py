"""The loopback FTP servers of this directory as context managers: the one way
the pytest suite and serve.py (for every other test) start, stop and read them.

Everything here talks to 127.0.0.1 only. A server is stopped on leaving its
block whatever happened inside; if the process that started it dies, the
server sees EOF on its stdin and stops on its own.
"""

import json
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import protocol_log

# The interpreter running this module starts the servers too, so a server
# finds the same modules (pyftpdlib) as its parent.
PYTHON = sys.executable
HOST = '127.0.0.1'
SERVERS_DIR = Path(__file__).resolve().parent
VSFTPD = '/usr/sbin/vsftpd'
PURE_FTPD = '/opt/loopback-servers/pure-ftpd/usr/sbin/pure-ftpd'  # see pureftpd_server.py

START_TIMEOUT = 20.0
STOP_TIMEOUT = 10.0


class ServerError(RuntimeError):
    pass


class FtpServer:
    """One loopback FTP server process started from tests/servers.

    Use as a context manager; `.port` and `.log_path` are valid inside the
    block. The protocol log stays readable after the block only when the
    caller chose `log_path`.
    """

    def __init__(self, kind, script, root, extra_args=(), log_path=None):
        self.kind = kind
        self.root = Path(root)
        self.port = None
        self.returncode = None
        self._script = SERVERS_DIR / script
        self._extra_args = list(extra_args)
        self._workdir = None
        self._own_log = log_path is None
        self.log_path = None if log_path is None else Path(log_path)
        self._proc = None
        self._stderr = None

    # -- lifecycle

    def __enter__(self):
        self._workdir = Path(tempfile.mkdtemp(prefix='ftp-%s-' % self.kind))
        try:
            if self._own_log:
                self.log_path = self._workdir / 'protocol.log'
            self.log_path.touch()
            self._start()
        except BaseException:
            self._teardown()
            raise
        return self

    def __exit__(self, exc_type, exc, tb):
        self._teardown()
        if exc_type is None and self.returncode != 0:
            raise ServerError('%s server exited with %s; stderr:\n%s'
                              % (self.kind, self.returncode, self.stderr_text()))
        return False

    def _start(self):
        argv = [PYTHON, str(self._script), '--root', str(self.root),
                '--log', str(self.log_path)] + self._extra_args
        self._stderr = open(self._workdir / 'stderr.txt', 'w+b')
        self._proc = subprocess.Popen(argv, stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE,
                                      stderr=self._stderr)
        line = self._read_line(START_TIMEOUT)
        if not line.startswith(b'PORT ') or not line.endswith(b'\n'):
            self._stop_process()
            raise ServerError('%s server did not start (first line %r); '
                              'stderr:\n%s' % (self.kind, line, self.stderr_text()))
        self.port = int(line.split()[1])

    def _read_line(self, timeout):
        fd = self._proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        data = b''
        while not data.endswith(b'\n'):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                break
            chunk = os.read(fd, 1)
            if not chunk:
                break
            data += chunk
        return data

    def _stop_process(self):
        proc = self._proc
        if proc is None or proc.returncode is not None:
            return
        try:
            proc.stdin.close()
        except OSError:
            pass
        try:
            proc.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        self.returncode = proc.returncode

    def _teardown(self):
        try:
            self._stop_process()
        finally:
            if self._proc is not None:
                self._proc.stdout.close()
            if self._stderr is not None:
                self._stderr.close()
            if self._workdir is not None and self._own_log:
                shutil.rmtree(self._workdir, ignore_errors=True)

    def stop(self):
        """Stops the server early (e.g. to test a vanished server)."""
        self._stop_process()

    def stderr_text(self):
        try:
            return (self._workdir / 'stderr.txt').read_text('utf8', 'replace')
        except OSError:
            return ''

    # -- addresses

    @property
    def host(self):
        return HOST

    def url(self, path='/'):
        return 'ftp://%s:%d%s' % (HOST, self.port, path)

    # -- protocol log (see protocol_log.py)

    def log_bytes(self):
        return self.log_path.read_bytes()

    def records(self):
        return protocol_log.parse(self.log_bytes())

    def command_lines(self):
        """[(COMMAND, argument bytes)] in the order the server received them."""
        return [(r.verb, r.arg) for r in self.records() if r.kind == 'command']

    def commands(self):
        """Command words received so far, upper case, in order."""
        return [word for word, _ in self.command_lines()]

    def count(self, word):
        return self.commands().count(word.upper())

    def logins(self):
        """Number of successful logins so far."""
        return sum(1 for r in self.records() if r.kind == 'login')

    def sessions(self):
        """Number of control connections: their CONNECT records, or where
        there are none, the sessions that logged anything."""
        records = self.records()
        connects = sum(1 for r in records if r.kind == 'connect')
        return connects or len({r.session for r in records})

    def max_concurrent_sessions(self):
        """The most control connections the log shows open at one moment."""
        # Our own servers log every CLOSE; vsftpd logs none.
        return protocol_log.max_concurrent_sessions(self.records(),
                                                    closes_logged=self.kind != 'vsftpd')


class FaultServer(FtpServer):
    """fault_ftpd.py: a small server of `root` that misbehaves as its
    scenario says. Its log adds CONNECT, CLOSE, FAULT and SENT records."""

    def __init__(self, root, scenario, log_path=None):
        super().__init__('fault', 'fault_ftpd.py', root, (), log_path)
        self.scenario = scenario

    def _start(self):
        if self.scenario is not None:
            path = self._workdir / 'scenario.json'
            # surrogateescape turns raw name bytes into str that survive JSON.
            path.write_text(json.dumps(self.scenario))
            self._extra_args = ['--scenario', str(path)]
        super()._start()

    def faults(self):
        """Names of the faults fired so far, in order."""
        return [r.arg.decode('utf8', 'surrogateescape')
                for r in self.records() if r.kind == 'fault']

    def sent(self):
        """[(offset, bytes sent, path bytes)], one per RETR data transfer."""
        result = []
        for r in self.records():
            if r.kind == 'sent':
                offset, count, path = r.arg.split(b' ', 2)
                result.append((int(offset), int(count), path))
        return result

    def wait_for_log(self, fragment, timeout=20.0):
        """Waits until the protocol log holds `fragment` (bytes); returns
        False on timeout."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if fragment in self.log_bytes():
                return True
            time.sleep(0.01)
        return False


def pyftpd(root, user=None, password=None, mlsd=True, anonymous=True,
           log_path=None):
    """pyftpdlib server on `root`: anonymous read-only (unless
    anonymous=False), plus `user`/`password` if given; mlsd=False makes MLSD
    answer 500 like vsftpd."""
    args = ['--log-connections']
    if user is not None:
        args += ['--user', user, '--password', password]
    if not anonymous:
        args.append('--no-anonymous')
    if not mlsd:
        args.append('--no-mlsd')
    return FtpServer('pyftpd', 'pyftpd_server.py', root, args, log_path)


def vsftpd(root, user=None, password=None, log_path=None, tls=None,
           user_home=None):
    """Debian's vsftpd on `root` (made root-owned 0755 by the launcher):
    anonymous read-only plus `user`/`password` if given. tls: (certificate,
    key) from make_cert, for explicit FTPS only. user_home: the account logs
    in there, not chrooted (see vsftpd_server.py)."""
    args = []
    if user is not None:
        args += ['--user', user, '--password', password]
    if tls is not None:
        args += ['--tls-cert', str(tls[0]), '--tls-key', str(tls[1])]
    if user_home is not None:
        args += ['--user-home', str(user_home)]
    return FtpServer('vsftpd', 'vsftpd_server.py', root, args, log_path)


def pureftpd(root, user, password, log_path=None):
    """Debian's pure-ftpd on `root` with one account and no anonymous login
    (see pureftpd_server.py); it keeps no protocol log."""
    return FtpServer('pure-ftpd', 'pureftpd_server.py', root,
                     ['--user', user, '--password', password], log_path)


def fault_ftpd(root, scenario=None, log_path=None):
    """fault_ftpd.py on `root` with `scenario` (a dict, see the server's
    docstring; None: no faults, a plain server)."""
    return FaultServer(root, scenario, log_path)


SERVER_FACTORIES = {'pyftpd': pyftpd, 'vsftpd': vsftpd}


def unavailable(kind):
    """Why `kind` cannot run on this machine; None when it can."""
    if kind == 'vsftpd':
        if os.geteuid() != 0:
            return 'vsftpd needs root (it chroots and switches users)'
        if not os.access(VSFTPD, os.X_OK):
            return '%s is not installed' % VSFTPD
    if kind == 'pure-ftpd' and (os.geteuid() != 0 or not os.access(PURE_FTPD, os.X_OK)):
        return 'pure-ftpd needs root and %s' % PURE_FTPD
    if kind == 'pyftpd':
        try:
            import pyftpdlib  # noqa: F401  (only whether it imports)
        except ImportError:
            return 'pyftpdlib is not installed for %s' % PYTHON
    return None


def unused_port():
    """A loopback port nothing listens on (for refused-connection cases)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def make_cert(directory):
    """A self-signed certificate for 127.0.0.1 and localhost, made by openssl
    in `directory`; returns (certificate path, key path). The certificate is
    its own CA: pass it as a client's CA file."""
    directory = Path(directory)
    cert, key = directory / 'cert.pem', directory / 'key.pem'
    done = subprocess.run(
        ['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
         '-subj', '/CN=127.0.0.1', '-addext', 'subjectAltName=IP:127.0.0.1,DNS:localhost',
         '-keyout', str(key), '-out', str(cert)],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if done.returncode != 0:
        raise ServerError('openssl could not make a certificate: %s'
                          % done.stderr.decode('utf8', 'replace'))
    return cert, key
