"""Large files: one file over several connections at once, and a killed run
that the next one resumes. The test build takes files of 1 MiB and more for
large (VANDRISK_TEST_LARGE_BYTES); the scripted server sends each session at
1 MiB/s, as servers that cap every session do."""

import os
import signal
import time

import pytest

from fault_cases import (TASK_FAILED, fetched, payload, run_fast, start_fast, succeeded,
                         task_outputs)
from ftp_fixtures import assert_tree, fault_ftpd, make_tree, task_for, write_config

LARGE = 1 << 20
BIG = payload(8 << 20, seed=7)
PARTIAL = b'.vandrisk\\partial'


@pytest.fixture(autouse=True)
def large_at_one_mib(monkeypatch):
    monkeypatch.setenv('VANDRISK_TEST_LARGE_BYTES', str(LARGE))


def capped(rate=1 << 20):
    return {'faults': [dict(on='RETR', path='/d/big.bin', do='throttle', rate=rate)]}


def config(tmp_path, server, local, parallel):
    task = dict(task_for(server, '/d', local), parallel=parallel)
    return write_config(tmp_path / 'tasks.cnf', [task])


def journal(local):
    path = os.path.join(os.fsencode(local), PARTIAL, b'big.bin.journal')
    return open(path, 'rb').read() if os.path.exists(path) else b''


def journaled_bytes(local):
    """Bytes the partial's journal says are on disk."""
    lines = [l.split() for l in journal(local).splitlines() if l.startswith(b'have ')]
    return sum(int(end) - int(begin) for _, begin, end in lines)


def most_transfers_at_once(server):
    """The most RETRs of big.bin under way at one moment, in log order."""
    running = most = 0
    for record in server.records():
        if record.kind == 'command' and record.verb == 'RETR' and record.arg.endswith(b'big.bin'):
            running += 1
            most = max(most, running)
        elif record.kind == 'sent' and record.arg.endswith(b'/d/big.bin'):
            running -= 1
    return most


def big_sent(server):
    """(offset, bytes) of every transfer of big.bin, once the server has
    logged them all (cut ones end on the server's side a little later)."""
    deadline = time.monotonic() + 10
    while True:
        records = server.records()
        retrs = sum(1 for r in records if r.kind == 'command' and r.verb == 'RETR'
                    and r.arg.endswith(b'big.bin'))
        sent = [(offset, count) for offset, count, path in server.sent() if path == b'/d/big.bin']
        if len(sent) >= retrs or time.monotonic() > deadline:
            return sorted(sent)
        time.sleep(0.05)


def kill_when_journaled(process, local, fraction):
    deadline = time.monotonic() + 60
    while journaled_bytes(local) < fraction * len(BIG) and time.monotonic() < deadline:
        assert process.poll() is None, 'the tool ended before it could be killed'
        time.sleep(0.05)
    process.send_signal(signal.SIGKILL)
    process.wait()


def test_a_large_file_comes_over_several_connections_at_once(tmp_path):
    remote = make_tree(tmp_path / 'remote', {'d': {'big.bin': BIG, 'z.zip': b'after\n'}})
    local = tmp_path / 'local'
    local.mkdir()
    with fault_ftpd(remote, capped(), log_path=tmp_path / 'log') as server:
        result = run_fast(config(tmp_path, server, local, 4))
        tasks, _ = task_outputs(result.stdout)
        assert tasks[0][1:] == [fetched('/d/big.bin'), fetched('/d/z.zip'), succeeded(2)]
        assert most_transfers_at_once(server) >= 3
        # Byte ranges of one file, each sent once but for the ends of cut ones.
        sent = big_sent(server)
        assert len(sent) >= 3 and sent[0][0] == 0, sent
        assert sum(count for _, count in sent) < len(BIG) * 1.1, sent
    assert_tree(local, {'big.bin': BIG, 'z.zip': b'after\n'})


@pytest.mark.parametrize('first, second', [(1, 1), (4, 4), (4, 1)])
def test_a_killed_run_goes_on_where_it_stopped(tmp_path, first, second):
    remote = make_tree(tmp_path / 'remote', {'d': {'big.bin': BIG}})
    local = tmp_path / 'local'
    local.mkdir()
    with fault_ftpd(remote, capped()) as server:
        kill_when_journaled(start_fast(config(tmp_path, server, local, first)), local, 0.5)
    # Nothing under the final name; what came is in the hidden partial.
    assert sorted(os.listdir(local)) == [PARTIAL.decode()]
    kept = journaled_bytes(local)
    with fault_ftpd(remote, capped(4 << 20)) as server:
        result = run_fast(config(tmp_path, server, local, second))
        sent = big_sent(server)
    assert result.code == 0 and fetched('/d/big.bin') in result.stdout
    assert_tree(local, {'big.bin': BIG})
    assert sorted(os.listdir(local)) == ['big.bin']
    # Only what the journal did not hold, and the 64 KiB before each point
    # where the killed run stopped, read again to check the disk against
    # (a cut range's end brings a little more).
    assert sent and sent[0][0] > 0, sent
    assert sum(count for _, count in sent) <= len(BIG) - kept + (64 << 10) * len(sent) + LARGE, sent


def test_a_partial_of_a_remote_file_that_changed_starts_over(tmp_path):
    remote = make_tree(tmp_path / 'remote', {'d': {'big.bin': BIG}})
    local = tmp_path / 'local'
    local.mkdir()
    with fault_ftpd(remote, capped()) as server:
        kill_when_journaled(start_fast(config(tmp_path, server, local, 1)), local, 0.25)
    # The same size, another time: another file.
    new = payload(len(BIG), seed=8)
    (remote / 'd' / 'big.bin').write_bytes(new)
    with fault_ftpd(remote, None) as server:
        result = run_fast(config(tmp_path, server, local, 1))
        sent = big_sent(server)
    assert result.code == 0
    assert sent == [(0, len(new))]
    assert_tree(local, {'big.bin': new})


def test_a_partial_whose_remote_file_went_is_removed(tmp_path):
    remote = make_tree(tmp_path / 'remote', {'d': {'big.bin': BIG, 'z.zip': b'z'}})
    local = tmp_path / 'local'
    local.mkdir()
    with fault_ftpd(remote, capped()) as server:
        kill_when_journaled(start_fast(config(tmp_path, server, local, 1)), local, 0.1)
    os.unlink(remote / 'd' / 'big.bin')
    with fault_ftpd(remote, None) as server:
        result = run_fast(config(tmp_path, server, local, 1))
    assert result.code == 0 and TASK_FAILED not in result.stdout
    assert_tree(local, {'z.zip': b'z'})
