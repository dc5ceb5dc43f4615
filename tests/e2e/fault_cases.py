"""What every fault case checks, in one place.

A fault case runs the short-timeout tool (VANDRISK_FAST_BIN) on a
configuration of two tasks: the first against a misbehaving server (or a
damaged local directory), the second against a plain pyftpdlib server. It
then checks the first task's exact output, that the second task still ran,
the exit status, the local trees (nothing partial, no stray file, also per
`ls -a`), that the run ended within the client's timeouts, and that a rerun
once the fault is gone completes the mirror.
"""

import contextlib
import os
import random
import resource
import signal
import subprocess
import threading
import time
from collections import namedtuple
from pathlib import Path

from ftp_fixtures import (assert_no_stray_files, assert_tree, fault_ftpd, gbk,
                          make_tree, pyftpd, task_for, write_config)

# The fast tool's client timeouts (connect, reply, accept, stall).
TIMEOUT_MS = 2000
TIMEOUT_S = TIMEOUT_MS / 1000.0
# libcurl's stall check averages the speed over about five seconds, so a
# stalled transfer ends some 6 s after the stall timeout (measured: ~8 s for
# 2 s).
STALL_S = TIMEOUT_S + 7.0
# Start-up, a second task and slow CI machines.
SLACK_S = 6.0

RunResult = namedtuple('RunResult', 'code stdout seconds')


# --- contents --------------------------------------------------------------

def payload(size, seed=1):
    """`size` reproducible bytes covering every byte value."""
    return random.Random(seed).randbytes(size)


BIG = payload(3 * 1024 * 1024)


# --- expected output -------------------------------------------------------

def started(server, ftppath):
    return gbk('开始下载任务 %s:%d ' % (server.host, server.port)) + to_b(ftppath) + b'\r\n'


def to_b(text):
    return text if isinstance(text, bytes) else text.encode('gbk')


def fetched(remote):
    return gbk('下载文件 ') + to_b(remote) + b'\r\n'


def fetch_failed(remote):
    return gbk('下载文件 ') + to_b(remote) + gbk(' 失败\r\n')


def created(local):
    return gbk('创建目录 ') + to_b(local) + b'\r\n'


def create_failed(local):
    return gbk('创建目录 ') + to_b(local) + gbk(' 失败\r\n')


def listing_start_failed(remote, code):
    return gbk('获取路径 ') + to_b(remote) + gbk(' 下的文件失败，errno=%d\r\n' % code)


def listing_broken(code):
    return gbk('获取 ftp 服务器文件列表失败 errno = %d\r\n' % code)


def unsafe_skipped(remote):
    return gbk('跳过不安全的文件名 ') + to_b(remote) + b'\r\n'


def unrecognized(line):
    return gbk('无法识别的列表行 ') + to_b(line) + b'\r\n'


CONNECT_FAILED = b'cant not open hIntSession\r\n'
TASK_FAILED = gbk('下载任务失败\r\n')


def succeeded(count):
    return gbk('成功下载 %d 个文件\r\n' % count)


def failed_tasks(count):
    return gbk('下载任务失败任务数为 %d\r\n' % count)


def total(count):
    return gbk('总共下载 %d 个文件\r\n' % count)


def local_b(path):
    """A local path as the tool prints it ('\\'-separated)."""
    return os.fsencode(path).replace(b'/', b'\\')


def task_outputs(stdout):
    """stdout after the loaded-tasks listing, split into one list of lines
    per task (each starting with its 开始下载任务 line) plus the summary."""
    marker = gbk('开始下载任务 ')
    assert stdout.endswith(b'\r\n'), stdout[-200:]
    lines = [line + b'\r\n' for line in stdout[:-2].split(b'\r\n')]
    tasks = []
    for line in lines:
        if line.startswith(marker):
            tasks.append([line])
        elif tasks:
            tasks[-1].append(line)
    assert tasks, stdout[-2000:]
    summary = tasks[-1].pop()
    return tasks, summary


# --- running the tool ------------------------------------------------------

def fast_tool():
    path = os.environ.get('VANDRISK_FAST_BIN')
    if not path:
        raise RuntimeError('VANDRISK_FAST_BIN is not set (CTest sets it)')
    return path


def run_fast(config, timeout=120, preexec_fn=None):
    """Runs the short-timeout tool on `config`; stdin is /dev/null."""
    env = dict(os.environ, VANDRISK_TEST_TIMEOUT_MS=str(TIMEOUT_MS))
    begun = time.monotonic()
    try:
        done = subprocess.run([fast_tool(), '--cnf', os.fspath(config)], env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              timeout=timeout, preexec_fn=preexec_fn)
    except subprocess.TimeoutExpired as err:
        raise AssertionError('the tool hung: no exit within %ss; stdout so far: %r'
                             % (timeout, err.stdout and err.stdout[-2000:])) from None
    return RunResult(done.returncode, done.stdout, time.monotonic() - begun)


def start_fast(config):
    """Starts the short-timeout tool without waiting (for kill tests)."""
    env = dict(os.environ, VANDRISK_TEST_TIMEOUT_MS=str(TIMEOUT_MS))
    return subprocess.Popen([fast_tool(), '--cnf', os.fspath(config)], env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)


# --- local checks ----------------------------------------------------------

def ls_a(directory):
    """`ls -a` of every directory below `directory` (itself included), so a
    hidden temporary left anywhere shows; '.' and '..' dropped."""
    found = {}
    for dirpath, dirnames, filenames in os.walk(os.fsencode(directory)):
        out = subprocess.run(['ls', '-a', '-1', dirpath], stdout=subprocess.PIPE,
                             check=True).stdout
        found[dirpath] = sorted(n for n in out.split(b'\n') if n not in (b'', b'.', b'..'))
    return found


