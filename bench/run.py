#!/usr/bin/python3
"""Times vandrisk's download walk against lftp, wget and curl over vsftpd on loopback.

Usually started through bench/run.sh, which installs the packages and builds
walk_bench first. Run as root (vsftpd needs it).

  /usr/bin/python3 bench/run.py --walk-bench BUILD/bench/walk_bench
          [--tool BUILD/vandrisk] [--quick] [--runs N] [--work DIR]
          [--b-target tmpfs|disk] [--keep-time-wait] [--no-pin]
          [--report FILE] [--only "A,C 5000,latency,..."]
          [--latency] [--baseline-tool OLD_BUILD/vandrisk]
          [--nosync-walk-bench NOSYNC_BUILD/bench/walk_bench]

What is timed, per run: the whole client process from start to exit (wall
clock), so startup counts for every tool. For vandrisk that process is
walk_bench, which runs one task's download_tree in process exactly as the
tool does but without the tool's 3 s pauses. Peak RSS comes from
/usr/bin/time -v. Runs of the four tools are interleaved (rotating order) so
that load from elsewhere on the machine spreads over all of them.

The protocol counts come from vsftpd's protocol log of each run (see
protocol_log.py). Server and clients run in a private network namespace (see
FRESH_AFTER_CONNECTIONS for why) and, but for the big file, on one CPU (see
PIN_NOTE).

The latency section (--latency, or "latency" in --only) runs every client
through latency_proxy.py at each RTT of LATENCY_RTTS_MS: tree L and one big
file, vandrisk with parallel=1, parallel=8 and parallel=8 passive=1 against
lftp's mirror (one and eight connections, active and passive), wget -m and
lftp's get. vandrisk is the tool itself there (--cnf, the keys written into
its task's group), its two 3 s pauses taken off each run's wall time; the
section measures them. It also has the memory case: the tool with
parallel=16 on the largest tree C.

Three more sections, each run only when named in --only:
  live   tree L at 50 ms, freshly written and a week old: what the second
         look at files the listing does not show to be old costs the tool
         (parallel=1 and 8; --baseline-tool: the build from before it).
  sync   tree A's first run and the largest tree B, both onto the disk,
         walk_bench against --nosync-walk-bench, a build whose fdatasync
         calls return at once: what durable downloads cost.
  large  one big file behind a server that caps each session's rate
         (vsftpd anon_max_rate, through the proxy at 50 ms): the tool's
         parallel=8 against lftp pget, lftp mirror --use-pget-n, aria2c and
         lftp get; the 64 MiB file without a cap (parallel=8 must not cost
         more than parallel=1); and a run killed halfway, then resumed.
"""

import argparse
import collections
import ctypes
import datetime
import fcntl
import filecmp
import os
import platform
import re
import shutil
import signal
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, 'tests', 'servers'))
import protocol_log  # noqa: E402

PYTHON = sys.executable  # the interpreter this script runs under
TIME = '/usr/bin/time'
SERVER = os.path.join(ROOT, 'tests', 'servers', 'vsftpd_server.py')
CURL_MIRROR = os.path.join(HERE, 'curl_mirror.py')
WIRE_FLOOR = os.path.join(HERE, 'wire_floor.py')
LATENCY_PROXY = os.path.join(HERE, 'latency_proxy.py')
CAPPED_SERVER = os.path.join(HERE, 'vsftpd_capped.py')
TOOLS = ('vandrisk', 'lftp', 'wget', 'curl')
PEERS = TOOLS[1:]
MIB = 1024 * 1024
# A run that takes longer than this has hung (e.g. an active-mode connect-back
# that never comes).
RUN_TIMEOUT = 600

FULL = {
    'runs': 5,
    'a_dirs': 50, 'a_files': 40, 'a_size': 4096,
    'b_sizes': (256 * MIB, 1024 * MIB),
    'c_counts': (5000, 10000, 20000), 'c_size': 1024,
    'd_depth': 100, 'd_size': 4096,
    'l_runs': 3, 'l_dirs': 10, 'l_files': 20, 'l_size': 4096, 'l_big': 64 * MIB,
    'g_big': 128 * MIB, 'g_rate': 2 * MIB,
}
QUICK = {
    'runs': 2,
    'a_dirs': 10, 'a_files': 10, 'a_size': 4096,
    'b_sizes': (16 * MIB, 64 * MIB),
    'c_counts': (500, 1000, 2000), 'c_size': 1024,
    'd_depth': 20, 'd_size': 4096,
    'l_runs': 1, 'l_dirs': 3, 'l_files': 5, 'l_size': 4096, 'l_big': 8 * MIB,
    'g_big': 64 * MIB, 'g_rate': 16 * MIB,
}

# The latency section. Tool names: program, connections, data mode. vandrisk
# is the tool itself, run with --cnf; 'vandrisk base' is --baseline-tool, a
# build from before the parallel keys, with the configuration of 'vandrisk P1'.
LATENCY_RTTS_MS = (10, 50)
TOOL_VARIANTS = {  # name: (program, connections, passive data connections)
    'vandrisk P1': ('vandrisk', 1, False),
    'vandrisk P8': ('vandrisk', 8, False),
    'vandrisk P8 pasv': ('vandrisk', 8, True),
    'vandrisk P16': ('vandrisk', 16, False),
    'vandrisk base': ('vandrisk base', 1, False),
    'vandrisk base P8': ('vandrisk base', 8, False),
    'lftp P1': ('lftp', 1, False),
    'lftp P8': ('lftp', 8, False),
    'lftp P8 pasv': ('lftp', 8, True),
    'wget -m': ('wget -m', 1, False),
    'lftp get': ('lftp get', 1, False),
    'lftp pget': ('lftp pget', 8, False),
    'lftp mirror pget': ('lftp mirror pget', 8, False),
    'aria2c': ('aria2c', 8, False),
}
LATENCY_TOOLS = ('vandrisk P1', 'vandrisk P8', 'vandrisk P8 pasv', 'lftp P1', 'lftp P8',
                 'lftp P8 pasv', 'wget -m')
BIG_FILE_TOOL = 'lftp get'
MEMORY_TOOLS = ('vandrisk P1', 'vandrisk P16')
# The sections 'live', 'sync' and 'large' run only when --only names them:
# see the docstring.
DELAYED_SECTIONS = ('latency', 'live', 'large')  # runs: --runs, else l_runs
EXTRA_RTT_MS = 50
# Every case but 'live fresh' makes its tree's files a week old first. The
# tool asks about each file again after its transfer, at least 1 s after the
# directory's listing, unless the listing shows the file to be old (LIST: a
# date more than a day back): in a tree just written that wait and question
# would be the whole of a loopback walk (a second per directory), which the
# live section measures on its own.
OLD_AGE_S = 7 * 86400
CAPPED_TOOLS = ('vandrisk P8', 'vandrisk P1', 'lftp pget', 'lftp mirror pget', 'aria2c',
                'lftp get')
SYNC_TOOLS = ('vandrisk', 'vandrisk nosync')
# The resume case kills the tool once its journal names this share of the
# file, and the next run may fetch at most RESUME_LIMIT of it.
RESUME_AT = 0.5
RESUME_LIMIT = 0.55
PARTIAL_DIR = '.vandrisk\\partial'  # where the tool keeps the partials of a directory
TOOL_PAUSES = 6.0  # the tool's 3 s after its task and 3 s before it exits
# The tool's console line after a successful task (GBK): the pauses follow it.
TASK_SUCCEEDED = '成功下载 '.encode('gbk')


class Case:
    """One measured situation: a remote tree, fetched into an empty local
    directory ('first') or into a complete copy ('rerun')."""

    def __init__(self, name, tree, mode, files, dirs, total_bytes, on_tmpfs=False,
                 tools=TOOLS, pinned=True, rtt_ms=None, section='loopback', rate=None,
                 age_s=OLD_AGE_S):
        self.name = name
        self.pinned = pinned  # server and client on one CPU, see PIN_NOTE
        self.tools = tools
        self.section = section  # 'loopback', 'latency', 'live', 'sync' or 'large'
        self.rtt_ms = rtt_ms  # through latency_proxy.py when set
        self.rate = rate  # the server's cap per session (bytes/s) when set
        self.age_s = age_s  # the tree's files are made this old first, see OLD_AGE_S
        # A control case: vandrisk alone, to separate its own cost from the disk's.
        self.control = section == 'loopback' and tools != TOOLS
        self.tree = tree  # remote directory, e.g. '/A'
        self.mode = mode
        self.files = files  # files in the tree
        self.dirs = dirs  # directories listed by a full walk, the root included
        self.total_bytes = total_bytes
        self.on_tmpfs = on_tmpfs
        self.samples = collections.defaultdict(list)  # tool -> [(seconds, rss_kib)]
        self.protocol = {}  # tool -> RunCounts of the first measured run
        self.protocol_stable = {}  # tool -> every measured run sent the same commands

    def median(self, tool):
        return statistics.median(s for s, _ in self.samples[tool])

    def peak_rss_mib(self, tool):
        return max(r for _, r in self.samples[tool]) / 1024.0


# ---------------------------------------------------------------- trees

