"""The misbehaving server does what its scenarios say, seen from a plain
client (ftplib, active mode), so a fault case that passes is known to have
met its fault."""

import ftplib
import socket
import threading
import time

import pytest

from ftp_fixtures import fault_ftpd, gbk, make_tree

DATA = bytes(range(256)) * 120 + b'\r\n\x00tail'
GBK_NAME = gbk('名字.zip')
TREE = {'d': {'f.bin': DATA, GBK_NAME: b'gbk\n', 'sub': {}}}


@pytest.fixture
def remote(tmp_path):
    return make_tree(tmp_path / 'remote', TREE)


def connect(server, timeout=10):
    ftp = ftplib.FTP(encoding='latin-1', timeout=timeout)
    ftp.connect('127.0.0.1', server.port)
    ftp.login('anonymous', 'x@example.com')
    ftp.set_pasv(False)
    return ftp


def retr(ftp, path):
    chunks = []
    ftp.retrbinary('RETR ' + path, chunks.append)
    return b''.join(chunks)


def raw(text):
    return text.encode('latin-1')


def test_plain_server_lists_and_serves_raw_names(remote):
    with fault_ftpd(remote) as server:
        ftp = connect(server)
        assert raw(ftp.pwd()) == b'/'
        ftp.cwd('d')
        assert sorted(map(raw, ftp.nlst())) == sorted([b'f.bin', GBK_NAME, b'sub'])
        facts = {raw(name): f for name, f in ftp.mlsd()}
        assert facts[b'f.bin']['type'] == 'file' and facts[b'f.bin']['size'] == str(len(DATA))
        assert facts[b'sub']['type'] == 'dir'
        lines = []
        ftp.retrlines('LIST', lines.append)
        assert any(raw(l).startswith(b'drwxr-xr-x') and raw(l).endswith(b' sub') for l in lines)
        assert retr(ftp, 'f.bin') == DATA
        assert retr(ftp, GBK_NAME.decode('latin-1')) == b'gbk\n'
        assert ftp.size('/d/f.bin') == len(DATA)
        with pytest.raises(ftplib.error_perm, match='^550'):
            ftp.cwd('/missing')
        ftp.quit()
        assert server.logins() == 1
        assert server.faults() == []


@pytest.mark.parametrize('then, error', [('426', ftplib.error_temp), ('226', None)])
def test_cut_sends_a_third_then_the_reply(remote, then, error):
    scenario = {'faults': [dict(on='RETR', path='/d/f.bin', do='cut', then=then, times=1)]}
    with fault_ftpd(remote, scenario) as server:
        ftp = connect(server)
        chunks = []
        if error:
            with pytest.raises(error, match='^426'):
                ftp.retrbinary('RETR /d/f.bin', chunks.append)
        else:
            ftp.retrbinary('RETR /d/f.bin', chunks.append)
        assert b''.join(chunks) == DATA[:len(DATA) // 3]
        # "times": the second fetch is whole again.
        assert retr(ftp, '/d/f.bin') == DATA
        assert server.faults() == ['cut']


def test_stall_sends_a_third_then_nothing(remote):
    scenario = {'faults': [dict(on='RETR', do='stall')]}
    with fault_ftpd(remote, scenario) as server:
        ftp = connect(server, timeout=1.5)
        conn = ftp.transfercmd('RETR /d/f.bin')
        got = b''
        with pytest.raises(socket.timeout):
            while True:
                chunk = conn.recv(65536)
                assert chunk, 'the data connection was closed'
                got += chunk
        assert got == DATA[:len(DATA) // 3]
        with pytest.raises(socket.timeout):
            ftp.getresp()
        conn.close()
        ftp.close()


@pytest.mark.parametrize('eprt', [True, False])
def test_no_connect_accepts_the_address_but_never_connects(remote, eprt):
    scenario = {'eprt': eprt, 'faults': [dict(on='LISTING', do='no_connect', reply='150 Soon.')]}
    with fault_ftpd(remote, scenario) as server:
        ftp = connect(server)
        listener = socket.socket()
        listener.bind(('127.0.0.1', 0))
        listener.listen(1)
        listener.settimeout(1.0)
        port = listener.getsockname()[1]
        if eprt:
            assert ftp.sendcmd('EPRT |1|127.0.0.1|%d|' % port).startswith('200')
        else:
            with pytest.raises(ftplib.error_perm, match='^500'):
                ftp.sendcmd('EPRT |1|127.0.0.1|%d|' % port)
            assert ftp.sendcmd('PORT 127,0,0,1,%d,%d' % (port >> 8, port & 255)).startswith('200')
        assert ftp.sendcmd('LIST').startswith('150')
        with pytest.raises(socket.timeout):
            listener.accept()
        listener.close()
        ftp.close()


def test_size_fault_announces_one_size_and_sends_another(remote):
    scenario = {'faults': [dict(on='RETR', path='/d/f.bin', do='size', announce=5, send=7)]}
    with fault_ftpd(remote, scenario) as server:
        ftp = connect(server)
        assert ftp.size('/d/f.bin') == 5
        conn, announced = ftp.ntransfercmd('RETR /d/f.bin')
        data = b''
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                break
            data += chunk
        conn.close()
        ftp.voidresp()
        assert (announced, data) == (5, DATA[:7])


def test_body_hold_and_login_faults(remote, tmp_path):
    body = tmp_path / 'body'
    body.write_bytes(b'whatever\r\n\x00bytes')
    go = tmp_path / 'go'
    scenario = {'faults': [
        dict(on='LISTING', path='/d/sub', do='body', body_file=str(body)),
        dict(on='RETR', path='/d/f.bin', do='hold', until=str(go)),
        dict(on='PASS', do='reply', reply='530 Not today.', times=1),
    ]}
    with fault_ftpd(remote, scenario) as server:
        with pytest.raises(ftplib.error_perm, match='^530'):
            connect(server)
        ftp = connect(server)
        chunks = []
        ftp.retrbinary('LIST /d/sub', chunks.append)
        assert b''.join(chunks) == body.read_bytes()
        begun = time.monotonic()
        threading.Timer(0.5, go.touch).start()
        assert retr(ftp, '/d/f.bin') == DATA
        assert time.monotonic() - begun >= 0.4
        assert server.faults() == ['reply', 'body', 'hold']


def test_refused_at_connect(remote):
    scenario = {'faults': [dict(on='CONNECT', do='reply', reply='421 Busy.')]}
    with fault_ftpd(remote, scenario) as server:
        with socket.create_connection(('127.0.0.1', server.port), timeout=5) as s:
            assert s.recv(100) == b'421 Busy.\r\n'
            assert s.recv(100) == b''
