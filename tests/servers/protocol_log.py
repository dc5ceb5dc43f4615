"""What the loopback FTP servers logged, read into one record shape, and what
an FTP client sent as the benchmarks count it.

Two log formats come in, told apart line by line:
  * vsftpd's log_ftp_protocol lines, e.g.
      Tue Dec  8 03:31:59 2026 [pid 11333] [ftp] FTP command: Client "127.0.0.1", "RETR a"
    A connection changes process at login (privilege separation): its
    commands before the login, the OK LOGIN line and everything after carry
    three different pids. Bytes vsftpd deems unprintable (GBK too) show as '?'.
  * pyftpd_server.py's and fault_ftpd.py's lines, b"<session> <WORD> <args>":
    WORD is a command verb as received, or one of the server's own records
    LOGIN <user>, FAULT <name>, SENT <offset> <bytes> <path>, CONNECT, CLOSE.

Each line becomes a Record(session, kind, verb, arg):
  session  str: the session number, or vsftpd's pid
  kind     'command' | 'response' | 'login' | 'login_failed' | 'connect' |
           'close' | 'fault' | 'sent' | 'download' | 'download_failed'
  verb     str: the command verb (upper case) for a command, the reply code
           for a response, else the record's own word (LOGIN, FAULT, SENT,
           CONNECT, CLOSE, DOWNLOAD...)
  arg      bytes as the server logged them: the command's argument (a PASS
           argument always reads ******), the reply text, the user who logged
           in, the fault's name, "<offset> <bytes> <path>" of a transfer...

How the benchmarks charge commands: within one session, every command is
charged to the next data transfer that the server opened (a 125/150 reply), a
RETR being a file and a LIST/MLSD/NLST a directory. Commands at the start of a
session that only log in or ask about the server (USER, PASS, SYST, FEAT, PWD,
OPTS...) are session setup; commands after the last transfer are teardown
(QUIT). A TYPE sent within the first file transfer after a listing switches
back from the listing's ASCII type, so it is charged to that directory, not to
the file. Those counts need vsftpd's logged replies.
"""

import collections
import re

Record = collections.namedtuple('Record', 'session kind verb arg')

VSFTPD_LINE = re.compile(
    rb'^\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} \[pid (\d+)\] (?:\[([^\]]*)\] )?'
    rb'(CONNECT|FTP command|FTP response|OK LOGIN|FAIL LOGIN|OK DOWNLOAD|FAIL DOWNLOAD)'
    rb': Client "[^"]*"(.*)$')
VSFTPD_KINDS = {
    b'CONNECT': ('connect', 'CONNECT'),
    b'OK LOGIN': ('login', 'LOGIN'),
    b'FAIL LOGIN': ('login_failed', 'LOGIN'),
    b'OK DOWNLOAD': ('download', 'DOWNLOAD'),
    b'FAIL DOWNLOAD': ('download_failed', 'DOWNLOAD'),
}
SESSION_LINE = re.compile(rb'^(\d+) (\S+)(?: (.*))?$', re.DOTALL)
OWN_RECORDS = {'LOGIN': 'login', 'FAULT': 'fault', 'SENT': 'sent', 'CONNECT': 'connect',
               'CLOSE': 'close'}
PASSWORD_MASK = b'******'

SETUP_VERBS = frozenset(['USER', 'PASS', 'ACCT', 'SYST', 'FEAT', 'PWD', 'XPWD', 'OPTS',
                         'SITE', 'CLNT', 'HOST', 'LANG', 'AUTH'])
LISTING_VERBS = frozenset(['LIST', 'MLSD', 'NLST'])
TRANSFER_OPENED = frozenset([125, 150])

# The most a walk needs on the wire: per fetched file the data connection and
# the RETR, per directory a CWD, the listing's data connection and TYPE A, the
# listing and the TYPE I back to binary.
FILE_BUDGET = collections.Counter({'EPRT/PORT': 1, 'RETR': 1})
DIR_BUDGET = collections.Counter({'CWD': 1, 'TYPE A': 1, 'EPRT/PORT': 1, 'LIST/MLSD': 1,
                                  'TYPE I': 1})