def write_file(path, size):
    with open(path, 'wb') as f:
        f.write(os.urandom(size))
    os.chmod(path, 0o644)


def write_big_file(path, size):
    chunk = os.urandom(16 * MIB)
    with open(path, 'wb') as f:
        left = size
        n = 0
        while left > 0:
            piece = (n.to_bytes(8, 'little') + chunk)[:min(left, len(chunk))]
            f.write(piece)
            left -= len(piece)
            n += 1
    os.chmod(path, 0o644)


def make_dir(path):
    os.mkdir(path)
    os.chmod(path, 0o755)


def size_label(size):
    return '%dM' % (size // MIB) if size < 1024 * MIB else '%dG' % (size // (1024 * MIB))


def plan_cases(cfg):
    """The cases to measure, in order; their trees are made by make_tree()."""
    a_files = cfg['a_dirs'] * cfg['a_files']
    cases = [
        Case('A first', '/A', 'first', a_files, cfg['a_dirs'] + 1, a_files * cfg['a_size']),
        Case('A rerun', '/A', 'rerun', a_files, cfg['a_dirs'] + 1, 0),
    ]
    for size in cfg['b_sizes']:
        label = size_label(size)
        cases.append(Case('B %s' % label, '/B' + label, 'first', 1, 1, size, on_tmpfs=True,
                          pinned=False))
    for mode in ('first', 'rerun'):
        for count in cfg['c_counts']:
            cases.append(Case('C %d %s' % (count, mode), '/C%d' % count, mode, count, 1,
                              count * cfg['c_size'] if mode == 'first' else 0))
    # File creation on the disk costs more, and varies more, than the whole
    # FTP exchange of a small file: the same first runs into tmpfs show the
    # walk's own growth.
    for count in cfg['c_counts']:
        cases.append(Case('C %d tmpfs' % count, '/C%d' % count, 'first', count, 1,
                          count * cfg['c_size'], on_tmpfs=True, tools=('vandrisk',)))
    cases.append(Case('D first', '/D', 'first', cfg['d_depth'], cfg['d_depth'],
                      cfg['d_depth'] * cfg['d_size']))
    cases.append(Case('D rerun', '/D', 'rerun', cfg['d_depth'], cfg['d_depth'], 0))
    return cases


def plan_latency_cases(cfg, baseline):
    """The latency section's cases: tree L and the big file at each RTT, then
    the memory case (no delay, pinned like the other tree C cases)."""
    tools = LATENCY_TOOLS + (('vandrisk base',) if baseline else ())
    files = cfg['l_dirs'] * cfg['l_files']
    big = '/L' + size_label(cfg['l_big'])
    cases = []
    for rtt in LATENCY_RTTS_MS:
        for mode in ('first', 'rerun'):
            cases.append(Case('L%d %s' % (rtt, mode), '/L', mode, files, cfg['l_dirs'] + 1,
                              files * cfg['l_size'] if mode == 'first' else 0, tools=tools,
                              pinned=False, rtt_ms=rtt, section='latency'))
        cases.append(Case('L%d %s' % (rtt, big[2:]), big, 'first', 1, 1, cfg['l_big'],
                          on_tmpfs=True, tools=tools + (BIG_FILE_TOOL,), pinned=False,
                          rtt_ms=rtt, section='latency'))
    count = max(cfg['c_counts'])
    cases.append(Case('M C%d first' % count, '/C%d' % count, 'first', count, 1,
                      count * cfg['c_size'], tools=MEMORY_TOOLS, section='latency'))
    return cases


def plan_extra_cases(cfg, args):
    """The cases of the sections live, sync and large that --only names."""
    cases = []
    l_files = cfg['l_dirs'] * cfg['l_files']
    a_files = cfg['a_dirs'] * cfg['a_files']
    if 'live' in args.only:
        tools = ('vandrisk P1', 'vandrisk P8') + (
            ('vandrisk base', 'vandrisk base P8') if args.baseline_tool else ())
        for label, age in (('fresh', 0), ('old', OLD_AGE_S)):
            for mode in ('first', 'rerun'):
                cases.append(Case('live L%d %s %s' % (EXTRA_RTT_MS, label, mode), '/L', mode,
                                  l_files, cfg['l_dirs'] + 1,
                                  l_files * cfg['l_size'] if mode == 'first' else 0, tools=tools,
                                  pinned=False, rtt_ms=EXTRA_RTT_MS, section='live', age_s=age))
        # The same on loopback, tree A pinned like the loopback cases: the
        # wait alone.
        for label, age in (('fresh', 0), ('old', OLD_AGE_S)):
            cases.append(Case('live A %s first' % label, '/A', 'first', a_files, cfg['a_dirs'] + 1,
                              a_files * cfg['a_size'], tools=tools, section='live', age_s=age))
    if 'sync' in args.only:
        big = max(cfg['b_sizes'])
        cases += [
            Case('sync A first', '/A', 'first', a_files, cfg['a_dirs'] + 1,
                 a_files * cfg['a_size'], tools=SYNC_TOOLS, section='sync'),
            Case('sync B%s disk' % size_label(big), '/B' + size_label(big), 'first', 1, 1, big,
                 tools=SYNC_TOOLS, pinned=False, section='sync')]
    if 'large' in args.only:
        capped, uncapped = size_label(cfg['g_big']), size_label(cfg['l_big'])
        cases += [
            Case('large capped %s' % capped, '/G' + capped, 'first', 1, 1, cfg['g_big'],
                 on_tmpfs=True, tools=CAPPED_TOOLS, pinned=False, rtt_ms=EXTRA_RTT_MS,
                 section='large', rate=cfg['g_rate']),
            Case('large uncapped %s' % uncapped, '/L' + uncapped, 'first', 1, 1, cfg['l_big'],
                 on_tmpfs=True, tools=('vandrisk P1', 'vandrisk P8'), pinned=False,
                 rtt_ms=EXTRA_RTT_MS, section='large')]
    return cases


def make_tree(srv, tree, cfg):
    """Creates the remote tree `tree` ('/A', '/B1G', '/C5000', '/D', '/L',
    '/L64M', '/G128M') under srv."""
    root = srv + tree
    make_dir(root)
    if tree in ('/A', '/L'):
        key = tree[1].lower()
        for d in range(cfg[key + '_dirs']):
            sub = os.path.join(root, 'd%02d' % d)
            make_dir(sub)
            for i in range(cfg[key + '_files']):
                write_file(os.path.join(sub, 'f%03d.dat' % i), cfg[key + '_size'])
    elif tree.startswith('/L'):
        write_big_file(os.path.join(root, 'big.bin'), cfg['l_big'])
    elif tree.startswith('/G'):
        write_big_file(os.path.join(root, 'big.bin'), cfg['g_big'])
    elif tree.startswith('/B'):
        size = next(s for s in cfg['b_sizes'] if '/B' + size_label(s) == tree)
        write_big_file(os.path.join(root, 'big.bin'), size)
    elif tree.startswith('/C'):
        for i in range(int(tree[2:])):
            write_file(os.path.join(root, 'c%05d.dat' % i), cfg['c_size'])
    elif tree == '/D':
        # A chain: every level holds one file and the next level.
        level = root
        for depth in range(cfg['d_depth']):
            write_file(os.path.join(level, 'f.dat'), cfg['d_size'])
            if depth + 1 < cfg['d_depth']:
                level = os.path.join(level, 'n')
                make_dir(level)
    else:
        raise ValueError(tree)


def set_age(root, age_s):
    """Gives every file and directory below root the time age_s ago."""
    when = time.time() - age_s
    for top, _, names in os.walk(root):
        for path in [top] + [os.path.join(top, name) for name in names]:
            os.utime(path, (when, when))


# ---------------------------------------------------------------- server

CLONE_NEWNET = 0x40000000
SIOCGIFFLAGS = 0x8913
SIOCSIFFLAGS = 0x8914
IFF_UP = 0x1
# In active mode every transfer leaves the server's end of its data connection
# in TIME_WAIT for 60 s. On loopback those sockets crowd the port range that
# vsftpd's bind() for the next data connection searches: with some thousand
# of them each bind gets slower (perf: inet_csk_get_port/inet_bhash2_conflict
# in vsftpd), so 20,000 small files take 6x as long (vandrisk into tmpfs:
# 19.4 s against 3.0 s), a cost of the test set-up that no client can change. The benchmark therefore runs in a private
# network namespace whose loopback keeps no TIME_WAIT sockets
# (tcp_max_tw_buckets=0; nothing else shares that loopback). With
# --keep-time-wait the kernel default stays and the namespace is renewed
# after this many connections, so that one run's ports do not burden the next.
FRESH_AFTER_CONNECTIONS = 1000
# On this kind of VM a process that wakes a process on the other vCPU waits for
# the hypervisor to wake that vCPU: a walk, which is one long chain of such
# ping-pongs between client and server, then spends most of its time idle
# (vandrisk, 20,000 files into tmpfs: 3.0 s on one CPU, 6-11 s on two with
# the CPUs 55% idle, the figure moving with the load of unrelated processes). Every case but
# the big file therefore runs server and client on one CPU. The big file runs
# unpinned: there the sender and the receiver work in parallel, as they do on
# two machines.
PIN_NOTE = ('server and client share one CPU in every case but B (cross-vCPU wake-ups '
            'would otherwise dominate the latency-bound walks); B runs unpinned')


def enter_new_netns(keep_time_wait):
    """Moves this process (and the children it starts later) to a new network
    namespace with its loopback interface up. False when not permitted."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(CLONE_NEWNET) != 0:
        return False
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack('16sH22x', b'lo', 0)
        flags = struct.unpack('16sH22x', fcntl.ioctl(s, SIOCGIFFLAGS, request))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack('16sH22x', b'lo', flags | IFF_UP))
    if not keep_time_wait:
        with open('/proc/sys/net/ipv4/tcp_max_tw_buckets', 'w') as f:
            f.write('0\n')
    return True


class Launched:
    """A helper process that prints "PORT <n>" once it listens and stops when
    its stdin closes: the vsftpd launcher, latency_proxy.py."""

    def __init__(self, cmd, name):
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        line = self.proc.stdout.readline().decode()
        if not line.startswith('PORT '):
            self.stop()
            raise SystemExit('run.py: %s did not start' % name)
        self.port = int(line.split()[1])

    def stop(self):
        if self.proc.poll() is None:
            self.proc.stdin.close()
            try:
                self.proc.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.proc.terminate()
                self.proc.wait()
        self.proc.stdout.close()


class Vsftpd(Launched):
    def __init__(self, root, log, rate=None):
        """rate: the most bytes per second each session sends (None: no cap)."""
        self.log = log
        launcher = [SERVER] if rate is None else [CAPPED_SERVER, str(rate)]
        super().__init__([PYTHON] + launcher + ['--root', root, '--log', log], 'vsftpd')

    def log_end(self):
        try:
            return os.path.getsize(self.log)
        except OSError:
            return 0

    def settle(self):
        """Waits until the log stops growing: a client that exits before
        the server has logged its last reply (or without QUIT, like wget)
        leaves the session process writing for a moment."""
        last = -1
        quiet = 0
        deadline = time.monotonic() + 5.0
        while time.monotonic() < deadline and quiet < 3:
            size = self.log_end()
            quiet = quiet + 1 if size == last else 0
            last = size
            time.sleep(0.03)


class Network:
    """The server and the loopback it runs on; see FRESH_AFTER_CONNECTIONS."""

    def __init__(self, srv, work, keep_time_wait, pin):
        self.srv = srv
        self.work = work
        self.keep_time_wait = keep_time_wait
        self.all_cpus = os.sched_getaffinity(0)
        self.one_cpu = {max(self.all_cpus)} if pin else self.all_cpus
        self.pinned = False
        self.server = None
        self.rtt_ms = None
        self.proxy = None  # latency_proxy.py between clients and server, see delay()
        self.rate = None  # the server's cap per session, see cap()
        self.instances = 0
        self.connections = 0
        self.namespaces = True
        self.fresh()

    def fresh(self):
        self.stop()
        if self.namespaces and not enter_new_netns(self.keep_time_wait):
            self.namespaces = False
            print('run.py: cannot create network namespaces (%s); ports used by one run '
                  'stay in TIME_WAIT for the next ones' % os.strerror(ctypes.get_errno()),
                  file=sys.stderr)
        self.instances += 1
        log = os.path.join(self.work, 'vsftpd-%03d.log' % self.instances)
        self.server = Vsftpd(self.srv, log, self.rate)
        self.start_proxy()
        self.connections = 0

    def use(self, pinned, rate=None, rtt_ms=None):
        """Sets up the following runs: see pin(), cap() and delay()."""
        self.pin(pinned)
        self.cap(rate)
        self.delay(rtt_ms)

    def pin(self, pinned):
        """Runs the server and the following clients on one CPU or on all;
        the server restarts so that its sessions inherit the setting."""
        if pinned == self.pinned:
            return
        os.sched_setaffinity(0, self.one_cpu if pinned else self.all_cpus)
        self.pinned = pinned
        self.fresh()

    def cap(self, rate):
        """Restarts the server with this cap on each session's rate (bytes/s;
        None: none)."""
        if rate != self.rate:
            self.rate = rate
            self.fresh()

    def delay(self, rtt_ms):
        """Puts latency_proxy.py with this RTT between the following clients
        and the server; None: clients reach the server directly."""
        if rtt_ms == self.rtt_ms:
            return
        if self.proxy:
            self.proxy.stop()
            self.proxy = None
        self.rtt_ms = rtt_ms
        self.start_proxy()

    def start_proxy(self):
        if self.rtt_ms:
            self.proxy = Launched([PYTHON, LATENCY_PROXY, '--rtt-ms', str(self.rtt_ms),
                                   '--port', str(self.server.port)], 'latency_proxy.py')

    @property
    def port(self):
        """The port clients connect to."""
        return self.proxy.port if self.proxy else self.server.port

    def run(self, command_for_port):
        """Times one client run, the command made for the server's port;
        returns (seconds, peak RSS KiB, RunCounts with sent_bytes)."""
        if (self.namespaces and self.keep_time_wait
                and self.connections >= FRESH_AFTER_CONNECTIONS):
            self.fresh()
        self.server.settle()
        offset = self.server.log_end()
        wall, rss = timed_run(command_for_port(self.port))
        self.server.settle()
        counts = self.counts_since(offset)
        connections = counts.connects + data_connections(counts)
        # Through the proxy every connection is two.
        self.connections += connections * (2 if self.proxy else 1)
        return wall, rss, counts

    def counts_since(self, offset):
        """RunCounts of what the server logged from `offset` on, and in
        sent_bytes what it sent for RETR, transfers cut short included."""
        lines, _ = protocol_log.read_new_lines(self.server.log, offset)
        counts = protocol_log.analyse(lines)
        counts.sent_bytes = 0
        for record in filter(None, map(protocol_log.parse_line, lines)):
            size = re.search(rb', (\d+) bytes,', record.arg)
            if record.kind in ('download', 'download_failed') and size:
                counts.sent_bytes += int(size.group(1))
        return counts

    def stop(self):
        if self.proxy:
            self.proxy.stop()
            self.proxy = None
        if self.server:
            self.server.stop()
            self.server = None


# ---------------------------------------------------------------- tools

def tool_command(tool, args, port, remote, local):
    cut = '--cut-dirs=%d' % len([p for p in remote.split('/') if p])
    url = 'ftp://127.0.0.1:%d%s/' % (port, remote)
    if tool in SYNC_TOOLS:
        walk_bench = args.walk_bench if tool == 'vandrisk' else args.nosync_walk_bench
        return [walk_bench, '127.0.0.1', str(port), remote, local]
    if tool == 'lftp':
        script = ('set ftp:passive-mode off; open -p %d 127.0.0.1; '
                  'mirror --only-missing %s %s' % (port, remote, local))
        return ['lftp', '-c', script]
    if tool == 'wget':
        return ['wget', '-q', '-r', '-l', 'inf', '-nc', '-nH', cut, '--no-passive-ftp', '-P',
                local, url]
    if tool == 'curl':
        return [PYTHON, '-S', CURL_MIRROR, '127.0.0.1', str(port), remote, local]
    program, connections, passive = TOOL_VARIANTS[tool]
    if program.startswith('vandrisk'):
        config = os.path.join(args.work, 'cnf-%s.cnf' % local_name(tool))
        extra = 'parallel=%d\n' % connections + ('passive=1\n' if passive else '')
        write_tool_config(config, port, remote, local, extra)
        return [args.baseline_tool if program == 'vandrisk base' else args.tool, '--cnf', config]
    if program.startswith('lftp'):
        script = 'set ftp:passive-mode %s; open -p %d 127.0.0.1; ' % (
            'on' if passive else 'off', port)
        if program == 'lftp get':
            script += 'get %s/big.bin -o %s/big.bin' % (remote, local)
        elif program == 'lftp pget':
            script += 'pget -n %d %s/big.bin -o %s/big.bin' % (connections, remote, local)
        else:
            script += 'mirror --only-missing --%s=%d %s %s' % (
                'use-pget-n' if program.endswith('pget') else 'parallel', connections, remote,
                local)
        return ['lftp', '-c', script]
    if program == 'aria2c':
        # -k1M: aria2 splits no range below twice --min-split-size (20M by
        # default), which would leave 128 MiB with fewer than 8 connections.
        return ['aria2c', '-q', '-x%d' % connections, '-s%d' % connections, '-k1M',
                '--ftp-pasv=false', '-d', local, '-o', 'big.bin', url + 'big.bin']
    # -m keeps each directory's listing as a file, which the local copy must
    # not hold: --remove-listing.
    return ['wget', '-q', '-m', '--remove-listing', '-nH', cut, '--no-passive-ftp', '-P', local,
            url]


def real_tool(tool):
    """True for the tool itself (--cnf), whose wall time holds its pauses."""
    return TOOL_VARIANTS.get(tool, ('',))[0].startswith('vandrisk')


def local_name(tool):
    return tool.replace(' ', '_')


def write_tool_config(path, port, remote, local, extra=''):
    """One task for the tool; extra: key lines for the task's group."""
    with open(path, 'w') as f:
        f.write('host=127.0.0.1\nport=%d\nftppath=%s\nlocalpath=%s\nhead=\n%stail=\n' %
                (port, remote, local.replace('/', '\\'), extra))


