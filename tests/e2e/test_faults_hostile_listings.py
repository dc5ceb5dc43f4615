"""Listings no sane server sends: megabyte lines, binary garbage, dialects
mixed with broken lines, 100,000 entries, names that would leave the
directory or cannot be sent back. Lines that are no entries are passed over,
LIST lines shaped like entries that cannot be read are shown, unsafe names
are skipped with a note, and the rest of the directory is mirrored as usual."""

import random

import pytest

from fault_cases import (SLACK_S, TASK_FAILED, fetch_failed, fetched,
                         run_fault_case, succeeded, unrecognized, unsafe_skipped)
from ftp_fixtures import tree_of

OK = b'a real file\n'
TREE = {'d': {'ok.zip': OK, 'unix.zip': b'unix\n', 'dos.zip': b'dos\n', 'want.zip': b'wanted\n'}}
MEGABYTE = 1024 * 1024


def mlsd(name, kind='file', size=None):
    size_fact = b'' if size is None else b'size=%d;' % size
    return b'modify=20261208032443;%stype=%s; %s\r\n' % (size_fact, kind.encode(), name)


def unix(name, kind='-', size=3):
    mode = b'drwxr-xr-x' if kind == 'd' else b'-rw-r--r--'
    return b'%s    1 0        0    %12d Dec 08 03:24 %s\r\n' % (mode, size, name)


def dos(name, size):
    return b'12-08-26  03:24AM    %12d %s\r\n' % (size, name)


def body_scenario(tmp_path, body, mlsd_on=True):
    path = tmp_path / 'listing.bin'
    path.write_bytes(body)
    return {'mlsd': mlsd_on,
            'faults': [dict(on='LISTING', path='/d', do='body', body_file=str(path))]}


def garbage(seed, lines, length):
    """Random bytes that can never parse: no LF or blank inside a line (so no
    MLSD facts/name split) and every line starting with 0xFF (no LIST mode,
    no DOS date). NUL, CR, TAB and every other byte do occur."""
    rng = random.Random(seed)
    alphabet = bytes(b for b in range(256) if b not in b'\n ')
    return b''.join(b'\xff' + bytes(rng.choice(alphabet) for _ in range(length)) + b'\r\n'
                    for _ in range(lines))


def run_listing_case(tmp_path, body, expected, mlsd_on=True, tail=''):
    return run_fault_case(tmp_path, TREE, body_scenario(tmp_path, body, mlsd_on), '/d',
                          expected, {name: TREE['d'][name]
                                     for name in fetched_names(expected)},
                          SLACK_S, tail=tail, task_fails=False)


def fetched_names(expected):
    prefix = fetched('/d/')[:-2]
    return [line[len(prefix):-2].decode() for line in expected if line.startswith(prefix)]


@pytest.mark.parametrize('mlsd_on', [True, False], ids=['mlsd', 'list'])
def test_megabyte_lines(tmp_path, mlsd_on):
    line = mlsd if mlsd_on else unix
    body = (b'x' * MEGABYTE + b'\r\n' +                      # one junk line
            line(b'n' * MEGABYTE + b'.bin', size=5) +        # an entry the filter passes over
            line(b'ok.zip', size=len(OK)) +
            b'y' * MEGABYTE)                                 # junk up to the end, no line end
    run_listing_case(tmp_path, body, [fetched('/d/ok.zip'), succeeded(1)], mlsd_on, tail='.zip')


@pytest.mark.parametrize('mlsd_on', [True, False], ids=['mlsd', 'list'])
def test_binary_garbage_around_real_entries(tmp_path, mlsd_on):
    line = mlsd if mlsd_on else unix
    body = (garbage(1, 50, 2000) + line(b'ok.zip', size=len(OK)) + garbage(2, 50, 2000) +
            line(b'want.zip', size=7) + garbage(3, 1, 100000)[:-2])
    run_listing_case(tmp_path, body, [fetched('/d/ok.zip'), fetched('/d/want.zip'), succeeded(2)],
                     mlsd_on)


BROKEN = [
    b'type=file;size=3;no-blank-before-the-name.zip',
    b'type=file;size=3 ',
    b'bogus;type=file; broken1.zip',
    b'-rw-r--r--    1 0        0               3 Xyz 08 03:24 broken2.zip',
    b'-rw-r--r--    1 0        0               3 Dec 32 03:24 broken3.zip',
    b'-rwxqwxrwx    1 0        0               3 Dec 08 03:24 broken4.zip',
    b'-rw-r--r--    1 0        0               3 Dec 08 03:24',
    b'12-08-26  27:99AM                3 broken5.zip',
    b'12-08-26  03:24AM             3x broken6.zip',
    b'total 12',
    b'\x00\x00\x00',
    b'\r\r\r',
]


