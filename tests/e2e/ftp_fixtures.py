"""Shared harness for the end-to-end tests: loopback FTP servers, remote and
local trees, configuration files and running the built binary.

Everything here talks to 127.0.0.1 only. Servers are context managers and are
stopped on exit whatever happened inside the block; if the test process dies,
they see EOF on their stdin and stop on their own.
"""

import json
import os
import select
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import time
from collections import namedtuple
from pathlib import Path

PYTHON = '/usr/bin/python3'
HOST = '127.0.0.1'
SERVERS_DIR = Path(__file__).resolve().parent.parent / 'servers'
ANONYMOUS_USER = 'anonymous'
ANONYMOUS_PASSWORD = 'tester@example.com'
# The one local account the suite uses with vsftpd. Tests run in parallel and
# the launcher sets the password on every start, so everyone shares both.
TEST_USER = 'vdftpuser'
TEST_PASSWORD = 'vd-pass-586'

START_TIMEOUT = 20.0
STOP_TIMEOUT = 10.0


# --- text ------------------------------------------------------------------

def gbk(text):
    """The code page 936 bytes the tool prints for `text`."""
    return text.encode('gbk')


def to_bytes(value):
    """str -> GBK bytes (the tool's own encoding), bytes unchanged."""
    if isinstance(value, bytes):
        return value
    if isinstance(value, os.PathLike):
        return os.fsencode(value)
    return str(value).encode('gbk')


# --- servers ---------------------------------------------------------------

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

    # -- protocol log

    def log_bytes(self):
        return self.log_path.read_bytes()

    def command_lines(self):
        """[(COMMAND, argument bytes)] in the order the server received them."""
        raise NotImplementedError

    def logins(self):
        """Number of successful logins so far."""
        raise NotImplementedError

    def commands(self):
        """Command words received so far, upper case, in order."""
        return [word for word, _ in self.command_lines()]

    def count(self, word):
        return self.commands().count(word.upper())


class PyftpdServer(FtpServer):
    # Log lines: b"<session> <COMMAND> <args>" and b"<session> LOGIN <user>".

    def _records(self):
        for line in self.log_bytes().splitlines():
            session, _, rest = line.partition(b' ')
            word, _, arg = rest.partition(b' ')
            yield session, word.decode('ascii', 'replace'), arg

    def command_lines(self):
        return [(w.upper(), a) for _, w, a in self._records() if w != 'LOGIN']

    def logins(self):
        return sum(1 for _, w, _ in self._records() if w == 'LOGIN')

    def sessions(self):
        """Number of control connections that sent at least one command."""
        return len({s for s, _, _ in self._records()})


class VsftpdServer(FtpServer):
    # vsftpd's protocol log; bytes it finds unprintable (GBK too) show as '?'.
    _COMMAND = b'] FTP command: Client "'

    def command_lines(self):
        result = []
        for line in self.log_bytes().splitlines():
            at = line.find(self._COMMAND)
            if at < 0:
                continue
            quoted = line[at + len(self._COMMAND):]
            _, _, quoted = quoted.partition(b'", "')
            text = quoted[:-1] if quoted.endswith(b'"') else quoted
            word, _, arg = text.partition(b' ')
            result.append((word.decode('ascii', 'replace').upper(), arg))
        return result

    def logins(self):
        return sum(1 for line in self.log_bytes().splitlines()
                   if b'] OK LOGIN: ' in line)


def pyftpd(root, user=None, password=None, mlsd=True, anonymous=True,
           log_path=None):
    """pyftpdlib server on `root`: anonymous read-only (unless
    anonymous=False), plus `user`/`password` if given; mlsd=False makes MLSD
    answer 500 like vsftpd."""
    args = []
    if user is not None:
        args += ['--user', user, '--password', password]
    if not anonymous:
        args.append('--no-anonymous')
    if not mlsd:
        args.append('--no-mlsd')
    return PyftpdServer('pyftpd', 'pyftpd_server.py', root, args, log_path)


