"""How the loopback test servers learn that their parent is gone.

A server started with stdin=PIPE sees EOF on stdin when its parent closes the
pipe or dies, so no test run leaves a server behind.
"""

import os
import sys


def watch_stdin(stop):
    """Blocks until stdin reaches EOF (or fails), then sets `stop`."""
    try:
        while os.read(sys.stdin.fileno(), 4096):
            pass
    except OSError:
        pass
    stop.set()
