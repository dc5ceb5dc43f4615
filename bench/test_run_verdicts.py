"""Tests of the verdicts bench/run.py prints (run: /usr/bin/python3 -m pytest bench)."""

import os
import sys
import types

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), 'tests', 'e2e'))
import run  # noqa: E402  (puts tests/servers on the path)
import protocol_log  # noqa: E402
from test_protocol_log import tool_walk  # noqa: E402


def c_cases(mode, seconds, counts=(5000, 10000, 20000)):
    """Tree C cases whose vandrisk runs took `seconds` (one list per size)."""
    cases = []
    for count, samples in zip(counts, seconds):
        case = run.Case('C %d %s' % (count, mode), '/C%d' % count, mode, count, 1, 0)
        for tool in run.TOOLS:
            case.samples[tool] = [(s, 10000) for s in samples]
        cases.append(case)
    return cases


@pytest.mark.parametrize('mode, seconds, ok', [
    # Constant cost per file plus a fixed start: linear.
    ('first', [[1.01, 1.0, 1.02], [2.0, 2.02, 2.01], [4.0, 4.01, 4.03]], True),
    # Per-file cost doubling with each doubling of N: quadratic.
    ('first', [[1.0], [4.0], [16.0]], False),
    # 20% more per entry at 4x the entries: within the noise band.
    ('first', [[1.0], [2.2], [4.8]], True),
    # Reruns: a large fixed cost hides growth in t/N; the marginal cost shows it.
    ('rerun', [[0.030], [0.050], [0.090]], True),
    ('rerun', [[0.030], [0.050], [0.130]], False),
    # A first step lost in the noise cannot prove anything.
    ('rerun', [[0.050], [0.049], [0.090]], False),
])
def test_linear_verdict(mode, seconds, ok):
    got, text = run.linear_verdict(c_cases(mode, seconds), mode)
    assert got is ok
    assert 'ms per entry' in text


def test_median_and_peak_rss_use_all_samples():
    case = run.Case('A first', '/A', 'first', 10, 2, 40)
    case.samples['vandrisk'] = [(0.3, 100), (0.1, 300), (0.2, 200)]
    assert case.median('vandrisk') == 0.2
    assert case.peak_rss_mib('vandrisk') == pytest.approx(300 / 1024)


def full_cases(a_first=(0.5, 1.0), a_rerun=(0.02, 0.05), big=(0.5, 1.0), rss=(12000, 12100)):
    """The cases targets() looks at, vandrisk and lftp timed as given."""
    cases = []
    for name, times in (('A first', a_first), ('A rerun', a_rerun)):
        case = run.Case(name, '/A', name.split()[1], 2000, 51, 0)
        case.samples['vandrisk'] = [(times[0], 12000)]
        case.samples['lftp'] = [(times[1], 9000)]
        case.protocol['vandrisk'] = protocol_log.analyse(tool_walk())
        cases.append(case)
    for (label, size), vandrisk_rss in zip((('256M', 256), ('1G', 1024)), rss):
        case = run.Case('B ' + label, '/B' + label, 'first', 1, 1, size * run.MIB)
        case.samples['vandrisk'] = [(big[0] * size / 1024, vandrisk_rss)]
        case.samples['lftp'] = [(big[1] * size / 1024, 9000)]
        cases.append(case)
    return cases


def verdicts(cases):
    return {line.split(':')[0]: line.split(':')[1].split('(')[0].strip()
            for line in run.targets(cases)}


def test_targets_met():
    got = verdicts(full_cases())
    assert got['Tree A first <= 0.8x lftp'] == 'MET'
    assert got['Tree A rerun <= 0.5x lftp'] == 'MET'
    assert got['B 1G throughput >= lftp'] == 'MET'
    assert got['Peak RSS < 16 MiB on B 1G and not growing with size'] == 'MET'
    # The tool's walk spends one EPRT and one MLSD beyond budget: the probe.
    assert got['A first wire within budget'] == 'MET'


@pytest.mark.parametrize('kwargs, target', [
    ({'a_first': (0.81, 1.0)}, 'Tree A first <= 0.8x lftp'),
    ({'a_rerun': (0.026, 0.05)}, 'Tree A rerun <= 0.5x lftp'),
    ({'big': (1.01, 1.0)}, 'B 1G throughput >= lftp'),
    ({'rss': (12000, 16500)}, 'Peak RSS < 16 MiB on B 1G and not growing with size'),
    ({'rss': (12000, 13200)}, 'Peak RSS < 16 MiB on B 1G and not growing with size'),
])
def test_targets_missed(kwargs, target):
    assert verdicts(full_cases(**kwargs))[target] == 'NOT MET'


