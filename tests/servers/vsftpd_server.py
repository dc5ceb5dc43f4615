#!/usr/bin/python3
"""Runs Debian's vsftpd on loopback for the tests.

Usage:
  python3 vsftpd_server.py --root DIR [--user NAME --password PW
          [--user-home HOME]] [--tls-cert PEM --tls-key KEY] [--log FILE]

Contract (same as pyftpd_server.py):
  * Starts /usr/sbin/vsftpd on 127.0.0.1 with a private configuration and
    prints exactly "PORT <n>\\n" on stdout (flushed) once it listens.
  * Serves until SIGTERM or SIGINT arrives, or until its stdin reaches EOF
    (start it with stdin=PIPE), then stops vsftpd with every session process
    it forked and exits 0. Exits 1 when vsftpd cannot start or dies early.
  * Active and passive mode. Passive data connections listen on 127.0.0.1,
    ports 30000-32767 (below Linux's ephemeral range).
  * Anonymous read-only login chrooted to DIR. vsftpd refuses a chroot root
    that the session user can write and shows anonymous users only
    world-readable files, so DIR itself is made root-owned 0755 here; the
    files in it must be world-readable.
  * --user/--password: a local account chrooted to DIR. A missing account is
    created (useradd, shell /bin/sh, home /) and marked as a test account;
    its password is set on every start, so concurrent instances sharing a
    name must share the password. Existing accounts not made by this
    launcher are never touched.
  * --user-home HOME (with --user): the account is not chrooted and logs in
    to HOME (PWD shows it), with the account's own rights: HOME and every
    directory above it must be searchable by others (pytest's tmp_path is
    not), its files readable.
  * --tls-cert/--tls-key: explicit FTPS only (AUTH TLS). Logins and data
    connections of anonymous and local users must use TLS; a data connection
    need not resume the control connection's TLS session (libcurl does not).
  * --log FILE: vsftpd's own protocol log (log_ftp_protocol). Session lines
    carry "[pid N]", which changes at login (privilege separation), and
    vsftpd prints bytes it deems unprintable (GBK included) as '?'.
"""

import argparse
import fcntl
import os
import pwd
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time

from lifetime import watch_stdin

VSFTPD = '/usr/sbin/vsftpd'
USER_MARK = 'vandrisk loopback test account'
USER_LOCK = os.path.join(tempfile.gettempdir(), 'vandrisk-ftp-test-users.lock')
START_ATTEMPTS = 5
START_TIMEOUT = 10.0
# Below Linux's ephemeral ports, so outgoing connections never hold them.
PASV_PORTS = (30000, 32767)


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--root', required=True)
    parser.add_argument('--user')
    parser.add_argument('--password')
    parser.add_argument('--user-home')
    parser.add_argument('--tls-cert')
    parser.add_argument('--tls-key')
    parser.add_argument('--log')
    args = parser.parse_args(argv)
    if (args.user is None) != (args.password is None):
        parser.error('--user and --password go together')
    if (args.tls_cert is None) != (args.tls_key is None):
        parser.error('--tls-cert and --tls-key go together')
    if args.user_home is not None:
        if args.user is None:
            parser.error('--user-home needs --user')
        args.user_home = os.path.realpath(args.user_home)
        closed = [d for d in ancestors(args.user_home)
                  if not os.stat(d).st_mode & stat.S_IXOTH]
        if closed:
            parser.error('--user-home: %s is not searchable by others' % closed[0])
    if not os.path.isdir(args.root):
        parser.error('--root %r is not a directory' % args.root)
    if args.user is not None and (not args.user or any(
            c in args.user for c in ':\n\r \t') or '\n' in args.password):
        parser.error('unusable --user/--password')
    return args


def ancestors(path):
    """`path` and every directory above it."""
    while True:
        yield path
        parent = os.path.dirname(path)
        if parent == path:
            return
        path = parent


def ftp_denied_users():
    try:
        with open('/etc/ftpusers') as f:
            return {line.strip() for line in f
                    if line.strip() and not line.startswith('#')}
    except OSError:
        return set()


def ensure_local_user(name, password):
    if name in ftp_denied_users():
        raise SystemExit('vsftpd_server: %s is listed in /etc/ftpusers' % name)
    with open(USER_LOCK, 'a') as lock:
        # useradd/chpasswd lock /etc/passwd and fail rather than wait, so
        # parallel launchers take turns here.
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            entry = pwd.getpwnam(name)
        except KeyError:
            entry = None
        if entry is None:
            subprocess.run(['useradd', '-M', '-d', '/', '-s', '/bin/sh',
                            '-c', USER_MARK, name], check=True)
        elif entry.pw_gecos != USER_MARK:
            raise SystemExit('vsftpd_server: refusing to reuse account %s '
                             '(not a test account)' % name)
        subprocess.run(['chpasswd'], input=('%s:%s\n' % (name, password)).encode(),
                       check=True)


