"""Local faults: the disk fills up in the middle of a file, the target
directory is read-only. The file (or directory) fails, nothing partial is
left and the space is given back; once the fault is cleared a rerun
completes the mirror. Each case mounts a small tmpfs of its own."""

import pytest

from fault_cases import (BIG, SLACK_S, TASK_FAILED, create_failed, fetch_failed, fetched,
                         limit_file_size, local_b, run_fault_case, tmpfs)

SMALL = b'fits easily\n'
TREE = {'d': {'a.zip': SMALL, 'big.bin': BIG, 'z.zip': b'after the big one\n'}}


def test_disk_full_in_the_middle_of_a_file(tmp_path):
    with tmpfs(tmp_path / 'mnt', '1m') as fs:
        if fs is None:
            pytest.skip('mounting is not allowed here; see the RLIMIT_FSIZE case')
        run_fault_case(tmp_path, TREE, None, '/d',
                       [fetched('/d/a.zip'), fetch_failed('/d/big.bin'), TASK_FAILED],
                       {'a.zip': SMALL}, SLACK_S, local=fs.path,
                       before_rerun=lambda: check_space_back_then_grow(fs))


def check_space_back_then_grow(fs):
    # The unnamed file's blocks went back when the tool ended: only a.zip
    # (one page) is left in use.
    assert fs.used_bytes() <= 4096, fs.used_bytes()
    fs.remount('size=16m')


def test_file_size_limit_in_the_middle_of_a_file(tmp_path):
    # The same fault without a mount: writes past 1 MB fail with EFBIG.
    run_fault_case(tmp_path, TREE, None, '/d',
                   [fetched('/d/a.zip'), fetch_failed('/d/big.bin'), TASK_FAILED],
                   {'a.zip': SMALL}, SLACK_S, preexec_fn=limit_file_size(1024 * 1024))


@pytest.mark.parametrize('first', ['file', 'directory'])
def test_read_only_target(tmp_path, first):
    tree = {'d': {'a.zip': SMALL, 'sub': {'b.zip': b'below\n'}}}
    if first == 'directory':
        del tree['d']['a.zip']
    with tmpfs(tmp_path / 'mnt', '4m') as fs:
        if fs is None:
            pytest.skip('mounting is not allowed here')
        fs.remount('ro')
        failure = (fetch_failed('/d/a.zip') if first == 'file'
                   else create_failed(local_b(fs.path / 'sub')))
        run_fault_case(tmp_path, tree, None, '/d', [failure, TASK_FAILED], {}, SLACK_S,
                       local=fs.path, before_rerun=lambda: fs.remount('rw'))