class Command:
    __slots__ = ('verb', 'arg', 'reply')

    def __init__(self, verb, arg):
        self.verb = verb
        self.arg = arg
        self.reply = None

    def budget_key(self):
        """The name the wire budgets use for this command."""
        if self.verb in ('EPRT', 'PORT'):
            return 'EPRT/PORT'
        if self.verb in ('LIST', 'MLSD'):
            return 'LIST/MLSD'
        if self.verb == 'TYPE':
            return 'TYPE ' + self.arg.strip().upper()[:1]
        return self.verb


class RunCounts:
    """What one client run sent, as the server logged it."""

    def __init__(self):
        self.connects = 0
        self.logins = 0
        self.failed_logins = 0
        self.downloads = 0
        self.download_bytes = 0
        self.mix = collections.Counter()  # verb -> count
        self.setup = []  # commands of session setup, all sessions
        self.teardown = []
        self.file_cycles = []  # one list of Command per fetched file
        self.dir_cycles = []  # one list of Command per listed directory

    @property
    def commands(self):
        return sum(self.mix.values())

    def per_file(self):
        if not self.file_cycles:
            return None
        return sum(len(c) for c in self.file_cycles) / len(self.file_cycles)

    def per_dir(self):
        if not self.dir_cycles:
            return None
        return sum(len(c) for c in self.dir_cycles) / len(self.dir_cycles)

    def over_budget(self):
        """Commands beyond FILE_BUDGET per file and DIR_BUDGET per directory.

        Returns (file_excess, dir_excess), two Counters of budget keys summed
        over the run.
        """
        return (_excess(self.file_cycles, FILE_BUDGET), _excess(self.dir_cycles, DIR_BUDGET))

    def mix_text(self):
        return ' '.join('%s %d' % (verb, n) for verb, n in
                        sorted(self.mix.items(), key=lambda item: (-item[1], item[0])))


def _excess(cycles, budget):
    total = collections.Counter()
    for cycle in cycles:
        used = collections.Counter(c.budget_key() for c in cycle)
        total.update(used - budget)
    return total


def _unquote(rest):
    """The text of `, "TEXT"` after vsftpd's client address; a quote inside
    TEXT is not escaped, so the text runs to the last quote."""
    rest = rest.strip()
    if rest.startswith(b','):
        rest = rest[1:].strip()
    if len(rest) >= 2 and rest[:1] == b'"' and rest[-1:] == b'"':
        return rest[1:-1]
    return rest


def _command(session, text):
    verb, _, arg = text.partition(b' ')
    verb = verb.decode('ascii', 'replace').upper()
    if verb == 'PASS' and arg:
        arg = PASSWORD_MASK
    return Record(session, 'command', verb, arg)


def parse_line(line):
    """The Record of one log line (bytes, or str holding bytes as latin-1);
    None for a line of neither format."""
    if isinstance(line, str):
        line = line.encode('latin-1')
    line = line.rstrip(b'\r\n')
    match = VSFTPD_LINE.match(line)
    if match:
        pid, user, tag, rest = match.groups()
        session = pid.decode()
        if tag == b'FTP command':
            return _command(session, _unquote(rest))
        if tag == b'FTP response':
            text = _unquote(rest)
            return Record(session, 'response', text[:3].decode('ascii', 'replace'), text)
        kind, verb = VSFTPD_KINDS[tag]
        if kind in ('login', 'login_failed'):
            return Record(session, kind, verb, user or b'')
        return Record(session, kind, verb, rest.lstrip(b', '))
    match = SESSION_LINE.match(line)
    if not match:
        return None
    session, word, arg = match.groups()
    word = word.decode('ascii', 'replace').upper()
    if word in OWN_RECORDS:
        return Record(session.decode(), OWN_RECORDS[word], word, arg or b'')
    return _command(session.decode(), word.encode() + b' ' + (arg or b''))


def parse(data):
    """Records of a whole log (bytes), in order."""
    return [r for r in map(parse_line, data.split(b'\n')) if r is not None]