RSS = re.compile(r'Maximum resident set size \(kbytes\): (\d+)')


def timed_run(cmd, ok_codes=(0,)):
    """(wall seconds, peak RSS KiB) of one run; raises on a failed run."""
    with tempfile.NamedTemporaryFile(prefix='bench-time-') as report:
        start = time.perf_counter()
        run = subprocess.run([TIME, '-v', '-o', report.name] + cmd, stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             timeout=RUN_TIMEOUT, check=False)
        wall = time.perf_counter() - start
        text = open(report.name).read()
    if run.returncode not in ok_codes:
        raise RuntimeError('%s failed (%d): %s' % (cmd[0], run.returncode,
                                                   run.stderr.decode(errors='replace')[-500:]))
    match = RSS.search(text)
    return wall, int(match.group(1)) if match else 0


def fresh_dir(path):
    if os.path.lexists(path):
        shutil.rmtree(path)
    os.makedirs(path)


def local_summary(path):
    """(files, directories below path, bytes) of a local tree."""
    files = dirs = size = 0
    for top, dirnames, filenames in os.walk(path):
        dirs += len(dirnames)
        files += len(filenames)
        size += sum(os.path.getsize(os.path.join(top, name)) for name in filenames)
    return files, dirs, size


def verify(case, tool, srv, local):
    """Checks the local copy after a first run: counts, then every file's
    bytes (cmp for the big file)."""
    files, dirs, size = local_summary(local)
    if files != case.files or dirs != case.dirs - 1 or size != case.total_bytes:
        raise RuntimeError('%s on %s: local copy has %d files, %d directories, %d bytes; '
                           'expected %d, %d, %d' % (tool, case.name, files, dirs, size,
                                                    case.files, case.dirs - 1, case.total_bytes))
    if case.files == 1:
        subprocess.run(['cmp', os.path.join(srv + case.tree, 'big.bin'),
                        os.path.join(local, 'big.bin')], check=True)
        return
    for top, _, names in os.walk(local):
        remote = os.path.join(srv + case.tree, os.path.relpath(top, local))
        for name in names:
            if not filecmp.cmp(os.path.join(remote, name), os.path.join(top, name),
                               shallow=False):
                raise RuntimeError('%s on %s: %s differs' % (tool, case.name,
                                                             os.path.join(top, name)))


