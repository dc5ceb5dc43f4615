"""FTP over TLS, and walks that go wrong without care: a directory that
contains itself, an empty ftppath on a login that does not land in "/".
Runs the tool without its 3 s pauses (VANDRISK_FAST_BIN)."""

import os
import shutil
import tempfile
from pathlib import Path

import pytest

from ftp_fixtures import (TEST_PASSWORD, TEST_USER, assert_tree, gbk, make_cert, make_tree,
                          pyftpd, run_tool, task_for, vsftpd, write_config)
from loopback import unavailable

REMOTE = {'data': {'a.txt': b'alpha\r\n', 'sub': {'b.bin': bytes(range(256)) * 100}}}


@pytest.fixture(autouse=True)
def usual_timeouts(monkeypatch):
    monkeypatch.setenv('VANDRISK_TEST_TIMEOUT_MS', '20000')


def run(tmp_path, *tasks):
    config = write_config(tmp_path / 'tasks.cnf', list(tasks))
    return run_tool('--cnf', config, binary=os.environ['VANDRISK_FAST_BIN'], timeout=120)


def tls_task(server, local, **settings):
    task = task_for(server, '/data', local, user=TEST_USER, pwd=TEST_PASSWORD)
    task.update(tls='1', **{key: str(value) for key, value in settings.items()})
    return task


@pytest.fixture
def certificate(tmp_path):
    return make_cert(tmp_path)


@pytest.mark.skipif(unavailable('vsftpd'), reason=str(unavailable('vsftpd')))
def test_tls_mirror_trusts_the_named_certificate_and_nothing_else(tmp_path, certificate):
    cert, key = certificate
    root = make_tree(tmp_path / 'remote', REMOTE)
    (tmp_path / 'other').mkdir()
    other, _ = make_cert(tmp_path / 'other')
    with vsftpd(root, user=TEST_USER, password=TEST_PASSWORD, tls=(cert, key)) as server:
        local = tmp_path / 'local'
        local.mkdir()
        done = run(tmp_path, tls_task(server, local, tlsca=cert))
        assert done.code == 0, done
        assert_tree(local, REMOTE['data'])
        commands = server.commands()
        # Nothing before the TLS handshake but AUTH; data protected too.
        assert commands[0] == 'AUTH' and commands.index('USER') > 0
        assert 'PBSZ' in commands and 'PROT' in commands
        logins = server.logins()

        # The system's CAs, or another certificate, do not vouch for this one:
        # no login at all, and the reason in one line.
        for settings in ({}, {'tlsca': other}):
            refused = run(tmp_path, tls_task(server, tmp_path / 'nowhere', **settings))
            assert refused.code == 1
            assert gbk('服务器证书验证失败\r\n下载任务失败\r\n') in refused.stdout
        assert server.logins() == logins
        assert server.count('USER') == 1


def test_tls_on_a_server_without_it_fails_without_a_clear_text_login(tmp_path, certificate):
    cert, _ = certificate
    root = make_tree(tmp_path / 'remote', REMOTE)
    with pyftpd(root, user=TEST_USER, password=TEST_PASSWORD) as server:
        refused = run(tmp_path, tls_task(server, tmp_path, tlsca=cert),
                      tls_task(server, tmp_path, tlsca=tmp_path / 'missing.pem'))
        assert refused.code == 1
        assert gbk('服务器不支持 TLS 加密（AUTH TLS 被拒绝）\r\n下载任务失败\r\n') in refused.stdout
        assert gbk('无法读取 tlsca 文件 %s\r\n下载任务失败\r\n'
                   % (tmp_path / 'missing.pem')) in refused.stdout
        assert 'USER' not in server.commands() and 'PASS' not in server.commands()


def test_a_link_back_up_is_skipped_at_its_first_level(tmp_path):
    # pyftpdlib's MLSD follows links: data/sub/up is listed as a directory,
    # with the unique fact of data itself.
    root = make_tree(tmp_path / 'remote', REMOTE)
    os.symlink('..', root / 'data' / 'sub' / 'up')
    with pyftpd(root) as server:
        for parallel in ('1', '4'):
            local = tmp_path / ('local' + parallel)
            local.mkdir()
            task = task_for(server, '/data', local)
            task['parallel'] = parallel
            done = run(tmp_path, task)
            assert done.code == 0, done
            assert gbk('跳过循环目录 /data/sub/up\r\n') in done.stdout
            assert gbk('成功下载 2 个文件') in done.stdout
            assert_tree(local, REMOTE['data'])
        # Every file once per run, nothing below the link.
        retrieved = [arg for verb, arg in server.command_lines() if verb == 'RETR']
        assert sorted(retrieved) == sorted([b'a.txt', b'b.bin'] * 2), retrieved


@pytest.mark.skipif(unavailable('vsftpd'), reason=str(unavailable('vsftpd')))
def test_empty_ftppath_starts_from_the_login_directory(tmp_path):
    # vsftpd's system user without chroot lands in its home; the same names
    # in "/" must not be what is fetched.
    top = Path(tempfile.mkdtemp(prefix='vsftpd-home-'))
    try:
        top.chmod(0o755)
        home = make_tree(top / 'home', REMOTE['data'])
        root = make_tree(tmp_path / 'remote', {'a.txt': b'the wrong one'})
        with vsftpd(root, user=TEST_USER, password=TEST_PASSWORD, user_home=home) as server:
            local = tmp_path / 'local'
            local.mkdir()
            task = task_for(server, '', local, user=TEST_USER, pwd=TEST_PASSWORD)
            done = run(tmp_path, task)
            assert done.code == 0, done
            assert_tree(local, REMOTE['data'])
            shown = os.fsencode(home)
            assert gbk('下载文件 ') + shown + b'/a.txt\r\n' in done.stdout
            assert gbk('下载文件 ') + shown + b'/sub/b.bin\r\n' in done.stdout
    finally:
        shutil.rmtree(top)
