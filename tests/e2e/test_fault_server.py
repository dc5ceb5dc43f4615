"""The misbehaving server does what its scenarios say, seen from a plain
client (ftplib, or raw commands on a socket), so a fault case that passes is
known to have met its fault."""

import ftplib
import os
import re
import socket
import threading
import time

import pytest

from ftp_fixtures import HOST, fault_ftpd, ftp_login, gbk, make_tree, raw, retr

DATA = bytes(range(256)) * 120 + b'\r\n\x00tail'
GBK_NAME = gbk('名字.zip')
TREE = {'d': {'f.bin': DATA, GBK_NAME: b'gbk\n', 'sub': {}}}


@pytest.fixture
def remote(tmp_path):
    return make_tree(tmp_path / 'remote', TREE)


def test_plain_server_lists_and_serves_raw_names(remote):
    with fault_ftpd(remote) as server:
        ftp = ftp_login(server, passive=False)
        assert raw(ftp.pwd()) == b'/'
        ftp.cwd('d')
        assert sorted(map(raw, ftp.nlst())) == sorted([b'f.bin', GBK_NAME, b'sub'])
        facts = {raw(name): f for name, f in ftp.mlsd()}
        assert facts[b'f.bin']['type'] == 'file' and facts[b'f.bin']['size'] == str(len(DATA))
        st = os.stat(remote / 'd' / 'f.bin')
        assert facts[b'f.bin']['unique'] == '%xg%x' % (st.st_dev, st.st_ino)
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
        ftp = ftp_login(server, passive=False)
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
        ftp = ftp_login(server, passive=False, timeout=1.5)
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
        ftp = ftp_login(server, passive=False)
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
        ftp = ftp_login(server, passive=False)
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
            ftp_login(server, passive=False)
        ftp = ftp_login(server, passive=False)
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


# --- raw dialogues ---------------------------------------------------------

WAIT = 0.4


class Dialogue:
    """Commands sent one at a time on a raw control connection, and what came
    back: the text of every reply ('\\n' between the lines of a multi-line
    one), '-' where none came within WAIT, 'EOF' once the server hung up, and
    after a 1xx reply the bytes of the data connection, which the client
    opens to the port of the last 227/229 reply on 127.0.0.1 (the control
    connection's peer, whatever address a 227 names)."""

    def __init__(self, server):
        self.out = []
        self._buffer = b''
        self._data = None
        self._control = socket.create_connection((HOST, server.port), timeout=5)
        self._control.settimeout(WAIT)

    def run(self, commands):
        with self._control:
            self._replies()
            for command in commands:
                if self.out[-1] == 'EOF':
                    break
                try:
                    self._control.sendall(command.encode('latin-1') + b'\r\n')
                except OSError:
                    self.out.append('EOF')
                    break
                self._replies()
        return self.out

    def _reply(self):
        lines = []
        while not lines or not re.match(r'\d{3} ', lines[-1]) or lines[-1][:3] != lines[0][:3]:
            while b'\r\n' not in self._buffer:
                try:
                    chunk = self._control.recv(4096)
                except socket.timeout:
                    return '-'
                except ConnectionResetError:
                    return 'EOF'
                if not chunk:
                    return 'EOF'
                self._buffer += chunk
            line, _, self._buffer = self._buffer.partition(b'\r\n')
            lines.append(line.decode('latin-1'))
        return '\n'.join(lines)

    def _replies(self):
        while True:
            reply = self._reply()
            self.out.append(reply)
            port = re.match(r'229 .*\(\|\|\|(\d+)\|\)|227 .*\(\d+,\d+,\d+,\d+,(\d+),(\d+)\)', reply)
            if port:
                number = (int(port.group(1)) if port.group(1)
                          else int(port.group(2)) * 256 + int(port.group(3)))
                self._data = socket.create_connection((HOST, number), timeout=5)
            if not reply.startswith('1'):
                return
            if self._data is not None:
                self._read_data()

    def _read_data(self):
        data, conn, self._data = b'', self._data, None
        conn.settimeout(WAIT)
        with conn:
            try:
                while True:
                    chunk = conn.recv(65536)
                    if not chunk:
                        break
                    data += chunk
            except socket.timeout:
                self.out.append(data)
                self.out.append('-')
                return
        self.out.append(data)