# ---------------------------------------------------------------- measuring

def measure(cases, args, net, srv, work):
    tmpfs_base = tempfile.mkdtemp(prefix='vandrisk-bench-', dir='/dev/shm')
    try:
        for case in cases:
            started = time.monotonic()
            net.use(case.pinned, case.rate, case.rtt_ms)
            set_age(srv + case.tree, case.age_s)
            on_tmpfs = case.control or (case.on_tmpfs and args.b_target == 'tmpfs')
            base = tmpfs_base if on_tmpfs else os.path.join(work, 'local')
            # One local copy per tree and tool: a rerun case finds the copy the
            # tool made in the first-run case of the same tree.
            locals_ = {t: os.path.join(base, case.tree.strip('/'), local_name(t))
                       for t in case.tools}
            if case.mode == 'rerun':
                for tool in case.tools:
                    if not complete_copy(case, locals_[tool]):
                        fresh_dir(locals_[tool])
                        net.run(lambda port: tool_command(tool, args, port, case.tree,
                                                          locals_[tool]))
                        if not complete_copy(case, locals_[tool]):
                            raise RuntimeError('%s left an incomplete copy of %s' %
                                               (tool, case.tree))
            signatures = collections.defaultdict(set)
            for rep in range(runs_of(case, args)):
                turn = rep % len(case.tools)
                order = case.tools[turn:] + case.tools[:turn]
                for tool in order:
                    local = locals_[tool]
                    if case.mode == 'first':
                        fresh_dir(local)
                    os.sync()  # earlier runs' dirty pages are not this run's work
                    wall, rss, counts = net.run(
                        lambda port: tool_command(tool, args, port, case.tree, local))
                    if real_tool(tool):
                        wall -= TOOL_PAUSES
                    case.samples[tool].append((wall, rss))
                    signatures[tool].add(tuple(sorted(counts.mix.items())))
                    if tool not in case.protocol:
                        case.protocol[tool] = counts
                    if rep == 0 and case.mode == 'first':
                        verify(case, tool, srv, local)
                    if case.mode == 'rerun' and counts.downloads:
                        raise RuntimeError('%s fetched %d files on %s' %
                                           (tool, counts.downloads, case.name))
            for tool in case.tools:
                case.protocol_stable[tool] = len(signatures[tool]) == 1
            if on_tmpfs:
                shutil.rmtree(os.path.join(base, case.tree.strip('/')))
            print('  %-16s %s  (%.0f s)' % (case.name, '  '.join(
                '%s %.3f' % (t, case.median(t)) for t in case.tools), time.monotonic() - started),
                flush=True)
    finally:
        shutil.rmtree(tmpfs_base, ignore_errors=True)


def runs_of(case, args):
    return args.latency_runs if case.section in DELAYED_SECTIONS else args.runs


def complete_copy(case, local):
    if not os.path.isdir(local):
        return False
    files, dirs, _ = local_summary(local)
    return files == case.files and dirs == case.dirs - 1


def tool_check(args, net, work):
    """The real tool on tree A, a first run and a rerun, to show that
    walk_bench is the tool minus its two 3 s pauses: the same wire traffic,
    the same time plus 6 s. Returns [(mode, seconds, peak RSS KiB, RunCounts)]."""
    if not args.tool:
        return []
    local = os.path.join(work, 'local', 'tool_check')
    fresh_dir(local)
    config = os.path.join(work, 'tool_check.cnf')

    def command(port):
        write_tool_config(config, port, '/A', local)
        return [args.tool, '--cnf', config]
    net.use(pinned=True)
    results = []
    for mode in ('first', 'rerun'):
        os.sync()
        results.append((mode,) + net.run(command))
    return results


def measure_floors(cases, args, net):
    """What a rerun cannot go below, for the rerun cases.

    startup: walk_bench against a port nobody listens on (process start,
    loading libcurl and its libraries, one refused connect), timed like every
    run. wire: wire_floor.py's in-process time for login plus the fewest
    commands that walk the tree. Returns {case name: (startup s, login s,
    walk s)}.
    """
    c_files = max([c.files for c in cases if c.name.startswith('C')], default=0)
    reruns = [c for c in cases if c.section == 'loopback' and c.mode == 'rerun'
              and not (c.name.startswith('C') and c.files != c_files)]
    if not reruns:
        return {}
    net.use(pinned=True)
    with socket.socket() as reserved:  # bound, never listening: connects are refused
        reserved.bind(('127.0.0.1', 0))
        closed = reserved.getsockname()[1]
        startup = statistics.median(
            timed_run([args.walk_bench, '127.0.0.1', str(closed), '/', '/nonexistent'],
                      ok_codes=(1,))[0] for _ in range(max(args.runs, 5)))
    floors = {}
    for case in reruns:
        samples = []
        for _ in range(args.runs):
            net.server.settle()
            out = subprocess.run([PYTHON, WIRE_FLOOR, '127.0.0.1', str(net.server.port),
                                  case.tree], stdout=subprocess.PIPE, check=True)
            login_ms, walk_ms, dirs = out.stdout.split()
            if int(dirs) != case.dirs:
                raise RuntimeError('wire_floor listed %s directories of %s' % (dirs, case.tree))
            samples.append((float(login_ms) / 1000, float(walk_ms) / 1000))
        floors[case.name] = (startup, statistics.median(s[0] for s in samples),
                             statistics.median(s[1] for s in samples))
    return floors


def measure_delayed_setup(cases, args, net, srv, work):
    """What the sections with the proxy or the tool itself state besides
    their cases: the RTT a client sees through the proxy, {rtt_ms: (connect to
    greeting s, NOOP round trip s)}, and the tool's pauses in seconds, on the
    smallest tree it fetched (None where only walk_bench ran)."""
    rtts = {}
    for rtt in sorted(set(c.rtt_ms for c in cases if c.rtt_ms)):
        net.use(pinned=False, rtt_ms=rtt)
        samples = [probe_rtt(net.port) for _ in range(5)]
        rtts[rtt] = tuple(statistics.median(s[i] for s in samples) for i in (0, 1))
    net.use(pinned=False)
    pauses = None
    trees = set(c.tree for c in cases if any(real_tool(t) for t in c.tools))
    if trees:
        tree = min(trees, key=lambda t: local_summary(srv + t)[2])
        local = os.path.join(work, 'local', 'pauses')
        config = os.path.join(work, 'pauses.cnf')
        samples = []
        for _ in range(3):
            fresh_dir(local)
            write_tool_config(config, net.port, tree, local)
            net.server.settle()
            samples.append(pauses_of(args.tool, config))
        pauses = statistics.median(samples)
    return rtts, pauses