def vsftpd(root, user=None, password=None, log_path=None):
    """Debian's vsftpd on `root` (made root-owned 0755 by the launcher):
    anonymous read-only plus `user`/`password` if given."""
    args = []
    if user is not None:
        args += ['--user', user, '--password', password]
    return VsftpdServer('vsftpd', 'vsftpd_server.py', root, args, log_path)


SERVER_FACTORIES = {'pyftpd': pyftpd, 'vsftpd': vsftpd}


class FaultServer(PyftpdServer):
    """tests/servers/fault_ftpd.py: a small server of `root` that misbehaves
    as its scenario says. Its log has pyftpd_server.py's format plus
    "<session> FAULT <name>" records."""

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

    def command_lines(self):
        return [(w, a) for w, a in super().command_lines() if w != 'FAULT']

    def faults(self):
        """Names of the faults fired so far, in order."""
        return [a.decode('utf8', 'surrogateescape')
                for _, w, a in self._records() if w == 'FAULT']

    def wait_for_log(self, fragment, timeout=20.0):
        """Waits until the protocol log holds `fragment` (bytes); returns
        False on timeout."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if fragment in self.log_bytes():
                return True
            time.sleep(0.01)
        return False


def fault_ftpd(root, scenario=None, log_path=None):
    """fault_ftpd.py on `root` with `scenario` (a dict, see the server's
    docstring; None: no faults, a plain server)."""
    return FaultServer(root, scenario, log_path)


def unused_port():
    """A loopback port nothing listens on (for refused-connection cases)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


# --- trees -----------------------------------------------------------------

DIR = 'DIR'
Link = namedtuple('Link', 'target')
OTHER = 'OTHER'


def _name(key):
    name = to_bytes(key)
    if not name or b'/' in name or name in (b'.', b'..'):
        raise ValueError('bad entry name %r' % (key,))
    return name


def make_tree(root, shape):
    """Creates `shape` under `root` and returns Path(root).

    shape: {name: bytes | dict}; str names are stored GBK-encoded, like every
    str this harness turns into bytes, bytes names as they are (e.g. a UTF-8
    name: '名字'.encode()). Everything is made world-readable so both servers
    serve it to anonymous users.
    """
    root = Path(root)
    root.mkdir(parents=True, exist_ok=True)
    os.chmod(root, 0o755)
    _fill(os.fsencode(root), shape)
    return root


def _fill(base, shape):
    for key, value in shape.items():
        path = os.path.join(base, _name(key))
        if isinstance(value, dict):
            os.mkdir(path)
            os.chmod(path, 0o755)
            _fill(path, value)
        elif isinstance(value, (bytes, bytearray)):
            with open(path, 'wb') as f:
                f.write(value)
            os.chmod(path, 0o644)
        else:
            raise TypeError('shape value for %r must be bytes or dict' % (key,))


def flatten(shape, prefix=b''):
    """A make_tree shape in tree_of's flat form."""
    result = {}
    for key, value in shape.items():
        rel = prefix + _name(key)
        if isinstance(value, dict):
            result[rel] = DIR
            result.update(flatten(value, rel + b'/'))
        else:
            result[rel] = bytes(value)
    return result


def tree_of(directory):
    """{relative path bytes ('/'-separated): content bytes | DIR | Link | OTHER}
    for everything below `directory`, hidden entries included."""
    top = os.fsencode(directory)
    result = {}

    def walk(path, prefix):
        for name in sorted(os.listdir(path)):
            full = os.path.join(path, name)
            rel = prefix + name
            mode = os.lstat(full).st_mode
            if stat.S_ISLNK(mode):
                result[rel] = Link(os.readlink(full))
            elif stat.S_ISDIR(mode):
                result[rel] = DIR
                walk(full, rel + b'/')
            elif stat.S_ISREG(mode):
                with open(full, 'rb') as f:
                    result[rel] = f.read()
            else:
                result[rel] = OTHER

    walk(top, b'')
    return result


def _describe(value):
    if isinstance(value, bytes):
        return '%d bytes %r' % (len(value), value[:32])
    return repr(value)


