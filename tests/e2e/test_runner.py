"""The task loop of the real binary: summary lines, exit status, credentials,
the default configuration file. stdin is /dev/null: a failed run must end
without waiting for a key."""

import os

from ftp_fixtures import (HOST, copy_tool, gbk, make_tree, pyftpd, run_tool, task_for,
                          unused_port, vsftpd, write_config)

HEADING = gbk('\r\n配置文件内容：\r\n----------------\r\n')


def listing_block(task):
    def text(v):
        return v if isinstance(v, bytes) else str(v).encode('gbk')
    local = text(task['localpath']).replace(b'/', b'\\')
    return (b'host       ' + text(task['host']) + b':' + text(task['port']) + b'\r\n' +
            b'user       ' + text(task['user']) + b':' + text(task['pwd']) + b'\r\n' +
            b'ftppath    ' + text(task['ftppath']) + b'\r\n' +
            b'localpath  ' + local + b'\r\n' +
            b'head       ' + text(task['head']) + b'\r\n' +
            b'tail       ' + text(task['tail']) + b'\r\n----------------\r\n')


def test_empty_task_list_prints_heading_and_zero_total(tmp_path):
    config = tmp_path / 'empty.cnf'
    config.write_bytes(b'# no tasks\r\n')
    code, out = run_tool('--cnf', config, timeout=30)
    assert code == 0
    assert out == HEADING + gbk('总共下载 0 个文件\r\n')


def test_failed_tasks_do_not_stop_later_ones_and_set_exit_status(tmp_path):
    root = make_tree(tmp_path / 'remote', {'d': {'one.bin': b'1', 'two.bin': b'22'}})
    local = tmp_path / 'local'
    local.mkdir()
    closed = unused_port()
    with pyftpd(root) as py, vsftpd(root) as vs:
        tasks = [
            {'host': HOST, 'port': closed, 'user': '', 'pwd': '', 'ftppath': '/d',
             'localpath': local, 'head': '', 'tail': ''},
            task_for(py, '/d', local),
            # vsftpd answers LIST of a missing path with an empty 226; the
            # tool must still call the directory missing.
            task_for(vs, '/no/such/dir', local),
        ]
        code, out = run_tool('--cnf', write_config(tmp_path / 'tasks.cnf', tasks), timeout=60)
    assert code == 1
    listing = HEADING + b''.join(listing_block(t) for t in tasks)
    assert out.startswith(listing)
    got = out[len(listing):].split(b'\r\n')
    assert got[:3] == [gbk('开始下载任务 %s:%d /d' % (HOST, closed)), b'cant not open hIntSession',
                       gbk('下载任务失败')]
    assert got[3] == gbk('开始下载任务 %s:%d /d' % (HOST, tasks[1]['port']))
    assert sorted(got[4:6]) == [gbk('下载文件 /d/one.bin'), gbk('下载文件 /d/two.bin')]
    assert got[6:] == [gbk('成功下载 2 个文件'),
                       gbk('开始下载任务 %s:%d /no/such/dir' % (HOST, tasks[2]['port'])),
                       gbk('获取路径 /no/such/dir 下的文件失败，errno=12003'),
                       gbk('下载任务失败'),
                       gbk('下载任务失败任务数为 2'), b'']
    assert sorted(os.listdir(local)) == ['one.bin', 'two.bin']


def test_cnf_alone_uses_default_file_and_half_credentials_log_in_anonymously(tmp_path):
    root = make_tree(tmp_path / 'remote', {'f.txt': b'content'})
    bin_dir = tmp_path / 'bin'
    bin_dir.mkdir()
    tool = copy_tool(bin_dir)
    local = tmp_path / 'local'
    local.mkdir()
    with pyftpd(root, user='bob', password='secret') as py:
        task = task_for(py, '/', local, user='bob', pwd='')
        write_config(bin_dir / 'Vandrisk.cnf', [task])
        code, out = run_tool('--cnf', binary=tool, timeout=30)
        login_lines = [line for line in py.log_bytes().splitlines() if b' LOGIN ' in line]
    assert code == 0, out
    assert out.endswith(gbk('下载文件 //f.txt\r\n成功下载 1 个文件\r\n总共下载 1 个文件\r\n'))
    assert (local / 'f.txt').read_bytes() == b'content'
    # user=bob with an empty pwd: no USER bob at all, an anonymous login.
    assert len(login_lines) == 1 and login_lines[0].endswith(b' LOGIN anonymous')


def test_key_wait_happens_only_on_a_terminal(tmp_path):
    # stdin /dev/null: no prompt, no wait (the other cases show it ends at once).
    code, out = run_tool('--cnf', tmp_path / 'missing.cnf', timeout=10)
    assert (code, out) == (0, gbk('初始化失败\r\n'))

    # A terminal: the prompt, then the program waits until a key arrives.
    import pty
    import select
    import time
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(os.environ['VANDRISK_BIN'], ['vandrisk', '--cnf', str(tmp_path / 'missing.cnf')])
    seen = b''
    deadline = time.monotonic() + 10
    while gbk('请按任意键继续') not in seen and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.2)[0]:
            seen += os.read(fd, 1024)
    # The terminal's own output processing turns each LF into CR LF.
    assert seen.replace(b'\r\r\n', b'\r\n') == gbk('初始化失败\r\n请按任意键继续. . .\r\n')
    time.sleep(0.5)
    assert os.waitpid(pid, os.WNOHANG) == (0, 0), 'ended without a key press'
    os.write(fd, b'x')
    _, status = os.waitpid(pid, 0)
    os.close(fd)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
