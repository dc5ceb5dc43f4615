"""The loopback servers behave as the rest of the end-to-end suite assumes."""

import ftplib
import os
import shutil
import signal
import socket
import ssl
import subprocess
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

from pathlib import Path

import pytest

from ftp_fixtures import (PYTHON, SERVER_FACTORIES, SERVERS_DIR, TEST_PASSWORD,
                          TEST_USER, fault_ftpd, ftp_login, gbk, make_cert, make_tree,
                          pyftpd, raw, retr, vsftpd)

# Neither name is valid UTF-8, so a server that decodes names as UTF-8 cannot
# pass them through by luck (gbk('目录') happens to be valid UTF-8).
GBK_DIR = gbk('中文目录')
GBK_FILE = gbk('名字.zip')
# Covers every byte value, CR LF and NUL included: a text-mode transfer or a
# lossy server would change it.
PAYLOAD = bytes(range(256)) * 40 + b'\r\n\x00end'
TREE = {
    'x.txt': b'hello\n',
    GBK_DIR: {GBK_FILE: PAYLOAD, 'sub': {'deep.zip': b'deep'}},
}


@pytest.fixture
def remote(tmp_path):
    return make_tree(tmp_path / 'remote', TREE)


@pytest.fixture(params=sorted(SERVER_FACTORIES))
def kind(request):
    return request.param


def start(kind, root, **kw):
    if kw.get('user'):
        kw.setdefault('password', TEST_PASSWORD)
    return SERVER_FACTORIES[kind](root, **kw)


