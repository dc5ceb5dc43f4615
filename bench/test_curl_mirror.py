"""Tests of the curl peer's driver (run: /usr/bin/python3 -m pytest bench)."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import curl_mirror  # noqa: E402


@pytest.mark.parametrize('line, expected', [
    ('drwxr-xr-x    2 0        0            4096 Dec 08 03:31 d1\r\n', ('d', 'd1')),
    ('-rw-r--r--    1 0        0            4096 Dec 08 03:31 f1.dat\r\n', ('f', 'f1.dat')),
    # Names keep inner and trailing blanks: only the first eight fields split.
    ('-rw-r--r--    1 0        0               5 Jan 01  2020 two  words \r\n',
     ('f', 'two  words ')),
    ('lrwxrwxrwx    1 0        0               4 Dec 08 03:31 link -> f1.dat', (None, 'link -> f1.dat')),
    ('drwxr-xr-x    2 0        0            4096 Dec 08 03:31 .', None),
    ('drwxr-xr-x    2 0        0            4096 Dec 08 03:31 ..', None),
    ('total 8', None),
    ('', None),
    ('-rw-r--r-- 1 0 0 4096 Dec 08 03:31', None),  # no name
])
def test_parse_list_line(line, expected):
    assert curl_mirror.parse_list_line(line) == expected


def test_split_listings_in_run_order():
    mark = curl_mirror.MARK
    output = ('a1\r\na2\r\n\n%s\n\n%s\nc1\r\n\n%s\n' % (mark, mark, mark))
    assert curl_mirror.split_listings(output, 3) == [['a1\r', 'a2\r'], [], ['c1\r']]


def test_split_listings_without_final_newline_in_a_listing():
    mark = curl_mirror.MARK
    assert curl_mirror.split_listings('x\n%s\n' % mark, 1) == [['x']]


@pytest.mark.parametrize('output, count', [
    ('a\n%s\n' % curl_mirror.MARK, 2),          # one listing short
    ('a\n%s\nb\n' % curl_mirror.MARK, 1),       # text after the last mark
])
def test_split_listings_refuses_a_mismatch(output, count):
    with pytest.raises(RuntimeError):
        curl_mirror.split_listings(output, count)


@pytest.mark.parametrize('path, url_path', [
    ('/A/d1/', '/A/d1/'),
    ('/a b/%x#?', '/a%20b/%25x%23%3F'),
    (os.fsdecode(b'/\xd6\xd0.zip'), '/%D6%D0.zip'),  # GBK bytes go out as they are
])
def test_quote_path(path, url_path):
    assert curl_mirror.quote_path(path) == url_path
