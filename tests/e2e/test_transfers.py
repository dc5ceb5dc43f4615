"""Transfers for real networks, end to end: parallel connections, passive
mode, retries that resume. Runs the tool without its 3 s pauses
(VANDRISK_FAST_BIN) with the usual client timeouts.

The rule every case checks: whatever the settings, the console bytes and
the local tree are those of one connection doing one thing at a time.
"""

import os
import subprocess

import pytest

from ftp_fixtures import (SERVER_FACTORIES, TEST_PASSWORD, TEST_USER, assert_no_stray_files,
                          assert_tree, fault_ftpd, gbk, make_tree, run_tool, task_for,
                          tree_of, write_config)

SIZES = (0, 1, 4096, 300 * 1024, 70 * 1024)
REMOTE = {'d': {
    'f%d.bin' % i: bytes((i * 7 + n) % 251 for n in range(SIZES[i % len(SIZES)]))
    for i in range(8)}}
for sub in ('a', 'b', 'c'):
    REMOTE['d'][sub] = {'g%d.bin' % i: b'%s-%d\r\n' % (sub.encode(), i) * (i * 500)
                        for i in range(5)}
    REMOTE['d'][sub]['deeper'] = {'h.bin': b'h' * 100000}
BIG = bytes(range(256)) * 4096  # 1 MiB


@pytest.fixture(autouse=True)
def usual_timeouts(monkeypatch):
    monkeypatch.setenv('VANDRISK_TEST_TIMEOUT_MS', '20000')


def run(config, tasks):
    write_config(config, tasks)
    return run_tool('--cnf', config, binary=os.environ['VANDRISK_FAST_BIN'], timeout=120)


def with_settings(task, **settings):
    task = dict(task)
    task.update({key: str(value) for key, value in settings.items()})
    return task


@pytest.mark.parametrize('kind', sorted(SERVER_FACTORIES))
def test_parallel_gives_the_serial_result_over_several_connections(kind, tmp_path):
    root = make_tree(tmp_path / 'remote', REMOTE)
    with SERVER_FACTORIES[kind](root, user=TEST_USER, password=TEST_PASSWORD) as server:
        outputs = {}
        for parallel in (1, 4):
            local = tmp_path / ('local%d' % parallel)
            local.mkdir()
            task = with_settings(task_for(server, '/d', local, user=TEST_USER, pwd=TEST_PASSWORD),
                                 parallel=parallel)
            first = run(tmp_path / 'tasks.cnf', [task])
            rerun = run(tmp_path / 'tasks.cnf', [task])
            assert first.code == 0 and rerun.code == 0, (first, rerun)
            assert_tree(local, REMOTE['d'])
            assert_no_stray_files(local)
            outputs[parallel] = (first.stdout.replace(bytes(local).replace(b'/', b'\\'), b'L'),
                                 rerun.stdout.replace(bytes(local).replace(b'/', b'\\'), b'L'))
            if parallel == 1:
                assert server.max_concurrent_sessions() == 1
                server_sessions = server.sessions()
        assert outputs[4] == outputs[1]
        assert gbk('成功下载 26 个文件') in outputs[4][0]
        assert server.max_concurrent_sessions() > 1
        assert server.sessions() > server_sessions + 2


def test_passive_mode_works_where_the_server_refuses_active_mode(tmp_path):
    root = make_tree(tmp_path / 'remote', {'d': {'x.bin': BIG, 's': {'y': b'y'}}})
    # A 227 reply naming a private address: only the control connection's
    # peer can be reached.
    scenario = {'active': False, 'epsv': False, 'pasv_address': '10.255.255.1'}
    with fault_ftpd(root, scenario) as server:
        local = tmp_path / 'local'
        local.mkdir()
        task = task_for(server, '/d', local)
        refused = run(tmp_path / 'tasks.cnf', [task])
        assert refused.code == 1
        assert gbk('获取路径 /d 下的文件失败，errno=12003\r\n下载任务失败') in refused.stdout
        done = run(tmp_path / 'tasks.cnf', [with_settings(task, passive=1)])
        assert done.code == 0, done
        assert_tree(local, {'x.bin': BIG, 's': {'y': b'y'}})
        commands = server.commands()
        assert 'PASV' in commands and 'EPRT' in commands and 'PORT' in commands