def journal_haves(local, name='big.bin'):
    """The (begin, end) ranges the journal of the tool's partial of `name` in
    `local` names as on disk; [] without a journal."""
    path = os.path.join(local, PARTIAL_DIR, name + '.journal')
    try:
        with open(path) as f:
            lines = f.read().splitlines()
    except OSError:
        return []
    return [(int(b), int(e)) for word, b, e in
            (line.split() for line in lines if line.startswith('have ')) if word == 'have']


def measure_resume(case, args, net, srv):
    """The tool with parallel=8 on `case`'s big file, killed (SIGKILL) once
    its journal names RESUME_AT of the file as on disk, then run again to the
    end. Returns a dict of what each run did (see resume_lines())."""
    tool = 'vandrisk P8'
    net.use(case.pinned, case.rate, case.rtt_ms)
    base = tempfile.mkdtemp(prefix='vandrisk-bench-', dir='/dev/shm')
    local = os.path.join(base, 'resume')
    try:
        fresh_dir(local)
        net.server.settle()
        offset = net.server.log_end()
        started = time.perf_counter()
        proc = subprocess.Popen(tool_command(tool, args, net.port, case.tree, local),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        while proc.poll() is None:
            haves = journal_haves(local)
            if sum(e - b for b, e in haves) >= RESUME_AT * case.total_bytes:
                proc.kill()
                break
            time.sleep(0.02)
        killed_after = time.perf_counter() - started
        if proc.wait() != -signal.SIGKILL:
            raise RuntimeError('%s ended before half of %s came' % (tool, case.tree))
        part = os.path.join(local, PARTIAL_DIR, 'big.bin.part')
        result = {
            'killed_after': killed_after, 'haves': haves,
            # Allocated, not the size: the ranges are written at their offsets.
            'part_bytes': os.stat(part).st_blocks * 512 if os.path.exists(part) else 0,
            'final_name': os.path.lexists(os.path.join(local, 'big.bin')),
        }
        net.server.settle()
        result['killed_counts'] = net.counts_since(offset)
        wall, rss, counts = net.run(lambda port: tool_command(tool, args, port, case.tree, local))
        result.update(rerun_s=wall - TOOL_PAUSES, rerun_rss=rss, rerun_counts=counts,
                      size=case.total_bytes, left=sorted(os.listdir(local)),
                      exact=filecmp.cmp(os.path.join(srv + case.tree, 'big.bin'),
                                        os.path.join(local, 'big.bin'), shallow=False))
        return result
    finally:
        shutil.rmtree(base, ignore_errors=True)


def probe_rtt(port, round_trips=10):
    """(connect to greeting, median NOOP round trip) in seconds, at `port`."""
    start = time.perf_counter()
    with socket.create_connection(('127.0.0.1', port)) as sock, sock.makefile('rb') as replies:
        replies.readline()
        greeting = time.perf_counter() - start
        trips = []
        for _ in range(round_trips):
            start = time.perf_counter()
            sock.sendall(b'NOOP\r\n')  # before login: a 530 is a round trip too
            replies.readline()
            trips.append(time.perf_counter() - start)
        sock.sendall(b'QUIT\r\n')
        replies.readline()
    return greeting, statistics.median(trips)


def pauses_of(tool, config):
    """Seconds from the tool's success line to its exit: the pauses after the
    task and before the exit, which it flushes its console lines around."""
    proc = subprocess.Popen([tool, '--cnf', config], stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE)
    succeeded = None
    with proc.stdout:
        for line in proc.stdout:
            if line.startswith(TASK_SUCCEEDED):
                succeeded = time.perf_counter()
    if proc.wait() != 0 or succeeded is None:
        raise RuntimeError('%s --cnf %s failed' % (tool, config))
    return time.perf_counter() - succeeded


# ---------------------------------------------------------------- report

def peer_versions():
    def first_line(cmd, **kw):
        try:
            out = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 check=False, **kw).stdout.decode(errors='replace')
            return out.strip().splitlines()[0] if out.strip() else '?'
        except OSError:
            return '?'
    # vsftpd -v writes its version to standard input's descriptor.
    vsftpd = subprocess.run('/usr/sbin/vsftpd -v 0>&1', shell=True, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, check=False).stdout.decode().strip()
    return [
        ('lftp', first_line(['lftp', '--version'])),
        ('wget', first_line(['wget', '--version'])),
        ('curl', first_line(['curl', '--version'])),
        ('vsftpd', vsftpd or '?'),
        ('aria2c', first_line(['aria2c', '--version'])),
        ('python (curl driver)', first_line([PYTHON, '--version'])),
    ]


def machine():
    mem = '?'
    with open('/proc/meminfo') as f:
        for line in f:
            if line.startswith('MemTotal:'):
                mem = '%.1f GiB' % (int(line.split()[1]) / 1024.0 / 1024.0)
    cpu = '?'
    with open('/proc/cpuinfo') as f:
        for line in f:
            if line.startswith('model name'):
                cpu = line.split(':', 1)[1].strip()
                break
    return 'nproc %d, memory %s, %s, Linux %s' % (os.cpu_count(), mem, cpu, platform.release())


def fmt_s(seconds):
    return '%.3f' % seconds


def table(header, rows, text_columns=1):
    """A markdown table; the first text_columns columns are left-aligned."""
    lines = ['| ' + ' | '.join(header) + ' |',
             '|' + '---|' * text_columns + '---:|' * (len(header) - text_columns)]
    lines += ['| ' + ' | '.join(row) + ' |' for row in rows]
    return lines


def c_series(cases, mode, control=False):
    return [c for c in cases if c.section == 'loopback' and c.name.startswith('C')
            and c.mode == mode and c.control == control]


def per_entry_rows(series, tools):
    """t/N for each size, then the marginal cost of each step, in ms."""
    rows = []
    for case in series:
        rows.append(['%s: t/N' % case.name] +
                    ['%.4f' % (1000 * case.median(t) / case.files) for t in tools])
    for lo, hi in zip(series, series[1:]):
        rows.append(['(t%d - t%d) / %d' % (hi.files, lo.files, hi.files - lo.files)] +
                    ['%.4f' % (1000 * (hi.median(t) - lo.median(t)) / (hi.files - lo.files))
                     for t in tools])
    return rows


def loopback_tables(cases, main_cases, args, check, floors):
    out = []
    w = out.append
    w('### Wall time, median of %d runs (s); ratio = vandrisk / peer' % args.runs)
    w('')
    rows = []
    for case in main_cases:
        v = case.median('vandrisk')
        rows.append([case.name] + [fmt_s(case.median(t)) for t in TOOLS] +
                    ['%.2f' % (v / case.median(t)) for t in PEERS])
    out.extend(table(['case'] + list(TOOLS) + ['/' + t for t in PEERS], rows))
    w('')
    w('### Peak RSS (MiB, largest of the runs)')
    w('')
    out.extend(table(['case'] + list(TOOLS), [
        [c.name] + ['%.1f' % c.peak_rss_mib(t) for t in TOOLS] for c in main_cases]))
    w('')
    b_cases = [c for c in main_cases if c.name.startswith('B')]
    if b_cases:
        w('### Big file throughput (MiB/s, from the median time)')
        w('')
        out.extend(table(['case'] + list(TOOLS), [
            [c.name] + ['%.0f' % (c.total_bytes / MIB / c.median(t)) for t in TOOLS]
            for c in b_cases]))
        w('')
    rows = per_entry_rows(c_series(cases, 'first'), TOOLS) + \
        per_entry_rows(c_series(cases, 'rerun'), TOOLS)
    if rows:
        w('### Tree C: time per entry (ms): t/N, and the marginal cost of each step')
        w('')
        out.extend(table(['case'] + list(TOOLS), rows))
        w('')
    control = c_series(cases, 'first', control=True)
    if control:
        w('vandrisk alone, first runs into tmpfs (%s):' % ', '.join(
            '%s %.3f s' % (c.name, c.median('vandrisk')) for c in control))
        w('')
        out.extend(table(['case', 'vandrisk'], per_entry_rows(control, ('vandrisk',))))
        w('')
    w('### Wire, from the vsftpd protocol log (first measured run of each case)')
    w('')
    w('Per file: commands charged to each fetched file; per dir: commands charged to each '
      'listed directory; setup: commands before the first transfer (all sessions); over '
      'budget: commands beyond EPRT/PORT+RETR per file and CWD, TYPE A, EPRT/PORT, '
      'LIST/MLSD, TYPE I per directory. "same": every measured run sent the same mix.')
    w('')
    rows = []
    for case in main_cases:
        if case.name[0] not in 'AD':
            continue
        for tool in TOOLS:
            p = case.protocol[tool]
            file_over, dir_over = p.over_budget()
            over = []
            if file_over:
                over.append('files: ' + ', '.join('%s %d' % kv for kv in sorted(file_over.items())))
            if dir_over:
                over.append('dirs: ' + ', '.join('%s %d' % kv for kv in sorted(dir_over.items())))
            rows.append([case.name, tool, str(p.logins), str(p.commands),
                         '%.2f' % p.per_file() if p.per_file() is not None else '-',
                         '%.2f' % p.per_dir() if p.per_dir() is not None else '-',
                         str(len(p.setup)), str(len(p.teardown)), '; '.join(over) or 'none',
                         'yes' if case.protocol_stable[tool] else 'no'])
    out.extend(table(['case', 'tool', 'logins', 'commands', 'per file', 'per dir', 'setup',
                      'teardown', 'over budget', 'same'], rows, text_columns=2))
    w('')
    w('Command mix (tree A first run / A rerun / D first run):')
    w('')
    for tool in TOOLS:
        mixes = [c.protocol[tool].mix_text() for c in main_cases
                 if c.name in ('A first', 'A rerun', 'D first')]
        w('- %s: %s' % (tool, ' / '.join(mixes)))
    w('')
    if check:
        w('### The real tool on tree A')
        w('')
        w('vandrisk --cnf once per mode; its two 3 s pauses taken off for the comparison with '
          'walk_bench.')
        w('')
        rows = []
        for mode, wall, rss, counts in check:
            case = next(c for c in cases if c.name == 'A ' + mode)
            rows.append(['A ' + mode, '%.3f' % wall, '%.3f' % (wall - 6.0),
                         '%.3f' % case.median('vandrisk'), '%.1f' % (rss / 1024.0),
                         '%d' % counts.logins, '%d' % counts.commands,
                         '%d' % case.protocol['vandrisk'].commands])
        out.extend(table(['case', 'tool s', 'tool - 6 s', 'walk_bench median s', 'tool RSS MiB',
                          'logins', 'commands', 'walk_bench commands'], rows))
        w('')
    if floors:
        w('### Rerun floor (ms)')
        w('')
        w('startup: walk_bench against a closed port (process, libcurl and its libraries, '
          'one refused connect); login and walk: wire_floor.py, a minimal client timed in '
          'process (fewest commands: CWD, EPRT, LIST per directory, no local file looked at).')
        w('')
        rows = []
        for name, (startup, login, walk) in floors.items():
            case = next(c for c in cases if c.name == name)
            floor = startup + login + walk
            rows.append([name] + ['%.1f' % (1000 * x) for x in (
                case.median('vandrisk'), case.median('lftp'), startup, login, walk, floor)] +
                ['%.2f' % (floor / case.median('lftp')),
                 '%.1f' % (1000 * (case.median('vandrisk') - floor))])
        out.extend(table(['case', 'vandrisk', 'lftp', 'startup', 'login', 'walk', 'floor',
                          'floor / lftp', 'vandrisk - floor'], rows))
        w('')
    return out


