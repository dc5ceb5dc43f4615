#!/usr/bin/python3
"""tests/servers/vsftpd_server.py with a cap on each session's download rate.

Usage:
  /usr/bin/python3 vsftpd_capped.py BYTES_PER_SECOND [vsftpd_server.py options]

The launcher's contract is unchanged; its vsftpd configuration gains
anon_max_rate=BYTES_PER_SECOND, which vsftpd applies to every anonymous
session on its own (N sessions get N times the rate), as hosted servers cap
each connection.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                'tests', 'servers'))
import vsftpd_server  # noqa: E402


def main(argv):
    rate = int(argv[0])
    write_config = vsftpd_server.write_config

    def capped(path, *args):
        write_config(path, *args)
        with open(path, 'a') as f:
            f.write('anon_max_rate=%d\n' % rate)
    vsftpd_server.write_config = capped
    return vsftpd_server.main(argv[1:])


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