def read(path):
    with open(path, 'rb') as f:
        return parse(f.read())


def render(record):
    """b"<verb> <arg>": how a record reads outside Python (VERB args, LOGIN
    user, FAULT name...); a reply reads as its own text."""
    if record.kind == 'response':
        return record.arg
    text = record.verb.encode()
    return text + b' ' + record.arg if record.arg else text


def max_concurrent_sessions(records, closes_logged=None):
    """The most sessions open at one moment, in log order. Where the server
    logs CLOSE records, a session is open from its first record to its CLOSE
    (or to the end of the log); else from its first record to its last, which
    misses a session idling meanwhile. A vsftpd connection shows as three
    pids one after another, so it counts once; a connection that logged
    nothing does not count."""
    first, last = {}, {}
    for i, record in enumerate(records):
        first.setdefault(record.session, i)
        last[record.session] = i
    # A server that logs CLOSE may not have logged it yet for a session that
    # just ended: its caller knows whether it logs them at all.
    if closes_logged is None:
        closes_logged = any(r.kind == 'close' for r in records)
    if closes_logged:
        closed = {r.session for r in records if r.kind == 'close'}
        for session in set(first) - closed:
            last[session] = len(records) - 1
    opened = collections.Counter(first.values())
    closed = collections.Counter(last.values())
    open_now = most = 0
    for i in range(len(records)):
        open_now += opened[i]
        most = max(most, open_now)
        open_now -= closed[i]
    return most


def _split_sessions(lines):
    """Commands per session, plus the counters that need no session."""
    counts = RunCounts()
    sessions = collections.OrderedDict()  # pid -> [Command]
    for record in filter(None, map(parse_line, lines)):
        if record.kind == 'connect':
            counts.connects += 1
        elif record.kind == 'login':
            counts.logins += 1
        elif record.kind == 'login_failed':
            counts.failed_logins += 1
        elif record.kind == 'download':
            counts.downloads += 1
            size = re.search(rb', (\d+) bytes,', record.arg)
            if size:
                counts.download_bytes += int(size.group(1))
        elif record.kind == 'command':
            command = Command(record.verb, record.arg.decode('latin-1'))
            counts.mix[command.verb] += 1
            sessions.setdefault(record.session, []).append(command)
        elif record.kind == 'response':
            # vsftpd logs the login reply under the process that takes over
            # after login, which has sent no command yet: nothing to match.
            pending = sessions.get(record.session)
            if pending and pending[-1].reply is None and record.verb.isdigit():
                pending[-1].reply = int(record.verb)
    return counts, sessions


def analyse(lines):
    """RunCounts of the protocol-log lines one client run produced."""
    counts, sessions = _split_sessions(lines)
    for commands in sessions.values():
        i = 0
        while i < len(commands) and commands[i].verb in SETUP_VERBS:
            i += 1
        counts.setup.extend(commands[:i])
        pending = []
        previous_kind = None
        for command in commands[i:]:
            pending.append(command)
            opened = command.reply in TRANSFER_OPENED
            if opened and command.verb == 'RETR':
                if previous_kind == 'dir':
                    moved = [c for c in pending if c.verb == 'TYPE']
                    counts.dir_cycles[-1].extend(moved)
                    pending = [c for c in pending if c.verb != 'TYPE']
                counts.file_cycles.append(pending)
                previous_kind = 'file'
                pending = []
            elif opened and command.verb in LISTING_VERBS:
                counts.dir_cycles.append(pending)
                previous_kind = 'dir'
                pending = []
        counts.teardown.extend(pending)
    return counts


def read_new_lines(path, offset):
    """Lines appended to the log at `path` since byte `offset`, and the new end."""
    with open(path, 'rb') as f:
        f.seek(offset)
        data = f.read()
    # vsftpd shows unprintable bytes as '?', so the log is ASCII in practice.
    end = offset + len(data)
    if not data.endswith(b'\n'):
        cut = data.rfind(b'\n') + 1
        end = offset + cut
        data = data[:cut]
    return data.decode('latin-1').splitlines(), end