def matches(got, want):
    if isinstance(want, bytes):
        return got == want
    if isinstance(want, re.Pattern):
        return isinstance(got, bytes) and want.fullmatch(got)
    return isinstance(got, str) and re.match(want, got, re.DOTALL)


LOGIN = ['USER u', 'PASS p']
IN = ['220', '331', '230']
BODY = b'type=file;size=1; cr\rin.zip\r\ntype=file;size=1; tab\tname\r\n' \
       b'type=file;size=1; gbk ' + GBK_NAME + b'\r\n'
THIRD = len(DATA) // 3
F = '/d/f.bin'


def fault(on, do, **kw):
    return dict(kw, on=on, do=do)


# Every misbehaviour the libcurl backend's tests need, and each scenario key.
# Columns: scenario, commands after the greeting, what came back, the SENT
# records (offset, bytes, path).
DIALOGUES = {
    'greeting-421': ({'faults': [fault('CONNECT', 'reply', reply='421 Too many users.')]},
                     ['NOOP'], ['421', 'EOF'], []),
    'no-greeting': ({'faults': [fault('CONNECT', 'stall')]}, ['USER u'], ['-', '-'], []),
    'greeting-120': ({'faults': [fault('CONNECT', 'reply', reply='120 Try later.', close=False)]},
                     ['USER u'], ['120', '-', '331'], []),
    'pass-530': ({'faults': [fault('PASS', 'reply', reply='530 Login incorrect.')]},
                 LOGIN, ['220', '331', '530'], []),
    'pass-hangup': ({'faults': [fault('PASS', 'hangup')]}, LOGIN, ['220', '331', 'EOF'], []),
    'cwd-silence': ({'faults': [fault('CWD', 'silence')]}, LOGIN + ['CWD /d', 'PWD'],
                    IN + ['-', '257 "/"'], []),
    'cwd-hangup': ({'faults': [fault('CWD', 'hangup', path='/d')]}, LOGIN + ['CWD /', 'CWD d'],
                   IN + ['250', 'EOF'], []),
    'mlsd-150-no-data': ({'faults': [fault('MLSD', 'no_connect', reply='150 Here it comes.')]},
                         LOGIN + ['EPSV', 'MLSD /d'], IN + ['229', '150', b'', '-', '-'], []),
    'mlsd-425': ({'faults': [fault('MLSD', 'reply', reply="425 Can't open data connection.")]},
                 LOGIN + ['EPSV', 'MLSD /d'], IN + ['229', '425'], []),
    'mlsd-450': ({'faults': [fault('LISTING', 'reply', reply='450 Not now.')]},
                 LOGIN + ['EPSV', 'MLSD /d'], IN + ['229', '450'], []),
    'mlsd-500-list-550': ({'mlsd': False, 'faults': [fault('LIST', 'reply', reply='550 No.')]},
                          LOGIN + ['MLSD /d', 'LIST /d'], IN + ['500', '550'], []),
    'cut-then-226': ({'faults': [fault('RETR', 'size', announce=100, send=50)]},
                     LOGIN + ['SIZE ' + F, 'EPSV', 'RETR ' + F],
                     IN + ['213 100', '229', r'150 .*\(100 bytes\)', DATA[:50], '226'],
                     [(0, 50, F)]),
    'cut-then-hangup': ({'faults': [fault('RETR', 'cut', then='close')]},
                        LOGIN + ['EPSV', 'RETR ' + F], IN + ['229', '150', DATA[:THIRD], 'EOF'],
                        [(0, THIRD, F)]),
    'mlsd-502-then-list': ({'faults': [fault('MLSD', 'reply', reply='502 Not implemented.')]},
                           LOGIN + ['EPSV', 'MLSD /d', 'EPSV', 'LIST /d'],
                           IN + ['229', '502', '229', '150',
                                 re.compile(rb'(-rw-r--r--|drwxr-xr-x) .*\r\n', re.DOTALL),
                                 '226'], []),
    'mlsd-raw-names': ({'faults': [fault('MLSD', 'body', body_file='BODY')]},
                       LOGIN + ['EPSV', 'MLSD /d'], IN + ['229', '150', BODY, '226'], []),
    'active-refused': ({'active': False},
                       LOGIN + ['EPRT |1|127.0.0.1|9|', 'PORT 127,0,0,1,0,9', 'PASV'],
                       IN + ['500', '500', r'227 .*\(127,0,0,1,'], []),
    'epsv-refused': ({'epsv': False}, LOGIN + ['EPSV', 'PASV', 'RETR ' + F],
                     IN + ['500', '227', '150', DATA, '226'], [(0, len(DATA), F)]),
    'pasv-behind-nat': ({'pasv_address': '10.9.8.7'}, LOGIN + ['PASV', 'RETR ' + F],
                        IN + [r'227 .*\(10,9,8,7,', '150', DATA, '226'], [(0, len(DATA), F)]),
    'rest': ({}, LOGIN + ['REST 1000', 'EPSV', 'RETR ' + F],
             IN + ['350', '229', r'150 .*\(%d bytes\)' % (len(DATA) - 1000), DATA[1000:], '226'],
             [(1000, len(DATA) - 1000, F)]),
    'rest-then-cut': ({'faults': [fault('RETR', 'cut', then='226')]},
                      LOGIN + ['REST 300', 'EPSV', 'RETR ' + F],
                      IN + ['350', '229', '150', DATA[300:300 + (len(DATA) - 300) // 3], '226'],
                      [(300, (len(DATA) - 300) // 3, F)]),
    'rest-past-end': ({}, LOGIN + ['REST 999999', 'EPSV', 'RETR ' + F], IN + ['350', '229', '554'],
                      []),
    'mlst': ({}, LOGIN + ['MLST ' + F, 'MLST /nothing'],
             IN + [r'250-Listing /d/f\.bin\n modify=\d{14};size=%d;type=file;unique=[0-9a-f]+g'
                   r'[0-9a-f]+; /d/f\.bin\n250 End\.$' % len(DATA), '550'], []),
    'mlst-off': ({'mlsd': False}, LOGIN + ['MLST ' + F], IN + ['500'], []),
    'cdir': ({'cdir': True}, LOGIN + ['EPSV', 'MLSD /d/sub'],
             IN + ['229', '150', re.compile(rb'modify=\d{14};size=\d+;type=cdir;unique=\w+; \.\r\n'),
                   '226'], []),
    'any-verb': ({'faults': [fault('EPSV', 'hangup', session=2), fault('USER', 'reply', times=1,
                                                                      reply='421 Not now.')]},
                 ['USER u'] + LOGIN + ['EPSV'], ['220', '421', '331', '230', '229'], []),
}


@pytest.mark.parametrize('name', sorted(DIALOGUES))
def test_dialogue(remote, tmp_path, name):
    scenario, commands, expected, sent = DIALOGUES[name]
    for f in scenario.get('faults', []):
        if f.get('body_file') == 'BODY':
            f['body_file'] = str(tmp_path / 'body')
            (tmp_path / 'body').write_bytes(BODY)
    with fault_ftpd(remote, scenario) as server:
        got = Dialogue(server).run(commands)
        assert len(got) == len(expected) and all(map(matches, got, expected)), got
        assert server.sent() == [(o, n, p.encode()) for o, n, p in sent]


def test_max_sessions_refuses_the_connection_beyond_and_session_picks_one(remote):
    scenario = {'max_sessions': 3,
                'faults': [fault('PASS', 'reply', reply='530 Not you.', session=2)]}
    with fault_ftpd(remote, scenario) as server:
        first = ftp_login(server, passive=False)
        second = ftplib.FTP(timeout=10)
        second.connect(HOST, server.port)
        with pytest.raises(ftplib.error_perm, match='^530'):
            second.login('anonymous', 'x@example.com')
        third = ftp_login(server, passive=False)
        with pytest.raises(ftplib.error_temp, match='^421 Too many connections'):
            ftp_login(server, passive=False)
        assert server.faults() == ['reply', 'max_sessions']
        assert server.max_concurrent_sessions() == 4
        third.quit()
        # The slot is free once the server has seen the session end.
        assert server.wait_for_log(b'3 CLOSE')
        assert retr(ftp_login(server, passive=False), '/d/f.bin') == DATA
        first.quit()
        second.close()
        assert server.sessions() == 5
