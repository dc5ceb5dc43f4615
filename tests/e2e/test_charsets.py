"""charset=auto against servers that send names as they are stored: a
directory holding UTF-8 and GBK names side by side (one text in both
spellings), characters GBK lacks, a GBK name whose second byte is '\\', and
a '%'. Local names are UTF-8, the console is GBK, each file is fetched once
and a rerun fetches nothing."""

import pytest

from fault_cases import created, fetched, local_b, run_fast, succeeded, task_outputs
from ftp_fixtures import (assert_tree, gbk, make_tree, pyftpd, task_for, vsftpd,
                          write_config)

U = str.encode
FIXTURE = {
    b'plain.txt': b'p', U('中文-utf8.txt'): b'u', gbk('中文-gbk.txt'): b'g',
    U('表情😀.txt'): b'e', U('カタ・〜.txt'): b'k', gbk('乗') + b'.txt': b'x', b'100%.txt': b'%',
    U('中文目录'): {b'in-utf8.txt': b'1'}, gbk('中文目录'): {b'in-gbk.txt': b'2'},
}
MIRRORED = {
    U('plain.txt'): b'p', U('中文-utf8.txt'): b'u', U('中文-gbk.txt'): b'g', U('表情😀.txt'): b'e',
    U('カタ・〜.txt'): b'k', U('乗.txt'): b'x', b'100%25.txt': b'%',
    U('中文目录'): {b'in-utf8.txt': b'1'},
}


def lines_of(local):
    shown = [gbk('下载文件 /d/') + name + b'\r\n' for name in (
        b'plain.txt', gbk('中文-utf8.txt'), gbk('中文-gbk.txt'), gbk('表情') + b'%F0%9F%98%80.txt',
        gbk('カタ') + b'%E3%83%BB%E3%80%9C.txt', gbk('乗.txt'), b'100%.txt',
        gbk('中文目录/in-utf8.txt'))]
    # The GBK spelling of 中文目录 gives way to the UTF-8 one, whichever
    # comes first in the listing.
    return sorted(shown + [gbk('跳过重名的文件 /d/中文目录\r\n'),
                           created(local_b(local) + b'\\' + gbk('中文目录'))])


@pytest.mark.parametrize('server', ['vsftpd', 'pyftpdlib'])
def test_auto_mirrors_mixed_names_as_themselves(tmp_path, server):
    remote = make_tree(tmp_path / 'remote', {'d': FIXTURE})
    local = tmp_path / 'local'
    local.mkdir()
    start = {'vsftpd': vsftpd, 'pyftpdlib': pyftpd}[server]
    with start(remote, log_path=tmp_path / 'log') as server_:
        config = write_config(tmp_path / 'tasks.cnf',
                              [dict(task_for(server_, '/d', local), charset='auto')])
        first = run_fast(config)
        tasks, _ = task_outputs(first.stdout)
        assert sorted(tasks[0][1:-1]) == lines_of(local), tasks[0]
        assert tasks[0][-1] == succeeded(8)
        assert_tree(local, MIRRORED)
        # Both servers list UTF8 in FEAT: asked for, and only once per login.
        assert server_.count('OPTS') == server_.logins() >= 1
        rerun = run_fast(config)
        tasks, _ = task_outputs(rerun.stdout)
        assert tasks[0][1:] == [gbk('跳过重名的文件 /d/中文目录\r\n'), succeeded(0)]
    assert_tree(local, MIRRORED)
