"""walk_bench and the curl driver against a real loopback server (pyftpdlib).

WALK_BENCH names the walk_bench binary (CTest sets it); without it the
walk_bench tests are skipped. Run: WALK_BENCH=... /usr/bin/python3 -m pytest bench
"""

import filecmp
import os
import shutil
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), 'tests', 'servers'))
from loopback import PYTHON, pyftpd  # noqa: E402
WALK_BENCH = os.environ.get('WALK_BENCH')
USER, PASSWORD = 'benchuser', 'bench-pw'

needs_walk_bench = pytest.mark.skipif(not WALK_BENCH, reason='WALK_BENCH not set')


def make_tree(root):
    """/data with files at two levels, one directory empty."""
    files = {
        'data/a1.zip': b'one',
        'data/a2.txt': b'two',
        'data/b3.zip': b'three',
        'data/sub/a4.zip': b'four' * 1000,
        'data/sub/deeper/a5.zip': b'',
    }
    for path, body in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, 'wb') as f:
            f.write(body)
    os.makedirs(os.path.join(root, 'data', 'empty'))
    return files


@pytest.fixture(scope='module')
def server(tmp_path_factory):
    root = str(tmp_path_factory.mktemp('remote'))
    files = make_tree(root)
    with pyftpd(root, user=USER, password=PASSWORD, mlsd=False) as srv:
        yield root, srv.port, files


def walk(*args):
    run = subprocess.run([WALK_BENCH] + [str(a) for a in args], stdout=subprocess.PIPE,
                         stderr=subprocess.PIPE, timeout=60)
    return run.returncode, run.stdout.decode().strip()


def local_files(local):
    found = set()
    for top, _, names in os.walk(local):
        for name in names:
            found.add(os.path.relpath(os.path.join(top, name), local).replace(os.sep, '/'))
    return found


@needs_walk_bench
@pytest.mark.parametrize('filters, expected', [
    ((), {'a1.zip', 'a2.txt', 'b3.zip', 'sub/a4.zip', 'sub/deeper/a5.zip'}),
    (('a', '.zip'), {'a1.zip', 'sub/a4.zip', 'sub/deeper/a5.zip'}),
    (('', '.txt'), {'a2.txt'}),
    (('zz', ''), set()),
])
def test_fetches_what_the_filters_pass(server, tmp_path, filters, expected):
    root, port, _ = server
    status, out = walk('127.0.0.1', port, '/data', tmp_path, *filters)
    assert (status, out) == (0, str(len(expected)))
    assert local_files(tmp_path) == expected
    # Directories are mirrored whatever the filters, the empty one included.
    assert os.path.isdir(tmp_path / 'empty') and os.path.isdir(tmp_path / 'sub' / 'deeper')
    for name in expected:
        assert filecmp.cmp(os.path.join(root, 'data', name), tmp_path / name, shallow=False)


@needs_walk_bench
def test_a_rerun_fetches_nothing_new_and_only_what_is_missing(server, tmp_path):
    _, port, _ = server
    assert walk('127.0.0.1', port, '/data', tmp_path) == (0, '5')
    assert walk('127.0.0.1', port, '/data', tmp_path) == (0, '0')
    os.remove(tmp_path / 'sub' / 'a4.zip')
    assert walk('127.0.0.1', port, '/data', tmp_path) == (0, '1')


@needs_walk_bench
def test_backslash_local_path_is_the_same_directory(server, tmp_path):
    _, port, _ = server
    status, out = walk('127.0.0.1', port, '/data/sub', str(tmp_path).replace('/', '\\'))
    assert (status, out) == (0, '2')
    assert local_files(tmp_path) == {'a4.zip', 'deeper/a5.zip'}


@needs_walk_bench
@pytest.mark.parametrize('login, expected', [
    ((USER, PASSWORD), (0, '1')),
    ((USER, 'wrong'), (1, '-1')),
])
def test_login(server, tmp_path, login, expected):
    _, port, _ = server
    assert walk('127.0.0.1', port, '/data/sub/deeper', tmp_path, '', '', *login) == expected


@needs_walk_bench
def test_a_missing_remote_directory_fails(server, tmp_path):
    _, port, _ = server
    assert walk('127.0.0.1', port, '/nowhere', tmp_path) == (1, '-1')


@needs_walk_bench
@pytest.mark.parametrize('args', [
    (),
    ('127.0.0.1', '21', '/data'),
    ('127.0.0.1', '21', '/data', '/tmp', 'head'),
    ('127.0.0.1', 'x21', '/data', '/tmp'),
    ('127.0.0.1', '', '/data', '/tmp'),
    ('127.0.0.1', '65536', '/data', '/tmp'),
])
def test_usage_errors(args):
    status, out = walk(*args)
    assert (status, out) == (2, '')


@pytest.mark.skipif(not shutil.which('curl'), reason='curl not installed')
def test_curl_driver_mirrors_and_then_fetches_only_what_is_missing(server, tmp_path):
    root, port, files = server
    driver = [PYTHON, '-S', os.path.join(HERE, 'curl_mirror.py'), '127.0.0.1', str(port),
              '/data', str(tmp_path)]
    first = subprocess.run(driver, stdout=subprocess.PIPE, timeout=60, check=True)
    assert first.stdout.decode().strip() == '5'
    assert local_files(tmp_path) == {p[len('data/'):] for p in files}
    for path in files:
        assert filecmp.cmp(os.path.join(root, path),
                           os.path.join(tmp_path, path[len('data/'):]), shallow=False)
    assert os.path.isdir(tmp_path / 'empty')
    os.remove(tmp_path / 'sub' / 'deeper' / 'a5.zip')
    again = subprocess.run(driver, stdout=subprocess.PIPE, timeout=60, check=True)
    assert again.stdout.decode().strip() == '1'


def test_curl_driver_reports_a_failed_listing(server, tmp_path):
    _, port, _ = server
    run = subprocess.run([PYTHON, '-S', os.path.join(HERE, 'curl_mirror.py'), '127.0.0.1',
                          str(port), '/nowhere', str(tmp_path)],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
    assert run.returncode == 1
    assert b'listing failed' in run.stderr


if __name__ == '__main__':
    sys.exit(pytest.main([__file__]))