def test_a_second_probe_breaks_the_wire_budget():
    cases = full_cases()
    lines = tool_walk()
    # The same walk with the MLSD probe sent twice.
    at = next(i for i, line in enumerate(lines) if '"MLSD"' in line)
    lines[at + 2:at + 2] = lines[at - 4:at + 2]  # EPRT, TYPE A, MLSD again
    cases[0].protocol['vandrisk'] = protocol_log.analyse(lines)
    assert verdicts(cases)['A first wire within budget'] == 'NOT MET'


def test_table_alignment():
    lines = run.table(['case', 'tool', 'n'], [['A', 'x', '1']], text_columns=2)
    assert lines == ['| case | tool | n |', '|---|---|---:|', '| A | x | 1 |']


def latency_cases(changed=None, p16_rss_kib=20000):
    """The latency section's cases with every target met (1 s per run, but
    vandrisk P8 at 0.5 s on first runs and 0.3 s on reruns), one median
    changed: changed = (case name, tool, seconds)."""
    cases = run.plan_latency_cases(run.FULL, baseline=True)
    for case in cases:
        for tool in case.tools:
            seconds = 1.0
            if tool.startswith('vandrisk P8'):
                seconds = 0.5 if case.mode == 'first' else 0.3
            if changed and (case.name, tool) == changed[:2]:
                seconds = changed[2]
            case.samples[tool] = [(seconds, p16_rss_kib if tool == 'vandrisk P16' else 12000)]
    return cases


LATENCY_VERDICTS = ('L50 first vandrisk P8 <= 0.7x lftp P8',
                    'L50 first vandrisk P8 pasv <= 0.7x lftp P8 pasv',
                    'L50 rerun vandrisk P8 <= 0.4x vandrisk P1',
                    'L50 first vandrisk P1 <= 1.05x vandrisk base',
                    'L50 rerun vandrisk P1 <= 1.05x vandrisk base',
                    'L50 64M vandrisk P1 <= 1x lftp get',
                    'M C20000 first peak RSS of vandrisk P16 < 32 MiB')


@pytest.mark.parametrize('kwargs, missed', [
    ({}, None),
    # Each target just missed, and one of the same change at 10 ms, which no
    # target looks at.
    ({'changed': ('L50 first', 'vandrisk P8', 0.71)}, LATENCY_VERDICTS[0]),
    ({'changed': ('L50 first', 'lftp P8 pasv', 0.71)}, LATENCY_VERDICTS[1]),
    ({'changed': ('L50 rerun', 'vandrisk P1', 0.74)}, LATENCY_VERDICTS[2]),
    ({'changed': ('L50 first', 'vandrisk P1', 1.06)}, LATENCY_VERDICTS[3]),
    ({'changed': ('L50 rerun', 'vandrisk base', 0.95)}, LATENCY_VERDICTS[4]),
    ({'changed': ('L50 64M', 'vandrisk P1', 1.01)}, LATENCY_VERDICTS[5]),
    ({'p16_rss_kib': 32 * 1024}, LATENCY_VERDICTS[6]),
    ({'changed': ('L10 first', 'vandrisk P8', 5.0)}, None),
])
def test_latency_targets(kwargs, missed):
    assert verdicts(latency_cases(**kwargs)) == {name: 'NOT MET' if name == missed else 'MET' for name in LATENCY_VERDICTS}


@pytest.mark.parametrize('seconds, verdict', [(1.04, 'MET'), (1.06, 'NOT MET')])
def test_live_targets_compare_the_fresh_rerun_with_the_old_one_and_the_old_build(seconds, verdict):
    cases = run.plan_extra_cases(run.FULL, types.SimpleNamespace(only=['live'], baseline_tool='b'))
    for case in cases:
        for tool in case.tools:
            changed = case.name == 'live L50 fresh rerun' and 'base' not in tool
            case.samples[tool] = [(seconds if changed else 1.0, 12000)]
    assert list(verdicts(cases).values()) == [verdict] * 4
