"""Tests of the protocol-log reader and of the counting the benchmarks do with it."""

import pytest

import protocol_log

STAMP = 'Tue Dec  8 03:31:59 2026'


def connect(pid):
    return '%s [pid %d] CONNECT: Client "127.0.0.1"' % (STAMP, pid)


def command(pid, text, logged_in=True):
    return '%s [pid %d] %sFTP command: Client "127.0.0.1", "%s"' % (
        STAMP, pid, '[ftp] ' if logged_in else '', text)


def response(pid, text, logged_in=True):
    return '%s [pid %d] %sFTP response: Client "127.0.0.1", "%s"' % (
        STAMP, pid, '[ftp] ' if logged_in else '', text)


def login(pid):
    return '%s [pid %d] [ftp] OK LOGIN: Client "127.0.0.1", anon password "<no_password>"' % (
        STAMP, pid)


def download(pid, path, size):
    return ('%s [pid %d] [ftp] OK DOWNLOAD: Client "127.0.0.1", "%s", %d bytes, '
            '24390.24Kbyte/sec' % (STAMP, pid, path, size))


def session(pre, post, exchanges):
    """A whole anonymous session: exchanges are (command, reply) pairs after
    login; a reply of None sends none."""
    lines = [connect(pre), response(pre, '220 ready', False),
             command(pre, 'USER anonymous', False), login(pre + 1),
             response(post, '230 Login successful.')]
    for text, reply in exchanges:
        lines.append(command(post, text))
        if reply:
            lines.append(response(post, reply))
    return lines


def listing(directory, first=False, type_a=True):
    steps = [('CWD ' + directory, '250 ok')]
    if first:
        steps += [('EPRT |1|127.0.0.1|1000|', '200 ok'), ('TYPE A', '200 ascii'),
                  ('MLSD', '500 Unknown command.')]
    elif type_a:
        steps += [('EPRT |1|127.0.0.1|1001|', '200 ok'), ('TYPE A', '200 ascii')]
    else:
        steps += [('EPRT |1|127.0.0.1|1001|', '200 ok')]
    if first:
        steps.append(('EPRT |1|127.0.0.1|1002|', '200 ok'))
    steps.append(('LIST', '150 Here comes the directory listing.'))
    return steps


def fetch(name, type_i=False):
    steps = [('EPRT |1|127.0.0.1|2000|', '200 ok')]
    if type_i:
        steps.append(('TYPE I', '200 binary'))
    steps.append(('RETR ' + name, '150 Opening BINARY mode data connection'))
    return steps


def tool_walk():
    """What the tool sends for /A holding d1 (two files) and d2 (one file)."""
    steps = [('PWD', '257 "/"')]
    steps += listing('/A', first=True)
    steps += listing('/A/d1', type_a=False)
    steps += fetch('f1', type_i=True) + fetch('f2')
    steps += listing('/A/d2')
    steps += fetch('f1', type_i=True)
    steps.append(('QUIT', '221 Goodbye.'))
    lines = session(100, 102, steps)
    for path in ('/A/d1/f1', '/A/d1/f2', '/A/d2/f1'):
        lines.append(download(102, path, 4096))
    return lines


def verbs(cycles):
    return [[c.verb for c in cycle] for cycle in cycles]


def test_counts_of_a_whole_walk():
    counts = protocol_log.analyse(tool_walk())
    assert (counts.connects, counts.logins, counts.downloads) == (1, 1, 3)
    assert counts.download_bytes == 3 * 4096
    assert [c.verb for c in counts.setup] == ['USER', 'PWD']
    assert [c.verb for c in counts.teardown] == ['QUIT']
    assert counts.mix['EPRT'] == 7 and counts.mix['RETR'] == 3 and counts.mix['MLSD'] == 1
    assert counts.commands == sum(counts.mix.values()) == 24


def test_each_transfer_closes_one_cycle_and_a_refused_listing_does_not():
    counts = protocol_log.analyse(tool_walk())
    assert verbs(counts.dir_cycles) == [
        ['CWD', 'EPRT', 'TYPE', 'MLSD', 'EPRT', 'LIST'],
        ['CWD', 'EPRT', 'LIST', 'TYPE'],
        ['CWD', 'EPRT', 'TYPE', 'LIST', 'TYPE'],
    ]
    assert verbs(counts.file_cycles) == [['EPRT', 'RETR']] * 3
    assert counts.per_file() == 2.0
    assert counts.per_dir() == pytest.approx(15 / 3)


