"""Live data drops: a file the server is still writing is never published,
a transfer whose bytes all came is kept although its final reply never
comes, and min_age leaves files that are too new. The task succeeds and the
walk goes on; the rerun once the server is quiet fetches what was left."""

import time

import pytest

from fault_cases import (SLACK_S, TASK_FAILED, fetched, gbk, run_fault_case, succeeded, to_b)
from ftp_fixtures import appending, fault_ftpd, pyftpd, vsftpd

BIG = b'x' * 200 * 1024
TREE = {'d': {'a.zip': b'first\n', 'name_big.zip': BIG, 'z.zip': b'last\n'}}
LEFT = {'a.zip': b'first\n', 'z.zip': b'last\n'}
# The tool's own wait between the listing and the second look at a fresh file.
SETTLE_S = 1.0


def skipped(remote):
    return gbk('跳过仍在变化的文件 ') + to_b(remote) + b'\r\n'


PASSED_OVER = [fetched('/d/a.zip'), skipped('/d/name_big.zip'), fetched('/d/z.zip'), succeeded(2)]


@pytest.mark.parametrize('parallel', [1, 4])
def test_file_appended_to_during_the_run_is_never_published(tmp_path, parallel):
    # pyftpdlib (LIST only, which it sorts) serves a file that another
    # process appends 10 KiB to every 100 ms while the tool runs.
    remote = tmp_path / 'remote'
    final = {}

    def append(server):
        with appending(remote / 'd' / 'name_big.zip'):
            time.sleep(SETTLE_S + 2)

    def settled():
        final.update(LEFT, **{'name_big.zip': (remote / 'd' / 'name_big.zip').read_bytes()})

    run_fault_case(tmp_path, TREE, None, '/d', PASSED_OVER, LEFT, SETTLE_S + SLACK_S,
                   task_fails=False, server_factory=lambda: pyftpd(remote, mlsd=False),
                   during=append, before_rerun=settled, rerun_tree=final,
                   settings={'parallel': parallel}, fresh=True)


@pytest.mark.parametrize('when', ['before', 'after'])
def test_file_that_changed_since_its_listing_is_passed_over(tmp_path, when):
    # Between the listing and the RETR (the count differs from the listing's)
    # or while the transfer ends (only the second look shows it).
    scenario = {'faults': [dict(on='RETR', path='/d/name_big.zip', do='grow', by=100, when=when)]}
    grown = dict(LEFT, **{'name_big.zip': BIG + b'+' * 100})
    run_fault_case(tmp_path, TREE, scenario, '/d', PASSED_OVER, LEFT, SETTLE_S + SLACK_S,
                   task_fails=False, rerun_tree=grown, fresh=when == 'after')


def test_all_bytes_and_no_final_reply_keep_the_file(tmp_path):
    # The server sends the whole file, closes the data connection and never
    # answers (a NAT that dropped the control connection): the file counts,
    # and the walk goes on over a new connection.
    scenario = {'faults': [dict(on='RETR', path='/d/name_big.zip', do='cut', at=1.0,
                                then='silent')]}
    lines = [fetched('/d/a.zip'), fetched('/d/name_big.zip'), fetched('/d/z.zip'), succeeded(3)]
    run_fault_case(tmp_path, TREE, scenario, '/d', lines, TREE['d'], 15, task_fails=False)


@pytest.mark.parametrize('server', ['mlsd', 'vsftpd'])
def test_min_age_leaves_files_that_are_too_new(tmp_path, server):
    # MLSD's modify fact (the scripted server, which sorts its MLSD), or
    # MDTM on vsftpd, which lists with LIST.
    remote = tmp_path / 'remote'
    factory = {'mlsd': lambda: fault_ftpd(remote), 'vsftpd': lambda: vsftpd(remote)}[server]
    names = ['/d/a.zip', '/d/name_big.zip', '/d/z.zip']
    lines = sorted(skipped(n) for n in names) + [succeeded(0)]
    result = run_fault_case(tmp_path, TREE, None, '/d', lines, {}, SLACK_S, task_fails=False,
                            server_factory=factory, settings={'min_age': 3600}, fresh=True)
    assert result.code == 0


def test_min_age_on_a_server_that_tells_no_times_fails_the_task(tmp_path):
    line = gbk('服务器不提供文件的修改时间（MLSD 或 MDTM），无法按 min_age=60 检查 /d/a.zip\r\n')
    run_fault_case(tmp_path, TREE, {'mlsd': False}, '/d', [line, TASK_FAILED], {}, SLACK_S,
                   settings={'min_age': 60})