def curl(*args):
    done = subprocess.run(['curl', '-sS', '--max-time', '20'] + list(args),
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    assert done.returncode == 0, done.stderr
    return done.stdout


def quoted(name):
    return ''.join('%%%02X' % b for b in name)


# --- logins and transfers -------------------------------------------------

@pytest.mark.parametrize('passive', [True, False], ids=['passive', 'active'])
def test_anonymous_gbk_round_trip(kind, remote, passive):
    with start(kind, remote) as server:
        ftp = ftp_login(server, passive=passive)
        assert sorted(map(raw, ftp.nlst())) == sorted([b'x.txt', GBK_DIR])
        ftp.cwd(GBK_DIR.decode('latin-1'))
        assert raw(ftp.pwd()) == b'/' + GBK_DIR
        assert sorted(map(raw, ftp.nlst())) == sorted([GBK_FILE, b'sub'])
        assert retr(ftp, GBK_FILE) == PAYLOAD
        assert retr(ftp, b'/' + GBK_DIR + b'/sub/deep.zip') == b'deep'
        ftp.quit()


def test_user_login(kind, remote):
    with start(kind, remote, user=TEST_USER, password=TEST_PASSWORD) as server:
        ftp = ftp_login(server, TEST_USER, TEST_PASSWORD)
        assert raw(ftp.pwd()) == b'/'
        assert retr(ftp, b'x.txt') == b'hello\n'
        ftp.quit()
        with pytest.raises(ftplib.error_perm, match='^530'):
            ftp_login(server, TEST_USER, 'wrong-password')
        # Anonymous stays available next to the account.
        ftp_login(server).quit()


def test_anonymous_is_read_only(kind, remote):
    with start(kind, remote) as server:
        ftp = ftp_login(server)
        with pytest.raises(ftplib.error_perm, match='^5'):
            ftp.storbinary('STOR new.bin', _Reader(b'data'))
        with pytest.raises(ftplib.error_perm, match='^5'):
            ftp.mkd('newdir')
        ftp.quit()
    assert sorted(os.listdir(os.fsencode(remote))) == sorted([b'x.txt', GBK_DIR])


class _Reader:
    def __init__(self, data):
        self._data = data

    def read(self, _size=-1):
        data, self._data = self._data, b''
        return data


def test_pyftpd_without_anonymous(remote):
    with pyftpd(remote, user=TEST_USER, password=TEST_PASSWORD,
                anonymous=False) as server:
        with pytest.raises(ftplib.error_perm, match='^530'):
            ftp_login(server)
        ftp_login(server, TEST_USER, TEST_PASSWORD).quit()
        assert server.logins() == 1


def test_mlsd_on_and_off(remote):
    with pyftpd(remote) as server:
        ftp = ftp_login(server)
        names = {raw(name): facts['type'] for name, facts in
                 ftp.mlsd(GBK_DIR.decode('latin-1'))}
        assert names == {GBK_FILE: 'file', b'sub': 'dir'}
        assert 'MLST' in ftp.sendcmd('FEAT')
        ftp.quit()
    for server_cm in (pyftpd(remote, mlsd=False), vsftpd(remote)):
        with server_cm as server:
            ftp = ftp_login(server)
            with pytest.raises(ftplib.error_perm, match='^500'):
                list(ftp.mlsd('/'))
            assert 'MLST' not in ftp.sendcmd('FEAT')
            # The plain listing still works.
            assert len(ftp.nlst()) == 2
            ftp.quit()


def test_curl_active_listing_and_download(kind, remote):
    with start(kind, remote) as server:
        listing = curl('--ftp-port', '-', server.url('/'))
        lines = listing.splitlines()
        assert len(lines) == 2
        assert any(line.endswith(b' ' + GBK_DIR) for line in lines)
        assert any(line.endswith(b' x.txt') for line in lines)
        url = server.url('/%s/%s' % (quoted(GBK_DIR), quoted(GBK_FILE)))
        assert curl('--ftp-port', '-', url) == PAYLOAD
        assert curl(url) == PAYLOAD  # passive
        names = curl('--list-only', server.url('/%s/' % quoted(GBK_DIR)))
        assert sorted(names.splitlines()) == sorted([GBK_FILE, b'sub'])


# --- vsftpd's options --------------------------------------------------------

def test_vsftpd_explicit_ftps(remote, tmp_path):
    cert, key = make_cert(tmp_path)
    with vsftpd(remote, tls=(cert, key)) as server:
        tls = ['--ftp-ssl-reqd', '--cacert', str(cert)]
        url = server.url('/%s/%s' % (quoted(GBK_DIR), quoted(GBK_FILE)))
        assert curl(*tls, '--ftp-pasv', url) == PAYLOAD
        assert len(curl(*tls, '--ftp-pasv', server.url('/')).splitlines()) == 2
        # Debian 12's curl 7.88 cannot take an active-mode data connection
        # under TLS (curl issue 10666); ftplib shows the server can.
        for passive in (True, False):
            ftp = ftplib.FTP_TLS(context=ssl.create_default_context(cafile=str(cert)),
                                 encoding='latin-1', timeout=20)
            ftp.connect(server.host, server.port)
            ftp.login()
            ftp.prot_p()
            ftp.set_pasv(passive)
            assert retr(ftp, b'/x.txt') == b'hello\n'
            ftp.quit()
        with pytest.raises(ftplib.error_perm, match='^530'):
            ftp_login(server)
        commands = server.commands()
        assert commands[:2] == ['AUTH', 'USER'] and commands.count('AUTH') == 4


@pytest.fixture
def searchable_home():
    # vsftpd enters a local user's home with the user's rights, and pytest's
    # tmp_path is 0700 root.
    top = Path(tempfile.mkdtemp(prefix='vsftpd-home-'))
    top.chmod(0o755)
    yield make_tree(top / 'home', {'h.txt': b'home file\n'})
    shutil.rmtree(top)


def test_vsftpd_user_home_is_not_chrooted(remote, searchable_home):
    with vsftpd(remote, user=TEST_USER, password=TEST_PASSWORD,
                user_home=searchable_home) as server:
        ftp = ftp_login(server, TEST_USER, TEST_PASSWORD)
        assert raw(ftp.pwd()) == os.fsencode(searchable_home)
        assert retr(ftp, b'h.txt') == b'home file\n'
        ftp.cwd('/')
        assert retr(ftp, os.fsencode(searchable_home / 'h.txt')) == b'home file\n'
        ftp.quit()
        anonymous = ftp_login(server)
        assert raw(anonymous.pwd()) == b'/'
        anonymous.quit()


# --- protocol log ---------------------------------------------------------

def test_log_counts_logins_and_commands(kind, remote):
    with start(kind, remote, user=TEST_USER) as server:
        assert server.logins() == 0
        for _ in range(3):
            ftp = ftp_login(server)
            ftp.cwd(GBK_DIR.decode('latin-1'))
            ftp.quit()
        ftp_login(server, TEST_USER, TEST_PASSWORD).quit()
        assert server.logins() == 4
        commands = server.commands()
        assert commands.count('CWD') == 3
        assert commands.count('QUIT') == 4
        assert commands.count('USER') == 4
        assert commands[:1] == ['USER']
        assert TEST_PASSWORD.encode() not in server.log_bytes()
        if kind == 'pyftpd':
            assert commands.count('PASS') == 4
            assert server.sessions() == 4
            cwd_args = [a for w, a in server.command_lines() if w == 'CWD']
            assert cwd_args == [GBK_DIR] * 3


@pytest.mark.parametrize('factory', [pyftpd, vsftpd, fault_ftpd],
                         ids=['pyftpd', 'vsftpd', 'fault'])
def test_sixteen_sessions_at_once(remote, factory):
    # The tool may open up to 16 connections to one server; the log shows
    # them all open at the same time.
    parallel = 16
    together = threading.Barrier(parallel)

    def session(_):
        ftp = ftp_login(server)
        together.wait(30)
        data = retr(ftp, b'/' + GBK_DIR + b'/' + GBK_FILE)
        together.wait(30)
        ftp.quit()
        return data

    with factory(remote) as server:
        with ThreadPoolExecutor(parallel) as pool:
            assert list(pool.map(session, range(parallel))) == [PAYLOAD] * parallel
        assert server.logins() == parallel
        assert server.max_concurrent_sessions() == parallel


# --- lifecycle -------------------------------------------------------------

def launch(script, root):
    proc = subprocess.Popen([PYTHON, str(SERVERS_DIR / script), '--root',
                             str(root)], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE)
    line = proc.stdout.readline()
    assert line.startswith(b'PORT ') and line.endswith(b'\n'), line
    return proc, int(line.split()[1])


def refused(port):
    with socket.socket() as s:
        s.settimeout(5)
        return s.connect_ex(('127.0.0.1', port)) != 0


@pytest.mark.parametrize('how', ['stdin-eof', 'sigterm', 'sigint'])
@pytest.mark.parametrize('script', ['pyftpd_server.py', 'vsftpd_server.py'])
def test_stops_and_exits_zero(script, how, remote):
    proc, port = launch(script, remote)
    try:
        # A logged-in session must not outlive the stop (vsftpd's session
        # processes survive their listener).
        session = ftplib.FTP(timeout=10)
        session.connect('127.0.0.1', port)
        session.login()
        begun = time.monotonic()
        if how == 'stdin-eof':
            proc.stdin.close()
        else:
            proc.send_signal(signal.SIGTERM if how == 'sigterm' else
                             signal.SIGINT)
        assert proc.wait(10) == 0
        assert time.monotonic() - begun < 5
        assert proc.stdout.read() == b''
        assert refused(port)
        with pytest.raises((EOFError, OSError)):
            session.voidcmd('NOOP')
        session.close()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def test_parallel_vsftpd_instances(tmp_path):
    roots = [make_tree(tmp_path / str(i), {'n%d.zip' % i: b'%d' % i})
             for i in range(3)]
    with vsftpd(roots[0], user=TEST_USER, password=TEST_PASSWORD) as a, \
            vsftpd(roots[1], user=TEST_USER, password=TEST_PASSWORD) as b, \
            vsftpd(roots[2]) as c:
        assert len({a.port, b.port, c.port}) == 3
        for i, server in enumerate((a, b, c)):
            ftp = ftp_login(server)
            assert ftp.nlst() == ['n%d.zip' % i]
            ftp.quit()
        for i, server in enumerate((a, b)):
            ftp = ftp_login(server, TEST_USER, TEST_PASSWORD)
            assert retr(ftp, b'n%d.zip' % i) == b'%d' % i
            ftp.quit()
        assert [s.logins() for s in (a, b, c)] == [2, 2, 1]


def test_vsftpd_refuses_system_accounts(remote):
    done = subprocess.run([PYTHON, str(SERVERS_DIR / 'vsftpd_server.py'),
                           '--root', str(remote), '--user', 'root',
                           '--password', 'x'], stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=30)
    assert done.returncode != 0
    assert done.stdout == b''
    assert b'ftpusers' in done.stderr