def assert_local(directory, tree):
    """Exactly `tree` below `directory`: complete, byte-exact files only."""
    assert_tree(directory, tree)
    assert_no_stray_files(directory)
    for dirpath, names in ls_a(directory).items():
        assert not [n for n in names if n.startswith(b'.')], (dirpath, names)


# --- the second task -------------------------------------------------------

OTHER_TREE = {'o': {'other.zip': b'the second task still runs\n'}}


@contextlib.contextmanager
def second_task(tmp_path):
    """A plain server with one file for the task after the faulty one.
    Yields (task dict, local directory)."""
    local = tmp_path / 'local2'
    local.mkdir()
    with pyftpd(make_tree(tmp_path / 'remote2', OTHER_TREE)) as server:
        yield task_for(server, '/o', local), local, server


def second_task_lines(server):
    return [started(server, '/o'), fetched('/o/other.zip'), succeeded(1)]


# --- the whole case --------------------------------------------------------

def run_fault_case(tmp_path, remote_tree, scenario, ftppath, expected_lines,
                   local_after, max_seconds, head='', tail='', task_fails=True,
                   rerun_tree=None, local=None, before_rerun=None, server_factory=None,
                   preexec_fn=None, during=None, settings=None, fresh=False):
    """Runs one fault case end to end; returns the first run's RunResult.

    expected_lines: the first task's output after its 开始下载任务 line, the
    失败/成功 line included. local_after: the first task's local tree after
    the fault. rerun_tree: its tree after a rerun against a plain server of
    the same remote tree (default: everything in remote_tree below ftppath).
    before_rerun(): clears a local fault before the rerun. during(server):
    runs in a thread beside the first run, to do harm at the right moment.
    settings: optional keys of the first task ({'parallel': 4}); fresh: the
    remote tree is written just now instead of a week ago.
    """
    remote = make_tree(tmp_path / 'remote', remote_tree, fresh=fresh)
    if local is None:
        local = tmp_path / 'local'
        local.mkdir()
    config = tmp_path / 'tasks.cnf'
    factory = server_factory or (lambda: fault_ftpd(remote, scenario))
    with factory() as server, second_task(tmp_path) as (task2, local2, server2):
        write_config(config, [dict(task_for(server, ftppath, local, head, tail),
                                   **(settings or {})), task2])
        helper = Helper(during, server) if during else None
        try:
            result = run_fast(config, preexec_fn=preexec_fn)
        finally:
            if helper:
                helper.join()
        tasks, summary = task_outputs(result.stdout)
        assert len(tasks) == 2, result.stdout
        assert tasks[0] == [started(server, ftppath)] + expected_lines, (
            'first task printed:\n  %s' % '\n  '.join(repr(l) for l in tasks[0]))
        assert tasks[1] == second_task_lines(server2)
        if task_fails:
            assert (summary, result.code) == (failed_tasks(1), 1)
        else:
            assert result.code == 0 and summary.startswith(gbk('总共下载 '))
        assert result.seconds < max_seconds, 'took %.1fs' % result.seconds
        assert_local(local, local_after)
        assert_local(local2, OTHER_TREE['o'])

    if before_rerun:
        before_rerun()
    with pyftpd(remote) as plain:
        write_config(config, [task_for(plain, ftppath, local, head, tail)])
        rerun = run_fast(config)
        tasks, summary = task_outputs(rerun.stdout)
        assert rerun.code == 0 and summary.startswith(gbk('总共下载 ')), rerun.stdout
        assert_local(local, rerun_tree if rerun_tree is not None
                     else subtree(remote_tree, ftppath))
    return result


class Helper(threading.Thread):
    """Runs fn(arg) beside the tool; join() re-raises what it raised."""

    def __init__(self, fn, arg):
        super().__init__(daemon=True)
        self._fn, self._arg, self._error = fn, arg, None
        self.start()

    def run(self):
        try:
            self._fn(self._arg)
        except BaseException as error:  # handed to the test thread
            self._error = error

    def join(self, timeout=None):
        super().join(timeout)
        if self._error:
            raise self._error


def subtree(tree, ftppath):
    for part in [p for p in ftppath.split('/') if p]:
        tree = tree[part]
    return tree


# --- local file systems of the test's own -----------------------------------

def _run(*argv):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


@contextlib.contextmanager
def tmpfs(mount_point, size):
    """A tmpfs of `size` (e.g. '1m') mounted at `mount_point` for the block.
    Yields a Tmpfs, or None when mounting is not allowed here."""
    Path(mount_point).mkdir(parents=True, exist_ok=True)
    done = _run('mount', '-t', 'tmpfs', '-o', 'size=%s,mode=0755' % size, 'tmpfs',
                os.fspath(mount_point))
    if done.returncode != 0:
        yield None
        return
    try:
        yield Tmpfs(mount_point)
    finally:
        # Lazy, so a process that still has a file open there cannot keep
        # the mount behind after the test.
        _run('umount', '-l', os.fspath(mount_point))


class Tmpfs:
    def __init__(self, path):
        self.path = Path(path)

    def remount(self, options):
        done = _run('mount', '-o', 'remount,' + options, os.fspath(self.path))
        assert done.returncode == 0, done.stderr

    def used_bytes(self):
        st = os.statvfs(self.path)
        return (st.f_blocks - st.f_bfree) * st.f_frsize


def limit_file_size(limit):
    """A preexec_fn: files of the child may not grow past `limit` bytes, and
    a write past it fails with EFBIG instead of killing it with SIGXFSZ."""
    def apply():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    return apply
