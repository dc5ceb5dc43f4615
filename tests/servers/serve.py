#!/usr/bin/python3
"""One loopback FTP server for tests outside Python (the C++ unit tests),
started through the same code as the pytest fixtures (loopback.py).

Usage:
  python3 serve.py KIND --root R [--user U --password P] [--no-mlsd]
          [--scenario FILE] [--tls-cert PEM --tls-key KEY] [--user-home DIR]
  KIND: pyftpd | vsftpd | fault. --scenario (a fault_ftpd.py scenario, JSON)
  is for fault only, --tls-cert, --tls-key and --user-home for vsftpd only;
  fault takes any login, vsftpd never has MLSD.

Prints one line first, flushed:
  "PORT <n>"       the server accepts connections on 127.0.0.1:<n>
  "SKIP <reason>"  it cannot run here (vsftpd without root...); exits 0
  "FAIL <reason>"  it did not start; exits 1 (details on stderr)
Then answers requests on stdin, one a line:
  "LOG"      the protocol log so far, one record a line, "LOGIN <user>" or
             "<VERB> <args>" (PASS masked, bytes as the server logged them),
             then a line "."
  "LOG ALL"  every record as "<session> <WORD> <args>" (CONNECT, CLOSE, FAULT,
             SENT, vsftpd's replies... too), then "."
EOF on stdin stops the server; exits 0.
"""

import argparse
import contextlib
import json
import sys

import loopback
import protocol_log


def say(line):
    sys.stdout.buffer.write(line if isinstance(line, bytes) else line.encode())
    sys.stdout.buffer.write(b'\n')
    sys.stdout.buffer.flush()


def fail(reason):
    say('FAIL ' + ' '.join(str(reason).split()))
    sys.exit(1)


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.error = fail
    parser.add_argument('kind', choices=('pyftpd', 'vsftpd', 'fault'))
    parser.add_argument('--root', required=True)
    parser.add_argument('--user')
    parser.add_argument('--password')
    parser.add_argument('--no-mlsd', action='store_true')
    parser.add_argument('--scenario')
    parser.add_argument('--tls-cert')
    parser.add_argument('--tls-key')
    parser.add_argument('--user-home')
    args = parser.parse_args(argv)
    wrong = [option for option, kinds in (('scenario', 'fault'), ('tls_cert', 'vsftpd'),
                                          ('tls_key', 'vsftpd'), ('user_home', 'vsftpd'))
             if getattr(args, option) is not None and args.kind != kinds]
    if wrong:
        fail('%s does not take --%s' % (args.kind, wrong[0].replace('_', '-')))
    return args


def server_for(args):
    if args.kind == 'pyftpd':
        return loopback.pyftpd(args.root, args.user, args.password, mlsd=not args.no_mlsd)
    if args.kind == 'vsftpd':
        tls = None if args.tls_cert is None else (args.tls_cert, args.tls_key)
        return loopback.vsftpd(args.root, args.user, args.password, tls=tls,
                               user_home=args.user_home)
    scenario = {}
    if args.scenario:
        with open(args.scenario) as f:
            scenario = json.load(f)
    if args.no_mlsd:
        scenario['mlsd'] = False
    return loopback.fault_ftpd(args.root, scenario)


def log_lines(server, everything):
    for record in server.records():
        if everything:
            yield record.session.encode() + b' ' + protocol_log.render(record)
        elif record.kind in ('command', 'login'):
            yield protocol_log.render(record)


def main(argv):
    args = parse_args(argv)
    reason = loopback.unavailable(args.kind)
    if reason:
        say('SKIP ' + reason)
        return 0
    with contextlib.ExitStack() as stack:
        try:
            server = stack.enter_context(server_for(args))
        except (loopback.ServerError, OSError) as error:
            sys.stderr.write('%s\n' % error)
            # The last line is the server's own complaint, where it made one.
            fail([line for line in str(error).splitlines() if line.strip()][-1])
        say('PORT %d' % server.port)
        for request in sys.stdin.buffer:
            request = request.strip()
            if request not in (b'LOG', b'LOG ALL'):
                sys.stderr.write('serve.py: unknown request %r\n' % request)
            else:
                for line in log_lines(server, request == b'LOG ALL'):
                    sys.stdout.buffer.write(line + b'\n')
            say('.')
    return 0

if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