def test_a_cut_transfer_resumes_with_rest_when_retries_allow(tmp_path):
    # Listed in name order: the big file first.
    root = make_tree(tmp_path / 'remote', {'d': {'big.bin': BIG, 'later.bin': b'later'}})
    cut = {'faults': [{'on': 'RETR', 'path': '/d/big.bin', 'do': 'cut', 'at': 0.4,
                       'then': '426', 'times': 1}]}
    with fault_ftpd(root, cut) as server:
        local = tmp_path / 'local'
        local.mkdir()
        task = task_for(server, '/d', local)
        # retries=0: today's failure, nothing under the final name.
        failed = run(tmp_path / 'tasks.cnf', [task])
        assert failed.code == 1
        assert gbk('下载文件 /d/big.bin 失败\r\n下载任务失败\r\n') in failed.stdout
        assert tree_of(local) == {}
    with fault_ftpd(root, cut) as server:
        task = task_for(server, '/d', local)
        done = run(tmp_path / 'tasks.cnf', [with_settings(task, retries=2)])
        assert done.code == 0, done
        assert gbk('下载文件 /d/big.bin\r\n下载文件 /d/later.bin\r\n成功下载 2 个文件') in done.stdout
        assert_tree(local, {'big.bin': BIG, 'later.bin': b'later'})
        # The second RETR starts where the cut one stopped: no byte twice.
        big = [(offset, count) for offset, count, path in server.sent() if path == b'/d/big.bin']
        assert len(big) == 2 and big[0][0] == 0 and big[1][0] == big[0][1], big
        assert big[0][1] + big[1][1] == len(BIG)
        assert server.count('REST') == 1
    # A server that refuses REST: the retry starts over into the same unnamed file.
    norest = {'faults': cut['faults'] + [{'on': 'REST', 'do': 'reply', 'reply': '502 No REST.'}]}
    with fault_ftpd(root, norest) as server:
        again = tmp_path / 'again'
        again.mkdir()
        done = run(tmp_path / 'tasks.cnf', [with_settings(task_for(server, '/d', again), retries=2)])
        assert done.code == 0, done
        assert_tree(again, {'big.bin': BIG, 'later.bin': b'later'})
        big = [(offset, count) for offset, count, path in server.sent() if path == b'/d/big.bin']
        assert [offset for offset, _ in big] == [0, 0] and big[1][1] == len(BIG), big


def test_a_server_that_allows_two_connections_serves_parallel_8(tmp_path):
    root = make_tree(tmp_path / 'remote', REMOTE)
    with fault_ftpd(root, {'max_sessions': 2}) as server:
        results = []
        for parallel in (1, 8):
            local = tmp_path / ('local%d' % parallel)
            local.mkdir()
            result = run(tmp_path / 'tasks.cnf',
                         [with_settings(task_for(server, '/d', local), parallel=parallel)])
            assert result.code == 0, result
            assert_tree(local, REMOTE['d'])
            results.append(result.stdout.replace(bytes(local).replace(b'/', b'\\'), b'L'))
        assert results[0] == results[1]
        # One login for the serial run, two for the parallel one; what it
        # opened beyond them was refused (421) and the task went on.
        assert server.logins() == 3
        assert server.sessions() > 3


def test_a_setting_the_tool_cannot_use_fails_only_its_task(tmp_path):
    root = make_tree(tmp_path / 'remote', {'d': {'x': b'x'}})
    with fault_ftpd(root) as server:
        local = tmp_path / 'local'
        local.mkdir()
        tasks = [with_settings(task_for(server, '/d', local), parallel=value)
                 for value in ('abc', '0', '1000')]
        tasks.append(with_settings(task_for(server, '/d', local), retries=11))
        tasks.append(with_settings(task_for(server, '/d', local), parallel=16, passive=1))
        result = run(tmp_path / 'tasks.cnf', tasks)
        assert result.code == 1
        for line in ('parallel=abc', 'parallel=0', 'parallel=1000', 'retries=11'):
            assert gbk('配置项 %s 的值无效\r\n下载任务失败\r\n' % line) in result.stdout
        assert gbk('成功下载 1 个文件\r\n下载任务失败任务数为 4\r\n') in result.stdout
        assert server.logins() == 1  # the refused tasks never logged in


def run_with_stderr(config, terminal):
    """(exit code, stdout, what standard error showed): a pipe, or a terminal."""
    if not terminal:
        done = subprocess.run([os.environ['VANDRISK_FAST_BIN'], '--cnf', str(config)],
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        return done.returncode, done.stdout, done.stderr
    master, slave = os.openpty()
    with subprocess.Popen([os.environ['VANDRISK_FAST_BIN'], '--cnf', str(config)],
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=slave) as proc:
        os.close(slave)
        shown = b''
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the program ended and the terminal closed
                break
            if not chunk:
                break
            shown += chunk
        out = proc.stdout.read()
    os.close(master)
    return proc.returncode, out, shown


def test_progress_shows_on_a_terminal_only_and_leaves_the_output_alone(tmp_path):
    slow = bytes(range(256)) * 1600  # 400 KiB at 200 KiB/s: two seconds
    root = make_tree(tmp_path / 'remote', {'d': {'slow.bin': slow}})
    throttle = {'faults': [{'on': 'RETR', 'do': 'throttle', 'rate': 200 * 1024}]}
    runs = []
    with fault_ftpd(root, throttle) as server:
        for terminal in (False, True):
            local = tmp_path / ('local%d' % terminal)
            local.mkdir()
            config = write_config(tmp_path / 'tasks.cnf', [task_for(server, '/d', local)])
            code, out, shown = run_with_stderr(config, terminal)
            assert code == 0
            assert_tree(local, {'slow.bin': slow})
            runs.append((out.replace(bytes(local).replace(b'/', b'\\'), b'L'), shown))
    assert runs[0][0] == runs[1][0]  # standard output never changes
    assert runs[0][1] == b''         # nothing at all without a terminal
    progress = runs[1][1]
    assert gbk('下载 /d/slow.bin  ') in progress and b'/s' in progress
    # Erased when the transfer ended: blanks over the line, back to its start.
    assert progress.endswith(b' \r'), progress[-80:]
