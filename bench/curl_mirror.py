#!/usr/bin/python3
"""Mirrors an FTP tree with the curl command-line tool (the "curl" peer).

Usage:
  /usr/bin/python3 -S curl_mirror.py HOST PORT REMOTE_DIR LOCAL_DIR

curl has no recursive mode, so this driver does the walk the way a script
built around curl would, with as few curl processes (and so logins) as curl
allows: one `curl` per tree level lists every directory of that level over one
reused connection, then one `curl` fetches every file that does not exist
locally yet (also over one connection). Directories are created locally as they
are found. Active mode (`-P -`) and `--ftp-method nocwd` (the method that sends
the fewest commands per file).

Exit status: 0 on success, 1 when a curl run failed.
"""

import os
import subprocess
import sys

CURL = 'curl'
# Separates the listings of one curl run: written by curl's --write-out after
# each transfer. A listing line can never start with it (names start later).
MARK = '\x01END'
SAFE = frozenset(b'ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~/')


def quote_path(path):
    """Percent-encodes a '/'-separated remote path for an ftp:// URL."""
    return ''.join(chr(b) if b in SAFE else '%%%02X' % b
                   for b in os.fsencode(path))


def parse_list_line(line):
    """(kind, name) of one Unix-style LIST line, kind 'd', 'f' or None.

    Returns None for lines that are no entry ("total N", blank lines).
    Symbolic links and other kinds come back with kind None: the walk skips
    them, as the tool does with LIST symlinks.
    """
    line = line.rstrip('\r\n')
    fields = line.split(None, 8)
    if len(fields) < 9 or len(fields[0]) < 10:
        return None
    kind = {'d': 'd', '-': 'f'}.get(fields[0][0])
    name = fields[8]
    if name in ('.', '..'):
        return None
    return kind, name


def split_listings(output, count):
    """The listing lines of each of the `count` transfers of one curl run.

    curl runs its URLs in command-line order and writes the mark after each
    one, so the n-th chunk belongs to the n-th URL.
    """
    listings = []
    current = []
    for line in output.split('\n'):
        if line.startswith(MARK):
            listings.append(current)
            current = []
        elif line:
            current.append(line)
    if len(listings) != count or current:
        raise RuntimeError('expected %d listings, got %d' % (count, len(listings)))
    return listings


def curl_base():
    return [CURL, '-s', '-S', '-P', '-', '--ftp-method', 'nocwd']


def list_level(base_url, level):
    """Lists every (remote_dir, local_dir) of one level with one curl run."""
    urls = [base_url + quote_path(remote.rstrip('/') + '/') for remote, _ in level]
    cmd = curl_base() + ['-w', '\\n' + MARK + '\\n'] + urls
    run = subprocess.run(cmd, stdout=subprocess.PIPE, check=False)
    if run.returncode != 0:
        raise RuntimeError('curl listing failed (%d)' % run.returncode)
    listings = split_listings(run.stdout.decode('latin-1'), len(urls))
    return [(remote, local, lines) for (remote, local), lines in zip(level, listings)]


def fetch(base_url, files):
    """Fetches (remote_path, local_path) pairs with one curl run."""
    config = ''.join('url = "%s"\noutput = "%s"\n' % (
        base_url + quote_path(remote), local.replace('\\', '\\\\').replace('"', '\\"'))
        for remote, local in files)
    run = subprocess.run(curl_base() + ['-K', '-'], input=config.encode('latin-1'),
                         check=False)
    if run.returncode != 0:
        raise RuntimeError('curl fetch failed (%d)' % run.returncode)


def mirror(host, port, remote_dir, local_dir):
    base_url = 'ftp://%s:%d' % (host, port)
    level = [(remote_dir, local_dir)]
    wanted = []
    while level:
        below = []
        for remote, local, lines in list_level(base_url, level):
            for line in lines:
                entry = parse_list_line(line)
                if entry is None or entry[0] is None:
                    continue
                kind, name = entry
                remote_path = remote.rstrip('/') + '/' + name
                local_path = os.path.join(local, name)
                if kind == 'd':
                    if not os.path.isdir(local_path):
                        os.mkdir(local_path)
                    below.append((remote_path, local_path))
                elif not os.path.lexists(local_path):
                    wanted.append((remote_path, local_path))
        level = below
    if wanted:
        fetch(base_url, wanted)
    return len(wanted)


def main(argv):
    if len(argv) != 4:
        sys.stderr.write(__doc__)
        return 2
    host, port, remote_dir, local_dir = argv
    try:
        count = mirror(host, int(port), remote_dir, local_dir)
    except (RuntimeError, OSError) as error:
        sys.stderr.write('curl_mirror: %s\n' % error)
        return 1
    sys.stdout.write('%d\n' % count)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
