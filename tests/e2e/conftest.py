"""The servers' own modules (launchers, protocol-log reader) live in
tests/servers; every test here imports them by name."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / 'servers'))
