"""Faults while a file is transferred: the data connection cut short, the
control connection dropped, a stall, a server that never connects back, and
sizes that do not add up. The file fails, nothing is left under its name,
the files fetched before it stay, and a rerun fetches the rest."""

import pytest

from fault_cases import (BIG, SLACK_S, STALL_S, TASK_FAILED, TIMEOUT_S, fetch_failed,
                         fetched, listing_start_failed, run_fault_case, succeeded)

TREE = {'d': {'a.zip': b'fetched before the fault\n', 'big.bin': BIG,
              'z.zip': b'after the fault\n'}}
BEFORE = {'a.zip': TREE['d']['a.zip']}
FAILS_AT_BIG = [fetched('/d/a.zip'), fetch_failed('/d/big.bin'), TASK_FAILED]
ALL_FETCHED = [fetched('/d/a.zip'), fetched('/d/big.bin'), fetched('/d/z.zip'), succeeded(3)]


def on_big(do, **kw):
    return {'faults': [dict(on='RETR', path='/d/big.bin', do=do, **kw)]}


@pytest.mark.parametrize('scenario, max_seconds', [
    # The server closes the data connection a third of the way in, then says so...
    (on_big('cut', then='426'), SLACK_S),
    # ...or claims success, so only the byte count can tell...
    (on_big('cut', then='226'), SLACK_S),
    # ...or never answers: the reply timeout ends the wait...
    (on_big('cut', then='silent'), TIMEOUT_S + SLACK_S),
    # ...or hangs up the control connection as well.
    (on_big('cut', then='close'), SLACK_S),
    # The control connection drops while the data still flows.
    (on_big('drop_control'), SLACK_S),
    # Neither data nor a reply after a third of the file.
    (on_big('stall'), STALL_S + SLACK_S),
    # The file went away since the listing, or the server cannot send it.
    (on_big('reply', reply='550 No such file.'), SLACK_S),
    (on_big('reply', reply='425 Cannot open data connection.'), SLACK_S),
], ids=['cut-426', 'cut-226', 'cut-no-reply', 'cut-then-hang-up', 'control-dropped', 'stall',
        'refused-550', 'refused-425'])
def test_broken_transfer_fails_the_file(tmp_path, scenario, max_seconds):
    run_fault_case(tmp_path, TREE, scenario, '/d', FAILS_AT_BIG, BEFORE, max_seconds)


@pytest.mark.parametrize('eprt', [True, False], ids=['eprt', 'port'])
def test_server_that_never_connects_back(tmp_path, eprt):
    # EPRT (or PORT, once EPRT is refused) is accepted, RETR gets its 150,
    # and then no data connection ever comes: the accept timeout ends it.
    scenario = on_big('no_connect', reply='150 Opening BINARY mode data connection.')
    scenario['eprt'] = eprt
    run_fault_case(tmp_path, TREE, scenario, '/d', FAILS_AT_BIG, BEFORE,
                   TIMEOUT_S + SLACK_S)


def test_listing_that_never_connects_back(tmp_path):
    scenario = {'faults': [dict(on='LISTING', path='/d', do='no_connect')]}
    run_fault_case(tmp_path, TREE, scenario, '/d', [listing_start_failed('/d', 12002), TASK_FAILED],
                   {}, TIMEOUT_S + SLACK_S)


def test_announced_size_differs_but_file_is_complete(tmp_path):
    # The 150 reply announces more bytes than the file has; the listing's
    # size is the one that counts, and the whole file arrived.
    scenario = on_big('size', announce=len(BIG) + 1000, send=len(BIG))
    run_fault_case(tmp_path, TREE, scenario, '/d', ALL_FETCHED, TREE['d'], SLACK_S,
                   task_fails=False)


@pytest.mark.parametrize('sent', [len(BIG) - 100, len(BIG) + 100, 0],
                         ids=['fewer', 'more', 'none'])
def test_server_sends_other_size_than_listed(tmp_path, sent):
    # The listing and the 150 reply agree; the data does not.
    scenario = on_big('size', announce=len(BIG), send=sent)
    run_fault_case(tmp_path, TREE, scenario, '/d', FAILS_AT_BIG, BEFORE, SLACK_S)


def unlisted_sizes(tmp_path, sent):
    # MLSD without size facts and no SIZE command: the "(N bytes)" of the
    # 150 reply is all the client knows.
    body = tmp_path / 'listing'
    body.write_bytes(b'type=file; a.zip\r\ntype=file; big.bin\r\ntype=file; z.zip\r\n')
    scenario = on_big('size', announce=len(BIG), send=sent)
    scenario['faults'] += [dict(on='LISTING', path='/d', do='body', body_file=str(body)),
                           dict(on='SIZE', do='reply', reply='502 No SIZE here.')]
    return scenario


def test_unlisted_size_short_of_the_150_reply_fails(tmp_path):
    run_fault_case(tmp_path, TREE, unlisted_sizes(tmp_path, len(BIG) - 100), '/d',
                   FAILS_AT_BIG, BEFORE, SLACK_S)


def test_unlisted_size_past_the_150_reply_keeps_the_announced_bytes(tmp_path):
    # The server pads the file past what it announced; the client reads the
    # announced count and stops, so the file is the server's file exactly.
    run_fault_case(tmp_path, TREE, unlisted_sizes(tmp_path, len(BIG) + 100), '/d',
                   ALL_FETCHED, TREE['d'], SLACK_S, task_fails=False)