def assert_tree(directory, shape):
    """`directory` holds exactly `shape` (a make_tree shape): same names, same
    bytes, nothing more, so no leftover temporary or partial files."""
    actual = tree_of(directory)
    expected = flatten(shape)
    if actual == expected:
        return
    problems = []
    for rel in sorted(set(actual) | set(expected)):
        if rel not in expected:
            problems.append('unexpected %r: %s' % (rel, _describe(actual[rel])))
        elif rel not in actual:
            problems.append('missing %r' % (rel,))
        elif actual[rel] != expected[rel]:
            problems.append('differs %r: got %s, want %s' % (
                rel, _describe(actual[rel]), _describe(expected[rel])))
    raise AssertionError('tree %s:\n  %s' % (directory, '\n  '.join(problems)))


TEMP_MARKERS = (b'.tmp', b'.part', b'~', b'.swp')


def assert_no_stray_files(directory):
    """No hidden or temporary-looking entries anywhere below `directory`."""
    stray = [rel for rel in tree_of(directory)
             if os.path.basename(rel).startswith(b'.')
             or os.path.basename(rel).endswith(TEMP_MARKERS)]
    assert not stray, 'stray entries in %s: %r' % (directory, stray)


# --- configuration ---------------------------------------------------------

TASK_FIELDS = ('host', 'port', 'user', 'pwd', 'ftppath', 'localpath', 'head',
               'tail')


def local_path(path):
    """A Linux path in the configuration's '\\'-separated form."""
    return os.fsencode(path).replace(b'/', b'\\')


def task_for(server, ftppath, localpath, head='', tail='', user=None, pwd=None):
    """A task dict for write_config pointing at `server`; anonymous unless
    user is given."""
    return {
        'host': HOST,
        'port': server.port,
        'user': ANONYMOUS_USER if user is None else user,
        'pwd': ANONYMOUS_PASSWORD if pwd is None else pwd,
        'ftppath': ftppath,
        'localpath': localpath,
        'head': head,
        'tail': tail,
    }


def config_bytes(tasks, newline=b'\n'):
    """Configuration text for `tasks`.

    Each task is a dict of TASK_FIELDS (missing fields are left out; str is
    written as GBK, bytes as is; a localpath given as a Path or containing
    '/' is written '\\'-separated) or a raw str/bytes line written verbatim.
    """
    out = []
    for task in tasks:
        if isinstance(task, (str, bytes)):
            out.append(to_bytes(task) + newline)
            continue
        unknown = set(task) - set(TASK_FIELDS)
        if unknown:
            raise KeyError('unknown task fields %r' % sorted(unknown))
        for field in TASK_FIELDS:
            if field not in task:
                continue
            value = task[field]
            if field == 'localpath' and (isinstance(value, os.PathLike)
                                         or '/' in str(value)):
                value = local_path(value)
            out.append(field.encode() + b'=' + to_bytes(value) + newline)
    return b''.join(out)


def write_config(path, tasks, newline=b'\n'):
    """Writes config_bytes(tasks) to `path` and returns Path(path)."""
    path = Path(path)
    path.write_bytes(config_bytes(tasks, newline))
    return path


# --- the binary ------------------------------------------------------------

ToolResult = namedtuple('ToolResult', 'code stdout')


def tool_path():
    path = os.environ.get('VANDRISK_BIN')
    if not path:
        raise RuntimeError('VANDRISK_BIN is not set (CTest sets it)')
    return path


def run_tool(*args, cwd=None, timeout=60, binary=None):
    """Runs the tool with stdin from /dev/null; returns (exit code, stdout
    bytes). stderr passes through to the test's output."""
    argv = [binary or tool_path()] + [a if isinstance(a, bytes) else os.fspath(a)
                                      if isinstance(a, os.PathLike) else str(a)
                                      for a in args]
    try:
        done = subprocess.run(argv, cwd=cwd, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, timeout=timeout)
    except subprocess.TimeoutExpired as err:
        raise AssertionError('%s did not finish in %ss; stdout so far: %r'
                             % (argv, timeout, err.stdout)) from None
    return ToolResult(done.returncode, done.stdout)


def copy_tool(directory):
    """Copies the binary into `directory` (so files it writes next to itself
    land there) and returns the copy's path."""
    target = Path(directory) / Path(tool_path()).name
    shutil.copy2(tool_path(), target)
    return target
