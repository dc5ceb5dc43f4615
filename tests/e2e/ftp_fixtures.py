"""Shared harness for the end-to-end tests: loopback FTP servers (from
tests/servers/loopback.py), remote and local trees, configuration files and
running the built binary. Everything here talks to 127.0.0.1 only.
"""

import contextlib
import ftplib
import os
import shutil
import stat
import subprocess
import threading
import time
from collections import namedtuple
from pathlib import Path

# The servers live in tests/servers (on the path through conftest.py); tests
# import them from here with the rest of the harness.
from loopback import (HOST, PYTHON, SERVER_FACTORIES, SERVERS_DIR,  # noqa: F401
                      FaultServer, FtpServer, ServerError, fault_ftpd, make_cert,
                      pyftpd, unused_port, vsftpd)

ANONYMOUS_USER = 'anonymous'
ANONYMOUS_PASSWORD = 'tester@example.com'
# The one local account the suite uses with vsftpd. Tests run in parallel and
# the launcher sets the password on every start, so everyone shares both.
TEST_USER = 'vdftpuser'
TEST_PASSWORD = 'vd-pass-586'


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


# --- a plain client --------------------------------------------------------

def ftp_login(server, user=ANONYMOUS_USER, password=ANONYMOUS_PASSWORD, passive=True,
              timeout=20):
    """ftplib logged in to `server`. It speaks latin-1, which maps bytes 1:1
    to str, so names cross it unchanged (raw() gives the bytes back)."""
    ftp = ftplib.FTP(encoding='latin-1', timeout=timeout)
    ftp.connect(HOST, server.port)
    ftp.login(user, password)
    ftp.set_pasv(passive)
    return ftp


def raw(text):
    return text.encode('latin-1')


def retr(ftp, path):
    """The bytes RETR `path` (str or bytes) brings."""
    if isinstance(path, bytes):
        path = path.decode('latin-1')
    chunks = []
    ftp.retrbinary('RETR ' + path, chunks.append)
    return b''.join(chunks)


# --- trees -----------------------------------------------------------------

DIR = 'DIR'
Link = namedtuple('Link', 'target')
OTHER = 'OTHER'


def _name(key):
    name = to_bytes(key)
    if not name or b'/' in name or name in (b'.', b'..'):
        raise ValueError('bad entry name %r' % (key,))
    return name


# A tree as a data drop usually is when it is mirrored: written a while ago,
# so the tool has no reason to look at its files twice (see fresh=).
WEEK_S = 7 * 24 * 3600


def make_tree(root, shape, fresh=False):
    """Creates `shape` under `root` and returns Path(root).

    shape: {name: bytes | dict}; str names are stored GBK-encoded, like every
    str this harness turns into bytes, bytes names as they are (e.g. a UTF-8
    name: '名字'.encode()). Everything is made world-readable so both servers
    serve it to anonymous users, and dated a week back unless `fresh`.
    """
    root = Path(root)
    root.mkdir(parents=True, exist_ok=True)
    os.chmod(root, 0o755)
    _fill(os.fsencode(root), shape, None if fresh else time.time() - WEEK_S)
    return root


def _fill(base, shape, when):
    for key, value in shape.items():
        path = os.path.join(base, _name(key))
        if isinstance(value, dict):
            os.mkdir(path)
            os.chmod(path, 0o755)
            _fill(path, value, when)
        elif isinstance(value, (bytes, bytearray)):
            with open(path, 'wb') as f:
                f.write(value)
            os.chmod(path, 0o644)
        else:
            raise TypeError('shape value for %r must be bytes or dict' % (key,))
        if when is not None:
            os.utime(path, (when, when))


@contextlib.contextmanager
def appending(path):
    """Another process's upload: 10 KiB more at `path` every 100 ms."""
    stop = threading.Event()

    def append():
        while not stop.wait(0.1):
            with open(path, 'ab') as f:
                f.write(b'y' * 10240)

    writer = threading.Thread(target=append, daemon=True)
    writer.start()
    try:
        yield
    finally:
        stop.set()
        writer.join()


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

# The group's keys in the order they are written; the optional settings come
# before tail=, which ends the group.
TASK_FIELDS = ('host', 'port', 'user', 'pwd', 'ftppath', 'localpath', 'head',
               'parallel', 'passive', 'retries', 'tls', 'tlsca', 'min_age', 'charset', 'tail')


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