def mixed_body():
    return (mlsd(b'ok.zip', size=len(OK)) + b'\r\n'.join(BROKEN[:4]) + b'\r\n' +
            unix(b'unix.zip', size=5) + b'\r\n'.join(BROKEN[4:9]) + b'\n' +
            dos(b'dos.zip', 4) + b'\n'.join(BROKEN[9:]) + b'\r\n')


def test_mixed_dialects_under_mlsd_take_the_mlsd_lines(tmp_path):
    run_listing_case(tmp_path, mixed_body(), [fetched('/d/ok.zip'), succeeded(1)], mlsd_on=True)


def test_mixed_dialects_under_list_take_unix_and_dos_lines(tmp_path):
    # The broken lines that start like a LIST entry, in listing order.
    shown = [unrecognized(line) for line in BROKEN[3:5] + BROKEN[6:9]]
    run_listing_case(tmp_path, mixed_body(),
                     [shown[0], fetched('/d/unix.zip')] + shown[1:] +
                     [fetched('/d/dos.zip'), succeeded(2)], mlsd_on=False)


@pytest.mark.parametrize('mlsd_on', [True, False], ids=['mlsd', 'list'])
def test_hundred_thousand_entries(tmp_path, mlsd_on):
    line = mlsd if mlsd_on else unix
    entries = [line(b'f%06d.dat' % i, size=1) for i in range(100000)]
    entries.insert(54321, line(b'want.zip', size=7))
    result = run_listing_case(tmp_path, b''.join(entries),
                              [fetched('/d/want.zip'), succeeded(1)], mlsd_on, tail='.zip')
    assert result.seconds < 10, 'a 100,000-entry listing took %.1fs' % result.seconds


def shown(name):
    """A name as the skip note prints it: control bytes become '?'."""
    return bytes(b if b >= 0x20 and b != 0x7f else ord('?') for b in name)


def dir_line(mlsd_on, name):
    return mlsd(name, 'dir') if mlsd_on else unix(name, 'd')


def unsafe_case(tmp_path, mlsd_on, names):
    line = mlsd if mlsd_on else unix
    body = dir_line(mlsd_on, b'.') + dir_line(mlsd_on, b'..')
    for name in names:
        body += line(name, size=3)
    body += dir_line(mlsd_on, b'..') + line(b'ok.zip', size=len(OK))
    expected = [unsafe_skipped(b'/d/' + shown(name)) for name in names]
    run_listing_case(tmp_path, body, expected + [fetched('/d/ok.zip'), succeeded(1)], mlsd_on)
    # Nothing landed beside or above the local directory either.
    for rel in tree_of(tmp_path):
        assert not rel.endswith(b'up.zip') or rel.startswith(b'remote'), rel


@pytest.mark.parametrize('mlsd_on', [True, False], ids=['mlsd', 'list'])
def test_unsafe_names_are_skipped_with_a_note(tmp_path, mlsd_on):
    unsafe_case(tmp_path, mlsd_on, [b'a/b.zip', b'../up.zip', b'..\\up.zip', b'/', b'c\\d.zip',
                                    b'nul\x00in.zip', b'tab\tin.zip', b'\t'])


@pytest.mark.parametrize('mlsd_on', [True, False], ids=['mlsd', 'list'])
def test_names_with_cr_are_skipped_with_a_note(tmp_path, mlsd_on):
    # A CR inside a name, and one at its end (right before the CR LF).
    unsafe_case(tmp_path, mlsd_on, [b'cr\rin.zip', b'ends-in-cr.zip\r'])


def test_megabyte_name_that_passes_the_filter(tmp_path):
    # No file system takes a 1 MB name: the fetch fails, nothing is left.
    name = b'n' * MEGABYTE + b'.zip'
    body = mlsd(b'ok.zip', size=len(OK)) + mlsd(name, size=5)
    run_fault_case(tmp_path, TREE, body_scenario(tmp_path, body), '/d',
                   [fetched('/d/ok.zip'), fetch_failed(b'/d/' + name), TASK_FAILED],
                   {'ok.zip': OK}, SLACK_S)