def test_only_the_mlsd_probe_is_over_budget():
    file_over, dir_over = protocol_log.analyse(tool_walk()).over_budget()
    assert not file_over
    assert dict(dir_over) == {'EPRT/PORT': 1, 'LIST/MLSD': 1}


@pytest.mark.parametrize('steps, file_over, dir_over', [
    # A SIZE before every RETR (lftp, curl) is beyond the file budget.
    (listing('/A') + [('SIZE f', '213 4'), ('PORT 127,0,0,1,4,1', '200 ok'),
                      ('RETR f', '150 ok')], {'SIZE': 1}, {}),
    # A CWD before each file is, too.
    (listing('/A') + [('CWD /A', '250 ok')] + fetch('f'), {'CWD': 1}, {}),
    # Two TYPE A switches for one listing: one too many.
    ([('CWD /A', '250 ok'), ('TYPE A', '200 ok'), ('TYPE A', '200 ok'),
      ('PORT 127,0,0,1,4,1', '200 ok'), ('LIST', '150 ok')], {}, {'TYPE A': 1}),
    # wget's plan: binary type throughout, nothing beyond budget.
    ([('TYPE I', '200 ok'), ('CWD /A', '250 ok'), ('PORT 127,0,0,1,4,1', '200 ok'),
      ('LIST', '150 ok'), ('PORT 127,0,0,1,4,2', '200 ok'), ('RETR f', '150 ok')], {}, {}),
])
def test_budget(steps, file_over, dir_over):
    counts = protocol_log.analyse(session(1, 3, steps))
    got_file, got_dir = counts.over_budget()
    assert dict(got_file) == file_over
    assert dict(got_dir) == dir_over


def test_a_failed_retr_is_charged_to_the_next_transfer():
    steps = listing('/A') + [('EPRT |1|127.0.0.1|9|', '200 ok'),
                             ('RETR gone', '550 Failed to open file.')] + fetch('f')
    counts = protocol_log.analyse(session(1, 3, steps))
    assert len(counts.file_cycles) == 1
    assert verbs(counts.file_cycles) == [['EPRT', 'RETR', 'EPRT', 'RETR']]


def test_setup_is_only_the_start_of_a_session():
    steps = [('SYST', '215 UNIX'), ('FEAT', '211 end')] + listing('/A') + \
        [('PWD', '257 "/A"')] + fetch('f')
    counts = protocol_log.analyse(session(1, 3, steps))
    assert [c.verb for c in counts.setup] == ['USER', 'SYST', 'FEAT']
    assert verbs(counts.file_cycles) == [['PWD', 'EPRT', 'RETR']]


def test_interleaved_sessions_are_kept_apart():
    one = session(10, 12, listing('/A', type_a=False) + fetch('a'))
    two = session(20, 22, listing('/B', type_a=False) + fetch('b'))
    mixed = [line for pair in zip(one, two) for line in pair]
    counts = protocol_log.analyse(mixed)
    assert (counts.connects, counts.logins) == (2, 2)
    assert sorted(verbs(counts.dir_cycles)) == [['CWD', 'EPRT', 'LIST']] * 2
    assert verbs(counts.file_cycles) == [['EPRT', 'RETR']] * 2


def test_type_after_a_listing_goes_to_the_directory_only_once():
    steps = listing('/A') + fetch('f1', type_i=True) + [
        ('EPRT |1|127.0.0.1|3|', '200 ok'), ('TYPE I', '200 ok'), ('RETR f2', '150 ok')]
    counts = protocol_log.analyse(session(1, 3, steps))
    assert verbs(counts.dir_cycles) == [['CWD', 'EPRT', 'TYPE', 'LIST', 'TYPE']]
    assert verbs(counts.file_cycles) == [['EPRT', 'RETR'], ['EPRT', 'TYPE', 'RETR']]
    assert dict(counts.over_budget()[0]) == {'TYPE I': 1}


