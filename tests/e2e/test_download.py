"""The real binary mirroring real servers: pyftpdlib (MLSD) and vsftpd (LIST).

Each run sleeps 3 s per successful task and 3 s at the end, so the cases
pack several checks into few runs.
"""

import hashlib
import os
import re

import pytest

from ftp_fixtures import (DIR, HOST, TEST_PASSWORD, TEST_USER, assert_no_stray_files,
                          assert_tree, gbk, make_tree, run_tool, task_for, tree_of,
                          write_config, SERVER_FACTORIES)

SERVERS = sorted(SERVER_FACTORIES)

GBK_DIR = '中文 目录'
REMOTE = {
    'data': {
        'name1.zip': b'1' * 100,
        'Name2.zip': b'upper case',
        'name3.ZIP': b'upper suffix',
        'other.zip': b'other prefix',
        'name1.zip.txt': b'wrong suffix',
        GBK_DIR: {
            'name 中文 x.zip': bytes(range(256)) * 10,
            'empty': {},
        },
        'a': {'b': {'name4.zip': b'x' * 5000, 'skip.txt': b's'}},
        'odd #%?;type=a': {'name5.zip': b'\r\n\r\n binary-safe \x00\x1a'},
    }
}


def expected_local(remote):
    """What head=name, tail=.zip leaves locally: every directory, matching files."""
    result = {}
    for name, value in remote.items():
        if isinstance(value, dict):
            result[name] = expected_local(value)
        elif name.startswith('name') and name.endswith('.zip'):
            result[name] = value
    return result


def lines(stdout):
    assert stdout.endswith(b'\r\n')
    return stdout[:-2].split(b'\r\n')


@pytest.fixture(params=SERVERS)
def server(request, tmp_path):
    root = make_tree(tmp_path / 'remote', REMOTE)
    with SERVER_FACTORIES[request.param](root, user=TEST_USER, password=TEST_PASSWORD) as srv:
        yield srv


def test_mirrors_as_anonymous_and_user_then_rerun_fetches_nothing(server, tmp_path):
    anon_dir = tmp_path / 'anon'
    user_dir = tmp_path / 'user'
    anon_dir.mkdir()
    user_dir.mkdir()
    config = write_config(tmp_path / 'tasks.cnf', [
        task_for(server, '/data', anon_dir, head='name', tail='.zip', user='', pwd=''),
        task_for(server, '/data', user_dir, head='name', tail='.zip',
                 user=TEST_USER, pwd=TEST_PASSWORD),
    ])

    code, out = run_tool('--cnf', config, timeout=60)
    assert code == 0, out
    expected = expected_local(REMOTE['data'])
    assert_tree(anon_dir, expected)
    assert_tree(user_dir, expected)
    assert_no_stray_files(anon_dir)

    got = lines(out)
    start = gbk('开始下载任务 %s:%d /data' % (HOST, server.port))
    assert got.count(start) == 2
    assert got.count(gbk('成功下载 4 个文件')) == 2
    assert got[-1] == gbk('总共下载 8 个文件')
    shown = os.fsencode(anon_dir).replace(b'/', b'\\')
    task_lines = got[got.index(start) + 1:got.index(gbk('成功下载 4 个文件'))]
    assert sorted(task_lines) == sorted([
        gbk('下载文件 /data/name1.zip'),
        gbk('创建目录 ') + shown + gbk('\\' + GBK_DIR),
        gbk('下载文件 /data/%s/name 中文 x.zip' % GBK_DIR),
        gbk('创建目录 ') + shown + gbk('\\%s\\empty' % GBK_DIR),
        gbk('创建目录 ') + shown + b'\\a',
        gbk('创建目录 ') + shown + b'\\a\\b',
        gbk('下载文件 /data/a/b/name4.zip'),
        gbk('创建目录 ') + shown + gbk('\\odd #%?;type=a'),
        gbk('下载文件 /data/odd #%?;type=a/name5.zip'),
    ])
    # Depth-first pre-order: a directory is created before anything below it.
    assert task_lines.index(gbk('创建目录 ') + shown + b'\\a') < \
        task_lines.index(gbk('创建目录 ') + shown + b'\\a\\b') < \
        task_lines.index(gbk('下载文件 /data/a/b/name4.zip'))

    # One login per task, active mode only, nothing fetched twice.
    assert server.logins() == 2
    commands = server.commands()
    assert 'PASV' not in commands and 'EPSV' not in commands
    assert commands.count('EPRT') + commands.count('PORT') > 0
    assert commands.count('RETR') == 8

    code, out = run_tool('--cnf', config, timeout=60)
    assert code == 0, out
    assert lines(out)[-5:] == [start, gbk('成功下载 0 个文件'), start, gbk('成功下载 0 个文件'),
                               gbk('总共下载 0 个文件')]
    assert server.commands().count('RETR') == 8
    assert server.logins() == 4
    assert_tree(anon_dir, expected)


def test_large_file_arrives_byte_exact(server, tmp_path):
    # 64 MiB of non-repeating bytes; a lost or doubled block would show.
    big = tmp_path / 'remote' / 'data' / 'a' / 'name_big.zip'
    with open(big, 'wb') as f:
        seed = b'vandrisk'
        for i in range(64 * 16):
            seed = hashlib.sha256(seed).digest()
            f.write((seed * 2048)[:65536 - 8] + i.to_bytes(8, 'big'))
    os.chmod(big, 0o644)
    local = tmp_path / 'local'
    local.mkdir()
    config = write_config(tmp_path / 'tasks.cnf', [
        task_for(server, '/data/a', local, head='name_big', tail='.zip')])
    code, out = run_tool('--cnf', config, timeout=120)
    assert code == 0, out
    with open(big, 'rb') as f:
        want = hashlib.sha256(f.read()).hexdigest()
    with open(local / 'name_big.zip', 'rb') as f:
        assert hashlib.sha256(f.read()).hexdigest() == want
    assert sorted(os.listdir(local)) == ['b', 'name_big.zip']
