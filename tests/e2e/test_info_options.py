"""Informational options, the configuration template, and loading failures.

Every run uses a copy of the binary in its own directory: the tool looks for
(and --init writes) Vandrisk.cnf next to itself, so the build directory is
never touched and no default file from elsewhere interferes.
"""

import os
import random
import re

import pytest

from ftp_fixtures import (copy_tool, gbk, make_tree, pyftpd, run_tool, task_for,
                          tree_of, write_config)

HELP = gbk(
    "--init          初始化配置文件\r\n"
    "--cnf filepath  使用 filepath 绝对路径的文件启动程序\r\n"
    "                无此参数则使用默认配置文件启动\r\n"
    "                默认配置文件为运行目录里面的 Vandrisk.cnf 文件，可以通过 --init 参数生成\r\n")
INIT_OK = gbk("初始成功\r\n")
INIT_FAILED = gbk("初始失败\r\n")
LOAD_FAILED = gbk("初始化失败\r\n")
TEMPLATE_FIRST = gbk("# 下面的配置可以在同一个文件里面写多份，但必须是整组的添加，下载时会依次下载\r\n")
TEMPLATE_LAST = b"tail=.zip\r\n"
DEFAULT_NAME = 'Vandrisk.cnf'


@pytest.fixture
def tool(tmp_path):
    bin_dir = tmp_path / 'bin'
    bin_dir.mkdir()
    return copy_tool(bin_dir)


def lines_of(data):
    """CR LF terminated lines; fails on a bare CR or LF or a missing end."""
    assert data.endswith(b'\r\n'), data[-40:]
    lines = [line + b'\r\n' for line in data[:-2].split(b'\r\n')]
    for line in lines:
        assert b'\n' not in line[:-2] and b'\r' not in line[:-2], line
    return lines


@pytest.mark.parametrize('option', ['--help', '-h'])
def test_help(tool, option):
    code, out = run_tool(option, binary=tool)
    assert (code, out) == (0, HELP)
    assert sorted(os.listdir(tool.parent)) == [tool.name]


def test_init_writes_template_next_to_binary(tool, tmp_path):
    elsewhere = tmp_path / 'cwd'
    elsewhere.mkdir()
    code, out = run_tool('--init', binary=tool, cwd=elsewhere)
    assert (code, out) == (0, INIT_OK)
    assert os.listdir(elsewhere) == []
    written = (tool.parent / DEFAULT_NAME).read_bytes()
    lines = lines_of(written)
    assert len(lines) == 17
    assert lines[0] == TEMPLATE_FIRST
    assert lines[-1] == TEMPLATE_LAST
    keys = [line.split(b'=')[0] for line in lines if not line.startswith(b'#')]
    assert keys == [b'host', b'port', b'user', b'pwd', b'ftppath', b'localpath',
                    b'head', b'tail']
    assert all(line.startswith(b'#') or b'=' in line for line in lines)


def test_init_fails_where_the_file_cannot_be_written(tool):
    # Root ignores a read-only directory, so block the name itself.
    (tool.parent / DEFAULT_NAME).mkdir()
    code, out = run_tool('--init', binary=tool)
    assert (code, out) == (0, INIT_FAILED)
    assert os.listdir(tool.parent / DEFAULT_NAME) == []


def test_missing_configuration_file(tool):
    code, out = run_tool('--cnf', '/nonexistent', binary=tool, timeout=10)
    assert (code, out) == (0, LOAD_FAILED)


@pytest.mark.parametrize('args', [[], ['-H'], ['-help']],
                         ids=['no-args', '-H', '-help'])
def test_without_default_file_loading_fails(tool, args):
    code, out = run_tool(*args, binary=tool, timeout=10)
    assert (code, out) == (0, LOAD_FAILED)


@pytest.mark.parametrize('option', ['-H', '-help'])
def test_look_alike_options_run_the_default_file(tool, tmp_path, option):
    remote = make_tree(tmp_path / 'remote', {'name1.zip': b'payload'})
    local = tmp_path / 'local'
    local.mkdir()
    with pyftpd(remote) as server:
        write_config(tool.parent / DEFAULT_NAME,
                     [task_for(server, '/', local, head='name', tail='.zip')])
        code, out = run_tool(option, binary=tool)
        assert code == 0, out
        assert HELP not in out
        assert server.logins() >= 1
    assert tree_of(local) == {b'name1.zip': b'payload'}


def test_random_bytes_as_configuration(tool, tmp_path):
    data = bytearray(random.Random(936).randbytes(10 * 1024 * 1024))
    # Keep the noise from ever forming a task that would go to a real host.
    for match in re.finditer(rb'(?i)host\s*=|tail\s*=', data):
        data[match.start()] = 0
    path = tmp_path / 'random.cnf'
    path.write_bytes(bytes(data))
    code, _ = run_tool('--cnf', path, binary=tool, timeout=60)
    assert code == 0
