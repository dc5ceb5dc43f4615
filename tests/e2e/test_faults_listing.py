"""Faults while a directory is listed: the data connection cut short, the
control connection dropped, a stall, an error reply. The listing fails, the
task fails with the listing message, and nothing is fetched from that
directory; what was mirrored before stays."""

import pytest

from fault_cases import (SLACK_S, STALL_S, TASK_FAILED, TIMEOUT_S, created, fetched,
                         listing_start_failed, local_b, run_fault_case)

# Enough entries that a third of the listing is a good many lines.
TREE = {'d': dict({'a.zip': b'top file\n',
                   'sub': {'f%03d.zip' % i: b'%d\n' % i for i in range(200)}})}


def on_sub(do, **kw):
    return {'faults': [dict(on='LISTING', path='/d/sub', do=do, **kw)]}


@pytest.mark.parametrize('mlsd', [True, False], ids=['mlsd', 'list'])
@pytest.mark.parametrize('scenario, code, max_seconds', [
    # The control connection drops a third of the way into the listing.
    (on_sub('drop_control'), 12030, SLACK_S),
    # The data connection is cut and the server says so.
    (on_sub('cut', then='426'), 12030, SLACK_S),
    # The data connection is cut and the server never answers.
    (on_sub('cut', then='silent'), 12002, TIMEOUT_S + SLACK_S),
    # Nothing more after a third of the listing: neither data nor a reply.
    (on_sub('stall'), 12002, STALL_S + SLACK_S),
    # The listing is refused outright, for good or for now. libcurl reads a
    # 450 to LIST as "no matching files", which must not pass for an empty
    # directory: the files in it would silently go unfetched.
    (on_sub('reply', reply='550 Permission denied.'), 12003, SLACK_S),
    (on_sub('reply', reply='450 Listing not available now.'), 12003, SLACK_S),
], ids=['control-dropped', 'cut-426', 'cut-no-reply', 'stall', 'refused-550', 'refused-450'])
def test_broken_listing_fails_the_task(tmp_path, scenario, code, max_seconds, mlsd):
    scenario['mlsd'] = mlsd
    local = tmp_path / 'local'
    local.mkdir()
    expected = [fetched('/d/a.zip'), created(local_b(local / 'sub')),
                listing_start_failed('/d/sub', code), TASK_FAILED]
    run_fault_case(tmp_path, TREE, scenario, '/d', expected,
                   {'a.zip': TREE['d']['a.zip'], 'sub': {}}, max_seconds, local=local)
