"""Faults before the first listing: a server that turns the client away at
the greeting, refuses the password, or never greets at all. The task fails
with the connect message and touches nothing locally."""

import pytest

from fault_cases import CONNECT_FAILED, SLACK_S, TASK_FAILED, TIMEOUT_S, run_fault_case
from ftp_fixtures import HOST, unused_port

TREE = {'d': {'a.zip': b'a\n', 'sub': {'b.zip': b'b\n'}}}


@pytest.mark.parametrize('fault, max_seconds', [
    (dict(on='CONNECT', do='reply', reply='421 Too many connections, try later.'), SLACK_S),
    (dict(on='PASS', do='reply', reply='530 Login incorrect.'), SLACK_S),
    (dict(on='PASS', do='reply', reply='421 Service closing.', close=True), SLACK_S),
    # Accepts the TCP connection but never sends its 220.
    (dict(on='CONNECT', do='stall'), TIMEOUT_S + SLACK_S),
], ids=['421-at-connect', '530-to-pass', '421-to-pass', 'no-greeting'])
def test_login_fault_fails_the_task(tmp_path, fault, max_seconds):
    run_fault_case(tmp_path, TREE, {'faults': [fault]}, '/d', [CONNECT_FAILED, TASK_FAILED], {},
                   max_seconds)


class NoServer:
    """A loopback port nothing listens on, in place of a server."""
    host = HOST

    def __enter__(self):
        self.port = unused_port()
        return self

    def __exit__(self, *exc):
        return False


def test_refused_port_fails_the_task(tmp_path):
    # Nothing listens: refused at once, no timeout to wait for.
    run_fault_case(tmp_path, TREE, None, '/d', [CONNECT_FAILED, TASK_FAILED], {}, SLACK_S,
                   server_factory=NoServer)
