"""Counts what an FTP client sent, from vsftpd's protocol log (log_ftp_protocol).

The figures do not depend on the machine: logins, commands per fetched file,
commands per listed directory, and the command mix.

How commands are charged: within one session, every command is charged to the
next data transfer that the server opened (a 125/150 reply), a RETR being a
file and a LIST/MLSD/NLST a directory. Commands at the start of a session that
only log in or ask about the server (USER, PASS, SYST, FEAT, PWD, OPTS...) are
session setup; commands after the last transfer are teardown (QUIT). A TYPE
sent within the first file transfer after a listing switches back from the
listing's ASCII type, so it is charged to that directory, not to the file.
"""

import collections
import re

LINE = re.compile(
    r'^\w{3} \w{3} [ \d]\d \d\d:\d\d:\d\d \d{4} \[pid (\d+)\] (?:\[[^\]]*\] )?'
    r'(CONNECT|FTP command|FTP response|OK LOGIN|FAIL LOGIN|OK DOWNLOAD|FAIL DOWNLOAD)'
    r': Client "[^"]*"(.*)$')
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


def _parse_quoted(rest):
    """The text of `, "TEXT"` after the client address (quotes kept inside)."""
    rest = rest.strip()
    if rest.startswith(','):
        rest = rest[1:].strip()
    if len(rest) >= 2 and rest[0] == '"' and rest[-1] == '"':
        return rest[1:-1]
    return rest


def _split_sessions(lines):
    """Commands per session, plus the counters that need no session."""
    counts = RunCounts()
    sessions = collections.OrderedDict()  # pid -> [Command]
    for raw in lines:
        match = LINE.match(raw.rstrip('\r\n'))
        if not match:
            continue
        pid, kind, rest = match.groups()
        if kind == 'CONNECT':
            counts.connects += 1
        elif kind == 'OK LOGIN':
            counts.logins += 1
        elif kind == 'FAIL LOGIN':
            counts.failed_logins += 1
        elif kind == 'OK DOWNLOAD':
            counts.downloads += 1
            size = re.search(r', (\d+) bytes,', rest)
            if size:
                counts.download_bytes += int(size.group(1))
        elif kind == 'FTP command':
            text = _parse_quoted(rest)
            verb, _, arg = text.partition(' ')
            command = Command(verb.upper(), arg)
            counts.mix[command.verb] += 1
            sessions.setdefault(pid, []).append(command)
        elif kind == 'FTP response':
            # vsftpd logs the login reply under the process that takes over
            # after login, which has sent no command yet: nothing to match.
            pending = sessions.get(pid)
            if pending and pending[-1].reply is None:
                code = _parse_quoted(rest)[:3]
                if code.isdigit():
                    pending[-1].reply = int(code)
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