def test_foreign_lines_are_ignored():
    lines = ['', 'garbage', 'Tue Dec  8 03:31:59 2026 [pid 1] something else'] + tool_walk()
    assert protocol_log.analyse(lines).commands == protocol_log.analyse(tool_walk()).commands


def test_per_file_and_per_dir_without_cycles():
    counts = protocol_log.analyse(session(1, 3, [('QUIT', '221 bye')]))
    assert counts.per_file() is None and counts.per_dir() is None
    assert [c.verb for c in counts.teardown] == ['QUIT']


def test_mix_text_orders_by_count_then_name():
    counts = protocol_log.analyse(tool_walk())
    text = counts.mix_text()
    assert text.startswith('EPRT 7 ')
    assert text.index('CWD 3') < text.index('LIST 3') < text.index('RETR 3')


def test_read_new_lines_keeps_a_partial_line_for_later(tmp_path):
    log = tmp_path / 'vsftpd.log'
    first, second = command(5, 'CWD /A'), command(5, 'LIST')
    log.write_text(first + '\n' + second[:20])
    lines, end = protocol_log.read_new_lines(str(log), 0)
    assert lines == [first]
    with open(log, 'a') as f:
        f.write(second[20:] + '\n')
    lines, end2 = protocol_log.read_new_lines(str(log), end)
    assert lines == [second]
    assert end2 == log.stat().st_size


@pytest.mark.parametrize('line, record', [
    (command(7, 'CWD /a "b" c'), ('7', 'command', 'CWD', b'/a "b" c')),
    (command(7, 'PASS secret', logged_in=False), ('7', 'command', 'PASS', b'******')),
    (response(7, '150 Here it comes.'), ('7', 'response', '150', b'150 Here it comes.')),
    (login(8), ('8', 'login', 'LOGIN', b'ftp')),
    (connect(6), ('6', 'connect', 'CONNECT', b'')),
    (download(9, '/a', 5), ('9', 'download', 'DOWNLOAD', b'"/a", 5 bytes, 24390.24Kbyte/sec')),
    (b'3 RETR /d/\xd6\xd0 x\\r', ('3', 'command', 'RETR', b'/d/\xd6\xd0 x\\r')),
    (b'3 pass anything', ('3', 'command', 'PASS', b'******')),
    (b'12 NOOP', ('12', 'command', 'NOOP', b'')),
    (b'3 LOGIN anonymous', ('3', 'login', 'LOGIN', b'anonymous')),
    (b'4 SENT 100 23 /d/f.bin', ('4', 'sent', 'SENT', b'100 23 /d/f.bin')),
    (b'4 FAULT cut', ('4', 'fault', 'FAULT', b'cut')),
    (b'4 CONNECT', ('4', 'connect', 'CONNECT', b'')),
    (b'garbage', None),
    (b'', None),
])
def test_both_formats_read_into_one_record_shape(line, record):
    got = protocol_log.parse_line(line)
    assert got == (record and protocol_log.Record(*record))
    if got and got.kind == 'command':
        assert protocol_log.render(got) == (got.verb.encode() + b' ' + got.arg).rstrip()


@pytest.mark.parametrize('sessions, most', [
    ('', 0), ('1 1 1', 1), ('1 2 1 2', 2), ('1 1 2 2', 1), ('1 2 3 2 1', 3),
    ('1 2 2 3 3 1', 2),
    # With CLOSE records a session lasts until its CLOSE, or the end.
    ('1 1c 2 2', 1), ('1 2 2c 3 3c', 2), ('1 1c 2 3 3c 4', 2), ('1 1c 2 3 4 4c', 3),
])
def test_max_concurrent_sessions(sessions, most):
    log = b''.join(b'%s CLOSE\n' % s[:-1].encode() if s.endswith('c') else
                   b'%s NOOP\n' % s.encode() for s in sessions.split())
    assert protocol_log.max_concurrent_sessions(protocol_log.parse(log)) == most


def test_a_vsftpd_connection_changing_pid_counts_once():
    one, two = session(10, 12, listing('/A')), session(20, 22, listing('/B'))
    assert protocol_log.max_concurrent_sessions(protocol_log.parse(
        '\n'.join(one + two).encode())) == 1
    assert protocol_log.max_concurrent_sessions(protocol_log.parse(
        '\n'.join(one[:5] + two + one[5:]).encode())) == 2