# Ratios the latency section shows for every case that has both tools.
LATENCY_RATIOS = (('vandrisk P1', 'lftp P1'), ('vandrisk P1', 'wget -m'),
                  ('vandrisk P8', 'lftp P8'), ('vandrisk P8 pasv', 'lftp P8 pasv'),
                  ('vandrisk P8', 'vandrisk P1'), ('vandrisk P1', 'lftp get'),
                  ('vandrisk P1', 'vandrisk base'))


def section_tables(title, notes, cases, args, ratios, wire=None):
    """One section's tables: its title and notes, the medians, the ratios of
    the `ratios` pairs (tool / tool) it has, peak RSS, the wire of the first
    measured run (wire: (what, cell of a RunCounts); default logins / data
    connections / commands) and, for single files, the throughput."""
    wire = wire or ('Logins / data connections / commands', lambda p: '%d / %d / %d' % (
        p.logins, data_connections(p), p.commands))
    out = []
    w = out.append
    tools = []
    for case in cases:
        tools += [t for t in case.tools if t not in tools]

    def per_tool(rows, cell):
        return table(['case'] + tools, [
            [c.name] + [cell(c, t) if t in c.tools else '-' for t in tools] for c in rows])
    w('### %s: median of %d runs (s)' % (title, runs_of(cases[0], args)))
    w('')
    out.extend('- ' + note for note in notes)
    w('')
    out.extend(per_tool(cases, lambda c, t: fmt_s(c.median(t))))
    w('')
    pairs = [p for p in ratios if any(set(p) <= set(c.tools) for c in cases)]
    if pairs:
        w('Ratios of the medians:')
        w('')
        out.extend(table(['case'] + ['%s / %s' % p for p in pairs], [
            [c.name] + ['%.2f' % (c.median(a) / c.median(b)) if {a, b} <= set(c.tools) else '-'
                        for a, b in pairs]
            for c in cases if any({a, b} <= set(c.tools) for a, b in pairs)]))
        w('')
    w('Peak RSS (MiB, largest of the runs):')
    w('')
    out.extend(per_tool(cases, lambda c, t: '%.1f' % c.peak_rss_mib(t)))
    w('')
    w('%s of the first measured run (vsftpd log):' % wire[0])
    w('')
    out.extend(per_tool(cases, lambda c, t: wire[1](c.protocol[t])))
    w('')
    big = [c for c in cases if c.files == 1]
    if big:
        w('Big file throughput (MiB/s, from the median time):')
        w('')
        out.extend(per_tool(big, lambda c, t: '%.0f' % (c.total_bytes / MIB / c.median(t))))
        w('')
    return out


def latency_tables(cases, args):
    return section_tables('Latency section', [
        'Server, proxy and clients on all CPUs; tree L on the disk, the big file into tmpfs. '
        'The memory case (M) runs without delay, pinned like tree C.'], cases, args,
        LATENCY_RATIOS)


# Ratios the extra sections show for every case that has both tools.
LIVE_RATIOS = (('vandrisk P1', 'vandrisk base'), ('vandrisk P8', 'vandrisk base P8'),
               ('vandrisk P8', 'vandrisk P1'))
SYNC_RATIOS = (('vandrisk', 'vandrisk nosync'),)
LARGE_RATIOS = tuple(('vandrisk P8', t) for t in CAPPED_TOOLS[1:])


