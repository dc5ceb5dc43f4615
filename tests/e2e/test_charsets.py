"""charset=auto against servers that send names as they are stored: a
directory holding UTF-8 and GBK names side by side (one text in both
spellings), characters GBK lacks, GBK names whose second byte is '\\', and
a '%'. Local names are UTF-8, the console is GBK, each file is fetched once
and a rerun fetches nothing. pure-ftpd refuses every name holding a '\\'
byte: those are named on the console and the task goes on."""

import pytest

from fault_cases import created, fetched, local_b, run_fast, succeeded, task_outputs
from ftp_fixtures import (assert_tree, gbk, make_tree, pyftpd, task_for, vsftpd,
                          write_config)
from loopback import pureftpd, unavailable

U = str.encode
FIXTURE = {
    b'plain.txt': b'p', U('中文-utf8.txt'): b'u', gbk('中文-gbk.txt'): b'g',
    U('表情😀.txt'): b'e', U('カタ・〜.txt'): b'k', gbk('乗') + b'.txt': b'x', b'100%.txt': b'%',
    U('中文目录'): {b'in-utf8.txt': b'1'}, gbk('中文目录'): {b'in-gbk.txt': b'2'},
    gbk('乗') + b'dir': {b'in.txt': b'3'},
}
MIRRORED = {
    U('plain.txt'): b'p', U('中文-utf8.txt'): b'u', U('中文-gbk.txt'): b'g', U('表情😀.txt'): b'e',
    U('カタ・〜.txt'): b'k', U('乗.txt'): b'x', b'100%25.txt': b'%',
    U('中文目录'): {b'in-utf8.txt': b'1'}, U('乗dir'): {b'in.txt': b'3'},
}
# As the console shows them, below /d.
FILES = [b'plain.txt', gbk('中文-utf8.txt'), gbk('中文-gbk.txt'), gbk('表情') + b'%F0%9F%98%80.txt',
         gbk('カタ') + b'%E3%83%BB%E3%80%9C.txt', gbk('乗.txt'), b'100%.txt',
         gbk('中文目录/in-utf8.txt'), gbk('乗dir/in.txt')]
DUPLICATE = gbk('跳过重名的文件 /d/中文目录\r\n')
REFUSED = {'pure-ftpd': [gbk('乗.txt'), gbk('乗dir')]}


def unsendable(name):
    return gbk('跳过无法原样发给服务器的文件名 /d/') + name + b'\r\n'


@pytest.mark.parametrize('server', [
    'vsftpd', 'pyftpdlib',
    pytest.param('pure-ftpd', marks=pytest.mark.skipif(unavailable('pure-ftpd'),
                                                       reason=str(unavailable('pure-ftpd'))))])
def test_auto_mirrors_mixed_names_as_themselves(tmp_path, server):
    remote = make_tree(tmp_path / 'remote', {'d': FIXTURE})
    local = tmp_path / 'local'
    local.mkdir()
    refused = REFUSED.get(server, [])
    login = {'user': 'vandrisk', 'pwd': 'secret'} if server == 'pure-ftpd' else {}
    start = {'vsftpd': lambda: vsftpd(remote, log_path=tmp_path / 'log'),
             'pyftpdlib': lambda: pyftpd(remote, log_path=tmp_path / 'log'),
             'pure-ftpd': lambda: pureftpd(remote, 'vandrisk', 'secret')}[server]
    with start() as server_:
        config = write_config(tmp_path / 'tasks.cnf',
                              [dict(task_for(server_, '/d', local, **login), charset='auto')])
        first = run_fast(config)
        tasks, _ = task_outputs(first.stdout)
        # The GBK spelling of 中文目录 gives way to the UTF-8 one, whichever
        # comes first in the listing.
        fetched_files = [n for n in FILES if not any(n.startswith(r) for r in refused)]
        made = [created(local_b(local) + b'\\' + gbk(d)) for d in ('中文目录', '乗dir')]
        expected = ([fetched(b'/d/' + n) for n in fetched_files]
                    + [unsendable(n) for n in refused] + [DUPLICATE] + made)
        assert sorted(tasks[0][1:-1]) == sorted(expected), tasks[0]
        assert tasks[0][-1] == succeeded(len(fetched_files))
        mirrored = dict(MIRRORED)
        if refused:  # 乗.txt stays on the server, 乗dir stays empty
            del mirrored[U('乗.txt')]
            mirrored[U('乗dir')] = {}
        assert_tree(local, mirrored)
        if server != 'pure-ftpd':
            # Both list UTF8 in FEAT: asked for, and only once per login.
            assert server_.count('OPTS') == server_.logins() >= 1
        rerun = run_fast(config)
        tasks, _ = task_outputs(rerun.stdout)
        assert sorted(tasks[0][1:]) == sorted([unsendable(n) for n in refused]
                                              + [DUPLICATE, succeeded(0)])
    assert_tree(local, mirrored)
