"""The tree, configuration and process helpers catch what they promise to."""

import os
import stat
from pathlib import Path

import pytest

from ftp_fixtures import (DIR, Link, assert_no_stray_files, assert_tree,
                          config_bytes, gbk, make_tree, run_tool, tree_of)

SHAPE = {
    gbk('目录'): {gbk('名字.zip'): b'\x00\xff\r\n', 'empty': {}},
    'x.txt': b'',
    '中文.txt': b'gbk name from str',
}


def test_make_tree_round_trip(tmp_path):
    root = make_tree(tmp_path / 'r', SHAPE)
    assert tree_of(root) == {
        gbk('目录'): DIR,
        gbk('目录') + b'/' + gbk('名字.zip'): b'\x00\xff\r\n',
        gbk('目录') + b'/empty': DIR,
        b'x.txt': b'',
        gbk('中文.txt'): b'gbk name from str',
    }
    for dirpath, dirnames, filenames in os.walk(os.fsencode(root)):
        assert stat.S_IMODE(os.stat(dirpath).st_mode) == 0o755
        for name in filenames:
            assert stat.S_IMODE(os.stat(os.path.join(dirpath, name)).st_mode) == 0o644


def test_tree_of_reports_links(tmp_path):
    root = make_tree(tmp_path / 'r', {'a': b'1'})
    os.symlink('a', root / 'l')
    assert tree_of(root) == {b'a': b'1', b'l': Link(b'a')}


@pytest.mark.parametrize('change, fragment', [
    (lambda r: (r / '.hidden.tmp').write_bytes(b''), "unexpected b'.hidden.tmp'"),
    (lambda r: (r / 'x.txt').unlink(), "missing b'x.txt'"),
    (lambda r: (r / 'x.txt').write_bytes(b'!'), "differs b'x.txt'"),
    (lambda r: os.rmdir(os.path.join(os.fsencode(r), gbk('目录'), b'empty')),
     'missing'),
    (lambda r: ((r / 'x.txt').unlink(), (r / 'x.txt').mkdir()), "differs b'x.txt'"),
], ids=['extra-hidden', 'missing', 'content', 'empty-dir', 'kind'])
def test_assert_tree_finds_differences(tmp_path, change, fragment):
    root = make_tree(tmp_path / 'r', SHAPE)
    assert_tree(root, SHAPE)
    change(root)
    with pytest.raises(AssertionError, match=fragment):
        assert_tree(root, SHAPE)


@pytest.mark.parametrize('name, stray', [
    ('ok.zip', False), ('.ok.zip', True), ('ok.zip.part', True),
    ('ok.zip.tmp', True), ('ok.zip~', True),
])
def test_assert_no_stray_files(tmp_path, name, stray):
    root = make_tree(tmp_path / 'r', {'d': {name: b'x'}})
    if stray:
        with pytest.raises(AssertionError, match='stray'):
            assert_no_stray_files(root)
    else:
        assert_no_stray_files(root)


def test_config_bytes():
    tasks = [
        {'host': '127.0.0.1', 'port': 2121, 'user': 'u', 'pwd': 'p',
         'ftppath': '/数据', 'localpath': Path('/tmp/x/local'), 'head': 'name',
         'tail': b'.zip'},
        '# comment',
        {'host': '127.0.0.1', 'localpath': '\\already\\local', 'tail': ''},
    ]
    assert config_bytes(tasks) == (
        b'host=127.0.0.1\nport=2121\nuser=u\npwd=p\nftppath=/' + gbk('数据') +
        b'\nlocalpath=\\tmp\\x\\local\nhead=name\ntail=.zip\n'
        b'# comment\n'
        b'host=127.0.0.1\nlocalpath=\\already\\local\ntail=\n')
    assert config_bytes(tasks[2:], newline=b'\r\n').count(b'\r\n') == 3
    with pytest.raises(KeyError):
        config_bytes([{'hots': 'x'}])


def test_run_tool_gives_code_and_stdout_with_empty_stdin(tmp_path):
    script = tmp_path / 'fake'
    script.write_text('#!/bin/sh\nprintf "%s|" "$@"; cat; echo err >&2; exit 3\n')
    script.chmod(0o755)
    assert run_tool('a b', gbk('名'), binary=script) == (3, b'a b|' + gbk('名') + b'|')


def test_run_tool_times_out(tmp_path):
    script = tmp_path / 'slow'
    script.write_text('#!/bin/sh\necho started\nexec sleep 30\n')
    script.chmod(0o755)
    with pytest.raises(AssertionError, match='did not finish'):
        run_tool(binary=script, timeout=1)