def extra_tables(cases, args, resume):
    """The tables of the sections live, sync and large that ran."""
    out = []
    live = [c for c in cases if c.section == 'live']
    if live:
        out.extend(section_tables('Files still being written (live)', [
            'Tree L through the proxy at %d ms, tree A on loopback pinned like the loopback '
            'cases; first runs onto the disk. "fresh": the files\' times set to now before the '
            'case; "old": %d days back, where vsftpd\'s LIST shows a date more than a day back.'
            % (EXTRA_RTT_MS, OLD_AGE_S // 86400),
            'vandrisk base, base P8: --baseline-tool with parallel=1 and parallel=8.'],
            live, args, LIVE_RATIOS, wire=(
                'Logins / data connections / commands / SIZE+MLST+MDTM',
                lambda p: '%d / %d / %d / %d' % (p.logins, data_connections(p), p.commands,
                                                 looks(p)))))
        out.extend(fresh_against_old(live))
    sync = [c for c in cases if c.section == 'sync']
    if sync:
        out.extend(section_tables('Durable downloads (sync)', [
            'walk_bench of this build (vandrisk) and of the same build with its two fdatasync '
            'calls taken out (vandrisk nosync, --nosync-walk-bench), first runs onto the disk '
            '(%s); tree A pinned like the loopback cases, tree B unpinned.' % args.work],
            sync, args, SYNC_RATIOS))
        out.extend(table(['case', 'sync share of the run', 'ms per file'], [
            [c.name, '%.0f%%' % (100 * (1 - c.median('vandrisk nosync') / c.median('vandrisk'))),
             '%.3f' % (1000 * (c.median('vandrisk') - c.median('vandrisk nosync')) / c.files)]
            for c in sync]))
        out.append('')
    large = [c for c in cases if c.section == 'large']
    if large:
        out.extend(section_tables('Large files (large)', [
            'Through the proxy at %d ms into tmpfs; "capped": vsftpd with anon_max_rate=%d '
            '(bytes/s per session).' % (EXTRA_RTT_MS, large[0].rate or 0),
            'vandrisk P8: the tool with parallel=8; lftp pget: pget -n 8; lftp mirror pget: '
            'mirror --use-pget-n=8; aria2c: -x8 -s8 -k1M; lftp get: one connection.'],
            large, args, LARGE_RATIOS, wire=(
                'Logins / RETR / REST / MiB the server sent', lambda p: '%d / %d / %d / %.1f' % (
                    p.logins, p.mix['RETR'], p.mix['REST'], p.sent_bytes / MIB))))
    if resume:
        out.extend(resume_lines(resume))
    return out


def looks(counts):
    """Questions about one file: SIZE, MLST and MDTM commands."""
    return sum(counts.mix[verb] for verb in ('SIZE', 'MLST', 'MDTM'))


def fresh_against_old(cases):
    """Each 'fresh' case of the live section against its 'old' one."""
    by = {c.name: c for c in cases}
    rows = []
    for fresh in cases:
        old = by.get(fresh.name.replace(' fresh ', ' old '))
        if ' fresh ' not in fresh.name or not old:
            continue
        for tool in fresh.tools:
            rows.append([fresh.name.replace(' fresh ', ' '), tool, fmt_s(fresh.median(tool)),
                         fmt_s(old.median(tool)), '%.2f' % (fresh.median(tool) / old.median(tool)),
                         '%+.3f' % (fresh.median(tool) - old.median(tool))])
    return ['Fresh against old (s; ratio and difference of the medians):', ''] + table(
        ['case', 'tool', 'fresh', 'old', 'fresh / old', 'fresh - old'], rows,
        text_columns=2) + ['']


def resume_lines(r):
    killed, rerun = r['killed_counts'], r['rerun_counts']
    have = sum(e - b for b, e in r['haves'])
    return [
        'Resume: vandrisk P8 on the capped file, killed (SIGKILL) once its journal named %d%% '
        'of it as on disk, then run again:' % (100 * RESUME_AT), '',
        '- killed after %.2f s: the journal named %.1f MiB in %d ranges (%s); the partial held '
        '%.1f MiB; the server had sent %.1f MiB over %d logins; under the final name: %s.' % (
            r['killed_after'], have / MIB, len(r['haves']),
            ', '.join('%.1f-%.1f' % (b / MIB, e / MIB) for b, e in r['haves']),
            r['part_bytes'] / MIB, killed.sent_bytes / MIB, killed.logins,
            'a file' if r['final_name'] else 'nothing'),
        '- the next run: %.3f s (pauses off), peak RSS %.1f MiB; the server sent %.1f MiB '
        '(%.1f%% of the file) over %d logins, %d RETR, %d REST; the result is %s; left in the '
        'directory: %s.' % (
            r['rerun_s'], r['rerun_rss'] / 1024.0, rerun.sent_bytes / MIB,
            100.0 * rerun.sent_bytes / r['size'], rerun.logins, rerun.mix['RETR'],
            rerun.mix['REST'], 'byte-exact' if r['exact'] else 'NOT the server\'s file',
            ', '.join(r['left'])), '']


def data_connections(counts):
    return sum(counts.mix[verb] for verb in ('EPRT', 'PORT', 'EPSV', 'PASV'))


def report(cases, args, check, floors, setup, resume, started, load_before, load_after,
           elapsed):
    main_cases = [c for c in cases if c.section == 'loopback' and not c.control]
    out = []
    w = out.append
    runs = collections.OrderedDict()  # runs -> the sections with that many
    for case in cases:
        sections = runs.setdefault(runs_of(case, args), [])
        sections += [case.section] if case.section not in sections else []
    runs = ['%d (%s)' % (n, ', '.join(sections)) for n, sections in runs.items()]
    w('- Date: %s; runs per tool and case: %s%s; whole benchmark %.0f s.' % (
        started.strftime('%Y-%m-%d %H:%M'), ', '.join(runs), ' (--quick)' if args.quick else '',
        elapsed))
    w('- Machine: %s. Load average before / after: %s / %s.' % (machine(), load_before,
                                                              load_after))
    if not getattr(args, 'namespaces', False):
        loopback = ('the host\'s (no network namespace allowed): ports in TIME_WAIT from '
                    'active-mode transfers slow vsftpd down as they pile up')
    elif args.keep_time_wait:
        loopback = ('private network namespaces with the kernel\'s TIME_WAIT, renewed (vsftpd '
                    'restarted) after every %d connections' % FRESH_AFTER_CONNECTIONS)
    else:
        loopback = 'a private network namespace whose loopback keeps no TIME_WAIT sockets'
    w('- Loopback: %s.' % loopback)
    if main_cases:
        w('- CPUs: %s.' % ('no pinning (--no-pin)' if args.no_pin else PIN_NOTE))
        w('- Local targets: tree B and the "C ... tmpfs" control runs in tmpfs (/dev/shm)%s; '
          'trees A, C and D on the disk that holds the served trees (%s).' % (
              '' if args.b_target == 'tmpfs' else ' (B: disk, --b-target disk)', args.work))
        w('- Timed: each client process from start to exit; for vandrisk that is walk_bench '
          '(download_tree in process, as the tool runs a task, without its 3 s pauses).')
    if setup:
        rtts, pauses = setup
        if rtts:
            w('- Clients reach vsftpd through bench/latency_proxy.py; RTT set, then as a client '
              'sees it (NOOP round trip / connect to greeting, medians of 5): %s.' % '; '.join(
                  '%d ms: %.1f / %.1f ms' % (rtt, 1000 * noop, 1000 * greeting)
                  for rtt, (greeting, noop) in sorted(rtts.items())))
        if pauses is not None:
            w('- vandrisk P1, P8, ... is the tool itself (--cnf; parallel= and passive= in its '
              'task\'s group); %.1f s are taken off each run for its two pauses, measured at '
              '%.3f s from its success line to its exit (median of 3).' % (TOOL_PAUSES, pauses))
    w('')
    w('- Versions: ' + '; '.join('%s: %s' % v for v in peer_versions()))
    w('')
    if main_cases:
        out.extend(loopback_tables(cases, main_cases, args, check, floors))
    latency_cases = [c for c in cases if c.section == 'latency']
    if latency_cases:
        out.extend(latency_tables(latency_cases, args))
    out.extend(extra_tables(cases, args, resume))
    w('### Targets')
    w('')
    for line in targets(cases, resume):
        w('- ' + line)
    w('')
    w('### All samples (s)')
    w('')
    for case in cases:
        w('- %s: %s' % (case.name, '; '.join(
            '%s %s' % (t, ' '.join('%.3f' % s for s, _ in case.samples[t]))
            for t in case.tools)))
    return '\n'.join(out) + '\n'


def linear_verdict(series, mode):
    """(ok, text) for vandrisk's growth over a series of tree C cases."""
    per = [1000 * c.median('vandrisk') / c.files for c in series]
    marg = [1000 * (hi.median('vandrisk') - lo.median('vandrisk')) / (hi.files - lo.files)
            for lo, hi in zip(series, series[1:])]
    if mode == 'first':
        # Fetching dominates: time per entry stays put (a walk quadratic in N
        # would show 4x from 5,000 to 20,000 entries).
        ratio = per[-1] / per[0]
        ok = ratio <= 1.25
        rule = 't/N at %d / at %d = %.2f (<= 1.25)' % (series[-1].files, series[0].files, ratio)
    elif marg[0] <= 0:
        return False, 'first step within the noise: marginal %s ms per entry' % (
            ' / '.join('%.4f' % m for m in marg))
    else:
        # Startup and login dominate t/N here: compare what each added entry
        # costs instead (quadratic growth gives 2x).
        ratio = marg[-1] / marg[0]
        ok = ratio <= 1.5
        rule = 'marginal cost last / first step = %.2f (<= 1.5)' % ratio
    return ok, '%s; t/N %s ms; marginal %s ms per entry' % (
        rule, ' / '.join('%.4f' % p for p in per), ' / '.join('%.4f' % m for m in marg))


def targets(cases, resume=None):
    by = {c.name: c for c in cases}
    lines = []

    def verdict(ok):
        return 'MET' if ok else 'NOT MET'

    for name, limit in (('A first', 0.8), ('A rerun', 0.5)):
        if name in by:
            case = by[name]
            ratio = case.median('vandrisk') / case.median('lftp')
            lines.append('Tree %s <= %.1fx lftp: %s (%.3f s vs %.3f s, %.2fx)' % (
                name, limit, verdict(ratio <= limit), case.median('vandrisk'),
                case.median('lftp'), ratio))
    b_cases = [c for c in cases if c.name.startswith('B')]
    if b_cases:
        big = b_cases[-1]
        tv = big.total_bytes / MIB / big.median('vandrisk')
        tl = big.total_bytes / MIB / big.median('lftp')
        lines.append('%s throughput >= lftp: %s (%.0f vs %.0f MiB/s)' % (
            big.name, verdict(tv >= tl), tv, tl))
    for label, series, mode in (
            ('first run, disk', c_series(cases, 'first'), 'first'),
            ('first run, tmpfs', c_series(cases, 'first', control=True), 'first'),
            ('rerun', c_series(cases, 'rerun'), 'rerun')):
        if len(series) >= 2:
            ok, text = linear_verdict(series, mode)
            lines.append('Tree C %s linear: %s (%s)' % (label, verdict(ok), text))
    if 'D first' in by:
        d = by['D first'].protocol['vandrisk']
        lines.append('Tree D one login for the task: %s (%d logins, %d connections)' % (
            verdict(d.logins == 1 and d.connects == 1), d.logins, d.connects))
    if len(b_cases) >= 2:
        rss = [b.peak_rss_mib('vandrisk') for b in b_cases]
        lines.append('Peak RSS < 16 MiB on %s and not growing with size: %s (%s MiB)' % (
            b_cases[-1].name, verdict(rss[-1] < 16 and rss[-1] - rss[0] < 1.0),
            ' / '.join('%s %.1f' % (b.name, r) for b, r in zip(b_cases, rss))))
    for name in ('A first', 'A rerun', 'D first', 'D rerun'):
        if name not in by:
            continue
        p = by[name].protocol['vandrisk']
        file_over, dir_over = p.over_budget()
        # The first directory of a task also carries the one MLSD probe and
        # its data connection (vsftpd answers 500; asked once per task).
        probe = collections.Counter({'EPRT/PORT': 1, 'LIST/MLSD': 1})
        ok = not file_over and not (dir_over - probe)
        lines.append('%s wire within budget: %s (per file %s, per dir %.2f; beyond budget: %s)'
                     % (name, verdict(ok),
                        '%.2f' % p.per_file() if p.per_file() is not None else '-',
                        p.per_dir(),
                        ', '.join('%s %d' % kv for kv in sorted((file_over + dir_over).items()))
                        or 'nothing'))
    return lines + latency_targets(cases) + extra_targets(cases, resume)


# (case, tool, other tool, most tool / other): the latency section's targets
# at the largest RTT (%d: that RTT); 'vandrisk base' within 5% is "no slower".
LATENCY_TARGETS = (
    ('L%d first', 'vandrisk P8', 'lftp P8', 0.7),
    ('L%d first', 'vandrisk P8 pasv', 'lftp P8 pasv', 0.7),
    ('L%d rerun', 'vandrisk P8', 'vandrisk P1', 0.4),
    ('L%d first', 'vandrisk P1', 'vandrisk base', 1.05),
    ('L%d rerun', 'vandrisk P1', 'vandrisk base', 1.05),
    ('L%d big', 'vandrisk P1', 'lftp get', 1.0),
)
MEMORY_LIMIT_MIB = 32


def latency_targets(cases):
    lines = []
    latency = [c for c in cases if c.rtt_ms]
    if latency:
        rtt = max(c.rtt_ms for c in latency)
        by = {c.name if c.tree == '/L' else 'L%d big' % c.rtt_ms: c for c in latency}
        for name, tool, other, limit in LATENCY_TARGETS:
            case = by.get(name % rtt)
            if case is None or not {tool, other} <= set(case.tools):
                continue
            ratio = case.median(tool) / case.median(other)
            lines.append('%s %s <= %gx %s: %s (%.3f s vs %.3f s, %.2fx)' % (
                case.name, tool, limit, other, 'MET' if ratio <= limit else 'NOT MET',
                case.median(tool), case.median(other), ratio))
    for case in cases:
        if case.name.startswith('M ') and 'vandrisk P16' in case.tools:
            rss = case.peak_rss_mib('vandrisk P16')
            lines.append('%s peak RSS of vandrisk P16 < %d MiB: %s (%.1f MiB; vandrisk P1 %.1f)' % (
                case.name, MEMORY_LIMIT_MIB, 'MET' if rss < MEMORY_LIMIT_MIB else 'NOT MET', rss,
                case.peak_rss_mib('vandrisk P1')))
    return lines


# The extra sections' targets: (case name prefix, tool, other case's prefix
# (None: the same case), other tool, most tool / other).
EXTRA_TARGETS = (
    ('live L50 fresh rerun', 'vandrisk P1', 'live L50 old rerun', 'vandrisk P1', 1.05),
    ('live L50 fresh rerun', 'vandrisk P8', 'live L50 old rerun', 'vandrisk P8', 1.05),
    ('live L50 fresh rerun', 'vandrisk P1', None, 'vandrisk base', 1.05),
    ('live L50 fresh rerun', 'vandrisk P8', None, 'vandrisk base P8', 1.05),
    ('sync A', 'vandrisk', None, 'vandrisk nosync', 1.10),
    ('sync B', 'vandrisk', None, 'vandrisk nosync', 1.10),
    ('large capped', 'vandrisk P8', None, 'lftp pget', 1.0),
    ('large capped', 'vandrisk P8', None, 'lftp get', 0.2),
    ('large uncapped', 'vandrisk P8', None, 'vandrisk P1', 1.05),
)


def extra_targets(cases, resume):
    lines = []

    def find(prefix):
        return next((c for c in cases if c.name.startswith(prefix)), None)
    for prefix, tool, other_prefix, other, limit in EXTRA_TARGETS:
        case, other_case = find(prefix), find(other_prefix or prefix)
        if not case or not other_case or tool not in case.tools or other not in other_case.tools:
            continue
        ratio = case.median(tool) / other_case.median(other)
        lines.append('%s %s <= %gx %s%s: %s (%.3f s vs %.3f s, %.2fx)' % (
            case.name, tool, limit, other_case.name + ' ' if other_prefix else '', other,
            'MET' if ratio <= limit else 'NOT MET', case.median(tool), other_case.median(other),
            ratio))
    capped = find('large capped')
    if capped:
        rss = capped.peak_rss_mib('vandrisk P8')
        lines.append('%s peak RSS of vandrisk P8 < %d MiB: %s (%.1f MiB)' % (
            capped.name, MEMORY_LIMIT_MIB, 'MET' if rss < MEMORY_LIMIT_MIB else 'NOT MET', rss))
    if resume:
        share = resume['rerun_counts'].sent_bytes / resume['size']
        lines += [
            'resume: nothing under the final name after the kill: %s' % (
                'NOT MET' if resume['final_name'] else 'MET'),
            'resume: the next run fetches <= %d%% of the file: %s (%.1f%%)' % (
                100 * RESUME_LIMIT, 'MET' if share <= RESUME_LIMIT else 'NOT MET', 100 * share),
            'resume: the result is byte-exact: %s' % ('MET' if resume['exact'] else 'NOT MET')]
    return lines


# ---------------------------------------------------------------- main

def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--walk-bench', required=True)
    parser.add_argument('--tool', help='the vandrisk binary, for one check run')
    parser.add_argument('--quick', action='store_true', help='small trees, few runs')
    parser.add_argument('--runs', type=int)
    parser.add_argument('--work', help='directory for the trees (default: a new one in /tmp)')
    parser.add_argument('--b-target', choices=('tmpfs', 'disk'), default='tmpfs')
    parser.add_argument('--report', help='also write the report (markdown) here')
    parser.add_argument('--keep-time-wait', action='store_true',
                        help='keep the kernel\'s TIME_WAIT on the benchmark loopback')
    parser.add_argument('--no-pin', action='store_true',
                        help='never pin server and clients to one CPU')
    parser.add_argument('--only', help='comma-separated case name prefixes, e.g. "A,D", '
                        'or "latency", "live", "sync" or "large" for that section')
    parser.add_argument('--latency', action='store_true',
                        help='add the latency section (needs --tool)')
    parser.add_argument('--baseline-tool',
                        help='an earlier vandrisk build, run as "vandrisk base" in the latency '
                        'and live sections')
    parser.add_argument('--nosync-walk-bench',
                        help='walk_bench of a build whose fdatasync calls return at once, run as '
                        '"vandrisk nosync" in the sync section')
    args = parser.parse_args(argv)
    cfg = dict(QUICK if args.quick else FULL)
    args.latency_runs = args.runs or cfg['l_runs']
    if args.runs is None:
        args.runs = cfg['runs']
    args.only = [p.strip() for p in args.only.split(',')] if args.only else []
    args.latency = args.latency or 'latency' in args.only
    if (args.latency or {'live', 'large'} & set(args.only)) and not args.tool:
        parser.error('the latency, live and large sections run the tool itself: --tool')
    if 'sync' in args.only and not args.nosync_walk_bench:
        parser.error('the sync section needs --nosync-walk-bench')
    if os.geteuid() != 0:
        parser.error('run as root: vsftpd needs it')
    return args, cfg


def load_average():
    return ' '.join(open('/proc/loadavg').read().split()[:3])


def main(argv):
    args, cfg = parse_args(argv)
    for tool in ('lftp', 'wget', 'curl', 'cmp', TIME) + (('aria2c',) if 'large' in args.only
                                                         else ()):
        if not shutil.which(tool):
            raise SystemExit('run.py: %s is missing (bench/run.sh installs it)' % tool)
    started = datetime.datetime.now()
    t0 = time.monotonic()
    load_before = load_average()
    own_work = args.work is None
    work = args.work or tempfile.mkdtemp(prefix='vandrisk-bench-')
    args.work = work
    os.chmod(work, 0o755)
    srv = os.path.join(work, 'srv')
    os.makedirs(srv)
    os.makedirs(os.path.join(work, 'local'))
    net = None
    try:
        cases = plan_cases(cfg)
        if args.latency:
            cases += plan_latency_cases(cfg, args.baseline_tool)
        cases += plan_extra_cases(cfg, args)
        if args.only:
            prefixes = tuple(args.only)
            cases = [c for c in cases if c.name.startswith(prefixes) or c.section in args.only]
        print('building trees in %s' % srv, flush=True)
        for tree in sorted(set(c.tree for c in cases)):
            make_tree(srv, tree, cfg)
        net = Network(srv, work, args.keep_time_wait, not args.no_pin)
        delayed = any(c.section in DELAYED_SECTIONS for c in cases)
        print('vsftpd on 127.0.0.1:%d; %d runs per tool and case%s' % (
            net.server.port, args.runs,
            ' (%s: %d)' % (', '.join(DELAYED_SECTIONS), args.latency_runs) if delayed else ''),
            flush=True)
        measure(cases, args, net, srv, work)
        capped = [c for c in cases if c.section == 'large' and c.rate]
        resume = measure_resume(capped[0], args, net, srv) if capped else None
        check = tool_check(args, net, work) \
            if {'A first', 'A rerun'} <= set(c.name for c in cases) else []
        floors = measure_floors(cases, args, net)
        setup = measure_delayed_setup(cases, args, net, srv, work) if delayed else None
        args.namespaces = net.namespaces
        text = report(cases, args, check, floors, setup, resume, started, load_before,
                      load_average(), time.monotonic() - t0)
        print()
        print(text)
        if args.report:
            with open(args.report, 'w') as f:
                f.write(text)
    finally:
        if net:
            net.stop()
        if own_work:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