def prepare_root(root):
    if os.geteuid() == 0:
        os.chown(root, 0, 0)
    os.chmod(root, 0o755)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def write_config(path, args, root, port):
    lines = [
        'listen=YES',
        'listen_ipv6=NO',
        'listen_address=127.0.0.1',
        'listen_port=%d' % port,
        'background=NO',
        'anonymous_enable=YES',
        'anon_root=%s' % root,
        'no_anon_password=YES',
        'write_enable=NO',
        'connect_from_port_20=NO',
        'seccomp_sandbox=NO',
        'dirmessage_enable=NO',
        'secure_chroot_dir=/var/run/vsftpd/empty',
        'pam_service_name=vsftpd',
        'ftpd_banner=loopback test server ready.',
        'port_enable=YES',
        'pasv_enable=YES',
        'pasv_address=127.0.0.1',
        'pasv_min_port=%d' % PASV_PORTS[0],
        'pasv_max_port=%d' % PASV_PORTS[1],
        # FEAT lists UTF8; names go out as stored either way (a Debian option).
        'utf8_filesystem=YES',
    ]
    if args.user_home is not None:
        lines += [
            'local_enable=YES',
            'local_root=%s' % args.user_home,
            'chroot_local_user=NO',
        ]
    elif args.user is not None:
        lines += [
            'local_enable=YES',
            'local_root=%s' % root,
            'chroot_local_user=YES',
            'allow_writeable_chroot=YES',
            # A plain local login enters local_root with the account's own
            # rights, so a root below a 0700 directory (pytest's tmp_path)
            # would be out of reach. As a guest mapped onto the same account
            # vsftpd enters the root as root first, then drops privileges;
            # but a guest is always chrooted, hence --user-home's own branch.
            'guest_enable=YES',
            'guest_username=%s' % args.user,
        ]
    else:
        lines.append('local_enable=NO')
    if args.tls_cert is not None:
        lines += [
            'ssl_enable=YES',
            'rsa_cert_file=%s' % os.path.abspath(args.tls_cert),
            'rsa_private_key_file=%s' % os.path.abspath(args.tls_key),
            'allow_anon_ssl=YES',
            'force_anon_logins_ssl=YES',
            'force_anon_data_ssl=YES',
            'force_local_logins_ssl=YES',
            'force_local_data_ssl=YES',
            # libcurl does not resume the control connection's TLS session
            # on data connections, which vsftpd demands by default.
            'require_ssl_reuse=NO',
            # vsftpd's default (DES-CBC3-SHA) is gone from OpenSSL 3.
            'ssl_ciphers=HIGH',
        ]
    if args.log:
        lines += [
            'xferlog_enable=YES',
            'xferlog_std_format=NO',
            'log_ftp_protocol=YES',
            'vsftpd_log_file=%s' % os.path.abspath(args.log),
        ]
    with open(path, 'w') as f:
        f.write('\n'.join(lines) + '\n')


def instance_pids(conf):
    """Every process running vsftpd with this instance's configuration.

    Session processes call setsid() and outlive the listener, so neither the
    process group nor the parent chain finds them all; the private
    configuration path does.
    """
    wanted = ('%s\0%s\0' % (VSFTPD, conf)).encode()
    pids = []
    for entry in os.listdir('/proc'):
        if not entry.isdigit():
            continue
        try:
            with open('/proc/%s/cmdline' % entry, 'rb') as f:
                if f.read() == wanted:
                    pids.append(int(entry))
        except OSError:
            pass
    return pids


def listening(pid, port):
    """True once `pid` owns a listening socket on 127.0.0.1:port.

    Checked through /proc rather than by connecting, which would start a
    session and add lines to the protocol log.
    """
    local = '0100007F:%04X' % port
    inodes = set()
    try:
        with open('/proc/%d/net/tcp' % pid) as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if fields[1] == local and fields[3] == '0A':
                    inodes.add(fields[9])
        for fd in os.listdir('/proc/%d/fd' % pid):
            target = os.readlink('/proc/%d/fd/%s' % (pid, fd))
            if target.startswith('socket:[') and target[8:-1] in inodes:
                return True
    except OSError:
        pass
    return False


def start_vsftpd(args, root, workdir):
    """Returns (process, port, conf); retries when the port was taken."""
    conf = os.path.join(workdir, 'vsftpd.conf')
    out_path = os.path.join(workdir, 'vsftpd.out')
    last_error = ''
    for _ in range(START_ATTEMPTS):
        port = free_port()
        write_config(conf, args, root, port)
        with open(out_path, 'wb') as out:
            proc = subprocess.Popen([VSFTPD, conf], stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=subprocess.STDOUT,
                                    start_new_session=True)
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if listening(proc.pid, port):
                return proc, port, conf
            if proc.poll() is not None:
                break
            time.sleep(0.02)
        else:
            proc.kill()
        proc.wait()
        with open(out_path, 'rb') as f:
            last_error = f.read().decode('utf8', 'replace').strip()
        if 'bind' not in last_error:
            break
    raise SystemExit('vsftpd_server: vsftpd did not start: %s' % last_error)


def stop_instance(proc, conf):
    for sig in (signal.SIGTERM, signal.SIGKILL):
        pids = instance_pids(conf)
        if not pids:
            break
        for pid in pids:
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 2.0
        while instance_pids(conf) and time.monotonic() < deadline:
            proc.poll()  # reaps the listener so it leaves /proc
            time.sleep(0.02)
    proc.wait()


def main(argv):
    args = parse_args(argv)
    root = os.path.realpath(args.root)
    stop = threading.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.set())

    prepare_root(root)
    if args.user is not None:
        ensure_local_user(args.user, args.password)

    with tempfile.TemporaryDirectory(prefix='vsftpd-') as workdir:
        proc, port, conf = start_vsftpd(args, root, workdir)
        try:
            sys.stdout.write('PORT %d\n' % port)
            sys.stdout.flush()
            threading.Thread(target=watch_stdin, args=(stop,),
                             daemon=True).start()
            while not stop.wait(0.1):
                if proc.poll() is not None:
                    sys.stderr.write('vsftpd_server: vsftpd exited (%d)\n'
                                     % proc.returncode)
                    return 1
        finally:
            stop_instance(proc, conf)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
