"""Faults from outside while a task runs: the local directory being filled
is removed, and the tool itself is killed with SIGKILL mid-transfer. Nothing
is left under a final name that is not complete, no stray file anywhere, and
a rerun completes the mirror."""

import os
import shutil
import signal
import time

import pytest

from fault_cases import (BIG, SLACK_S, TASK_FAILED, assert_local, created, fetch_failed,
                         fetched, local_b, run_fast, run_fault_case, start_fast, subtree, tmpfs)
from ftp_fixtures import fault_ftpd, make_tree, pyftpd, task_for, write_config

TREE = {'d': {'a.zip': b'top\n', 'sub': {'b.zip': b'below\n', 'c.zip': b'also below\n'}}}


@pytest.mark.parametrize('when', ['before-listing', 'during-fetch'])
def test_target_directory_removed_mid_walk(tmp_path, when):
    # The server holds still at the right moment until the test has removed
    # the local sub-directory the walk just created, then carries on.
    trigger = tmp_path / 'go'
    on = (dict(on='LISTING', path='/d/sub') if when == 'before-listing'
          else dict(on='RETR', path='/d/sub/b.zip'))
    scenario = {'faults': [dict(on, do='hold', until=str(trigger))]}
    local = tmp_path / 'local'
    local.mkdir()

    def remove_sub(server):
        assert server.wait_for_log(b' FAULT hold'), 'the walk never got there'
        shutil.rmtree(local / 'sub')
        trigger.touch()

    run_fault_case(tmp_path, TREE, scenario, '/d',
                   [fetched('/d/a.zip'), created(local_b(local / 'sub')),
                    fetch_failed('/d/sub/b.zip'), TASK_FAILED],
                   {'a.zip': TREE['d']['a.zip']}, SLACK_S, local=local, during=remove_sub)


@pytest.mark.parametrize('where', ['tmpfs', 'tmp_path'])
def test_killed_mid_transfer(tmp_path, where):
    tree = {'d': {'a.zip': b'before\n', 'big.bin': BIG, 'z.zip': b'after\n'}}
    remote = make_tree(tmp_path / 'remote', tree)
    config = tmp_path / 'tasks.cnf'
    # 1 MB/s: the 3 MB file takes three seconds, time enough to kill it.
    scenario = {'faults': [dict(on='RETR', path='/d/big.bin', do='throttle', rate=1024 * 1024)]}
    with tmpfs(tmp_path / 'mnt', '16m') if where == 'tmpfs' else no_mount(tmp_path) as fs:
        if fs is None:
            pytest.skip('mounting is not allowed here')
        local = fs.path
        with fault_ftpd(remote, scenario) as server:
            write_config(config, [task_for(server, '/d', local)])
            tool = start_fast(config)
            try:
                assert server.wait_for_log(b' FAULT throttle'), 'the transfer never started'
                # Until a good part of the file sits in the tool's unnamed file.
                deadline = time.monotonic() + 10
                while unnamed_file_size(tool.pid, local) < 256 * 1024:
                    assert time.monotonic() < deadline, 'nothing written yet'
                    time.sleep(0.02)
                tool.send_signal(signal.SIGKILL)
                tool.wait(10)
                out = tool.stdout.read()
            finally:
                if tool.poll() is None:
                    tool.kill()
                    tool.wait()
                tool.stdout.close()
            assert tool.returncode == -signal.SIGKILL
            assert out.endswith(fetched('/d/a.zip')), out[-200:]
        # Only a.zip: no big.bin, no hidden or temporary file (ls -a), and
        # the unnamed file's space is back.
        assert_local(local, {'a.zip': tree['d']['a.zip']})
        if where == 'tmpfs':
            assert fs.used_bytes() <= 4096, fs.used_bytes()

        with pyftpd(remote) as plain:
            write_config(config, [task_for(plain, '/d', local)])
            rerun = run_fast(config)
            assert rerun.code == 0, rerun.stdout
            assert_local(local, subtree(tree, '/d'))


def unnamed_file_size(pid, directory):
    """Size of the file the process has open in `directory` without a name
    there (O_TMPFILE shows as "DIR/#inode (deleted)"); 0 when none."""
    prefix = os.fsencode(directory) + b'/#'
    fd_dir = '/proc/%d/fd' % pid
    for fd in os.listdir(fd_dir):
        try:
            target = os.readlink(os.path.join(os.fsencode(fd_dir), os.fsencode(fd)))
            if target.startswith(prefix):
                return os.stat(os.path.join(fd_dir, fd)).st_size
        except OSError:
            pass
    return 0


class no_mount:
    """The test's own directory in place of a tmpfs."""

    def __init__(self, tmp_path):
        self.path = tmp_path / 'local'

    def __enter__(self):
        self.path.mkdir()
        return self

    def __exit__(self, *exc):
        return False
