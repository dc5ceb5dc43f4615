"""serve.py, the launcher of the tests outside Python: its first line, its
answers to LOG and its exit, for each kind of server."""

import ftplib
import os
import re
import socket
import subprocess

import pytest

from ftp_fixtures import (HOST, PYTHON, SERVERS_DIR, TEST_PASSWORD, TEST_USER, gbk,
                          make_tree)

GBK_DIR = gbk('中文目录')


def start(*args, prefix=()):
    proc = subprocess.Popen(list(prefix) + [PYTHON, str(SERVERS_DIR / 'serve.py')] + list(args),
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL)
    return proc, proc.stdout.readline()


def ask(proc, request):
    proc.stdin.write(request + b'\n')
    proc.stdin.flush()
    lines = []
    for line in iter(proc.stdout.readline, b'.\n'):
        assert line, 'serve.py went away'
        lines.append(line[:-1])
    return lines


# vsftpd shows the bytes it deems unprintable as '?'.
@pytest.mark.parametrize('kind, logged_dir', [
    ('pyftpd', GBK_DIR), ('vsftpd', b'?' * len(GBK_DIR)), ('fault', GBK_DIR),
])
def test_port_log_and_stop(tmp_path, kind, logged_dir):
    root = make_tree(tmp_path / 'r', {GBK_DIR: {'f': b'x'}})
    proc, first = start(kind, '--root', str(root), '--user', TEST_USER,
                        '--password', TEST_PASSWORD, '--no-mlsd')
    try:
        assert first.startswith(b'PORT ') and first.endswith(b'\n'), first
        port = int(first.split()[1])
        assert ask(proc, b'LOG') == []
        ftp = ftplib.FTP(encoding='latin-1', timeout=20)
        ftp.connect(HOST, port)  # ftp_login() wants a server object
        ftp.login(TEST_USER, TEST_PASSWORD)
        ftp.cwd(GBK_DIR.decode('latin-1'))
        ftp.quit()
        login = b'LOGIN ' + TEST_USER.encode()
        assert ask(proc, b'LOG') == [b'USER ' + TEST_USER.encode(), b'PASS ******', login,
                                     b'CWD ' + logged_dir, b'QUIT']
        everything = ask(proc, b'LOG ALL')
        assert all(re.match(rb'\d+ [^ ]', line) for line in everything), everything
        words = [line.split(b' ')[1] for line in everything]
        assert words.count(b'LOGIN') == 1 and words.count(b'CONNECT') == 1
        assert (b'230' in words) == (kind == 'vsftpd')  # only vsftpd logs replies
        proc.stdin.close()
        assert proc.wait(20) == 0
        assert proc.stdout.read() == b''
        with socket.socket() as s:
            assert s.connect_ex((HOST, port)) != 0
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def as_nobody():
    # vsftpd needs root; without root serve.py says so.
    return ['setpriv', '--reuid=nobody', '--regid=nogroup', '--clear-groups'] \
        if os.geteuid() == 0 else []


@pytest.mark.parametrize('args, prefix, first, code', [
    (['vsftpd', '--root', '/'], as_nobody(), b'SKIP vsftpd needs root', 0),
    (['pyftpd', '--root', '/nonexistent'], [], b'FAIL pyftpd_server.py: error: --root', 1),
    (['fault', '--root', '/', '--tls-cert', 'c'], [], b'FAIL fault does not take --tls-cert', 1),
    (['ftpd', '--root', '/'], [], b'FAIL argument kind', 1),
])
def test_skip_and_fail(args, prefix, first, code):
    proc, line = start(*args, prefix=prefix)
    proc.stdin.close()
    assert line.startswith(first) and line.endswith(b'\n'), line
    assert proc.wait(20) == code
    assert proc.stdout.read() == b''
