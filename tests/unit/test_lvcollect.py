"""lvcollect, the vendor's report collector, as a running program on
loopback: no valid report lost under concurrent senders, hostile requests
answered or cut off without harm, slow clients beside ordinary ones, its
bound on connections, its metrics, its stop under load, and its commands.
Needs no Wine."""
import concurrent.futures
import os
import re
import signal
import socket
import subprocess
import sys
import threading
import time

import sqlite3

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from harness import paths                      # noqa: E402
from harness.catalogue import MESSAGES         # noqa: E402
from harness.protocol import PREFIX_AFTER_HOST, origin_form, result_url, start_url  # noqa: E402
from harness.web import Collector, SlowClients  # noqa: E402
from harness.wine import wait_until           # noqa: E402

if not os.path.exists(paths.LVCOLLECT):
    pytest.skip('%s is not built (make native)' % paths.LVCOLLECT, allow_module_level=True)

XP = (5, 1, 2)
HOST = paths.REPORT_HOST
HEAD_LIMIT = 8192           # request line and headers, as in collector/server.cpp
TIME_LIMIT = 5              # seconds for one request


def request(target, agent='Lumenvast Downloader', version='HTTP/1.0', extra=b''):
    return (b'GET %s %s\r\nHost: %s\r\nUser-Agent: %s\r\n' % (
        target, version.encode(), HOST.encode(), agent.encode()) + extra + b'\r\n')


def exchange(address, data, pause=None):
    """Sends `data` (with a pause before its last byte when asked), returns
    all that comes back until the collector closes (b'' when it closes
    without an answer)."""
    try:
        sock = socket.create_connection(address, timeout=30)
    except ConnectionResetError:        # refused at once
        return b''
    with sock:
        if pause:
            sock.sendall(data[:-1])
            time.sleep(pause)
            data = data[-1:]
        try:
            sock.sendall(data)
        except OSError:     # the collector closed first
            return b''
        answer = b''
        while True:
            try:
                chunk = sock.recv(65536)
            except ConnectionResetError:
                return answer
            if not chunk:
                return answer
            answer += chunk


def status(answer):
    return int(answer.split(b' ')[1]) if answer else None


UNCACHEABLE = {'cache-control': 'no-store', 'pragma': 'no-cache',
               'expires': 'Thu, 01 Jan 1970 00:00:00 GMT'}


def uncacheable(headers):
    """Whether an answer's headers (a dict of lower-case names, or the
    answer's bytes) keep every HTTP/1.0 and HTTP/1.1 cache from storing it."""
    if isinstance(headers, bytes):
        lines = headers.partition(b'\r\n\r\n')[0].decode('latin-1').split('\r\n')[1:]
        headers = dict((n.strip().lower(), v.strip()) for n, _, v in (l.partition(':') for l in lines))
    return {name: headers.get(name) for name in UNCACHEABLE} == UNCACHEABLE


def target(url):
    return origin_form(url, HOST).encode('latin-1')


@pytest.fixture
def collector(tmp_path):
    with Collector(str(tmp_path / 'reports.db')) as running:
        yield running


def test_no_valid_report_is_lost(collector):
    """1,600 reports from 16 senders at once, among them malformed ones and
    reports whose download URL holds "?", "%", "&" and bytes above 127: every
    valid one stored once, byte for byte, every malformed one kept."""
    odd_object = b'get.php?file=a%20b&x=\xe9t\xe9?&p=100%'.decode('latin-1')
    sent, malformed = [], []

    def send(sender):
        for i in range(100):
            number = sender * 100 + i
            if i % 10 == 9:
                query = b'/foo.bar?' + PREFIX_AFTER_HOST.encode() + b'&n=%d' % number
                malformed.append(number)
            elif i % 4 == 0:
                query = target(result_url(XP, 0, number, i))
            else:
                query = target(result_url(XP, 117 + i % 3, number, i, obj=odd_object))
            answer = exchange(collector.address, request(query))
            assert status(answer) == (400 if i % 10 == 9 else 200), answer
            if i % 10 != 9:
                sent.append(number)

    with concurrent.futures.ThreadPoolExecutor(16) as pool:
        list(pool.map(send, range(16)))
    # Keep-alive requests on one connection, as a load tool sends them.
    keep_alive = b''.join(request(target(start_url(XP)), version='HTTP/1.1') for _ in range(50))
    answer = exchange(collector.address, keep_alive + request(target(start_url(XP))))
    assert answer.count(b'HTTP/1.1 200 OK') == 51
    assert 'cut off 0 requests' in collector.stop()

    stored = collector.rows('SELECT bytes, query FROM reports WHERE kind != "start"')
    assert sorted(b for b, _ in stored) == sorted(sent)
    odd = [q for _, q in stored if b'get.php' in q]
    assert odd and all(b'currenturl=http://download.tessaframe.com/get.php?file=a%20b&x=\xe9t\xe9?'
                       b'&p=100%&osversion=5.1' in q for q in odd)
    assert collector.rows('SELECT count(*) FROM reports WHERE kind = "start"') == [(51,)]
    assert len(collector.rows('SELECT * FROM malformed')) == len(malformed)


START = target(start_url(XP))


@pytest.mark.parametrize('data, answer, reason', [
    (request(b'/foo.bar?' + b'x' * 100000), None, None),
    (request(START, extra=b'X-Padding: ' + b'p' * 20000 + b'\r\n'), None, None),
    (request(START, extra=b''.join(b'X-%d: v\r\n' % i for i in range(2000))), None, None),
    (request(START.replace(b'protocol=2&', b'protocol%3D2%26')), 400, b'at byte 0: expected'),
    (request(START + b'&action=update'), 400, b'text after the operating-system fields'),
    (request(START.replace(b'&savescompleted=', b'')), 400, b'expected "&filesdownloaded=1'),
    (request(START.replace(b'=5.1', b'=5.\xff\x00\x01')), 400, None),
    (b'POST /foo.bar?x HTTP/1.0\r\nContent-Length: 0\r\n\r\n', 405, None),
    (request(b'/index.html'), 404, None),
    (b'\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03' + bytes(range(256)) * 4, 400, None),
], ids=['100k-query', 'long-header', 'many-headers', 'percent-encoded', 'repeated-field',
        'missing-field', 'binary', 'post', 'other-path', 'tls-hello'])
def test_hostile_request(collector, data, answer, reason):
    """Each is answered with an error or cut off, stores nothing as a report,
    and the collector goes on storing."""
    got = exchange(collector.address, data)
    assert status(got) == answer, got[:200]
    assert answer is None or uncacheable(got), got
    assert status(exchange(collector.address, request(START))) == 200
    collector.stop()
    assert collector.rows('SELECT count(*) FROM reports') == [(1,)]
    kept = [r for (r,) in collector.rows('SELECT reason FROM malformed')]
    assert len(kept) == (1 if reason else 0) and all(reason in r for r in kept), kept


def test_slow_and_half_sent_requests_are_cut_off(collector):
    """A client that trickles its request, or sends half and stops, holds one
    connection for at most the time limit; other reports are answered
    meanwhile, and neither is stored."""
    results = {}

    def trickle():
        with socket.create_connection(collector.address, timeout=30) as sock:
            started = time.monotonic()
            try:
                for byte in request(START):
                    sock.sendall(bytes([byte]))
                    time.sleep(0.5)
            except OSError:
                pass
            sock.settimeout(30)
            results['trickle'] = (sock.recv(100), time.monotonic() - started)

    def half():
        results['half'] = exchange(collector.address, request(START)[:-2], pause=TIME_LIMIT + 2)

    threads = [threading.Thread(target=f) for f in (trickle, half)]
    for thread in threads:
        thread.start()
    assert status(exchange(collector.address, request(START))) == 200
    # Stored while the slow requests still hold their connections.
    wait_until(lambda: collector.rows('SELECT count(*) FROM reports') == [(1,)], timeout=3,
               what='the report to be stored')
    assert all(thread.is_alive() for thread in threads)
    for thread in threads:
        thread.join(60)
    assert results['trickle'][0] == b''
    assert TIME_LIMIT - 1 < results['trickle'][1] < TIME_LIMIT * 3
    assert results['half'] == b''
    assert 'cut off 2 requests' in collector.stop()
    assert collector.rows('SELECT count(*) FROM reports') == [(1,)]


def timed_report(address):
    started = time.monotonic()
    answer = exchange(address, request(START))
    return status(answer), time.monotonic() - started


def test_slow_connections_do_not_hold_up_reports(collector):
    """200 connections that trickle their requests, each reopened when the
    collector cuts it off, beside ordinary reports for longer than the time
    limit: every report is answered at once and stored, and every slow one is
    cut off at the limit."""
    reports = []
    with SlowClients(collector.address, 200, 30, request(START)) as slow:
        slow.wait_open()
        deadline = time.monotonic() + TIME_LIMIT + 2
        while time.monotonic() < deadline:
            reports.append(timed_report(collector.address))
            time.sleep(0.2)
    assert all(code == 200 for code, _ in reports), reports
    # A collector that gives each connection a thread of a small pool makes
    # these wait for a slow connection's whole time limit.
    assert max(seconds for _, seconds in reports) < TIME_LIMIT / 2, reports
    assert slow.figures['cut'] >= 200, slow.figures
    closing = collector.stop()
    cut_off = int(re.search(r'cut off (\d+) requests', closing).group(1))
    assert cut_off >= 200, closing
    assert collector.rows('SELECT count(*) FROM reports') == [(len(reports),)]


def test_connections_beyond_the_bound_are_refused_at_once(tmp_path):
    with Collector(str(tmp_path / 'reports.db'), options=('--max-connections', '20'),
                   admin=True) as collector:
        held = [socket.create_connection(collector.address, timeout=10) for _ in range(20)]
        wait_until(lambda: collector.metrics()['lvcollect_open_connections'] == 20, timeout=5,
                   what='20 open connections')
        started = time.monotonic()
        assert exchange(collector.address, request(START)) == b''
        assert time.monotonic() - started < TIME_LIMIT / 2
        assert collector.metrics()['lvcollect_connections_refused_total'] == 1
        for sock in held:
            sock.close()
        wait_until(lambda: collector.metrics()['lvcollect_open_connections'] == 0, timeout=5,
                   what='the connections to close')
        assert status(exchange(collector.address, request(START))) == 200
        collector.stop()
        assert collector.rows('SELECT count(*) FROM reports') == [(1,)]


def test_metrics_of_a_known_run(tmp_path):
    """The admin listener's figures after a run whose every count is known,
    first while another process holds the store's write lock, then after it
    let go."""
    with Collector(str(tmp_path / 'reports.db'), admin=True) as collector:
        lock = sqlite3.connect(collector.db, isolation_level=None)
        lock.execute('BEGIN EXCLUSIVE')
        for url in (start_url(XP), result_url(XP, 117, 1000, 3)):
            assert status(exchange(collector.address, request(target(url)))) == 200
        assert status(exchange(collector.address, request(START + b'&x=1'))) == 400
        assert status(exchange(collector.address, request(b'/metrics'))) == 404
        assert exchange(collector.address, request(START)[:-2], pause=TIME_LIMIT + 1) == b''
        idle = socket.create_connection(collector.address, timeout=10)
        time.sleep(0.5)
        waiting = collector.metrics()
        lock.execute('ROLLBACK')
        lock.close()
        wait_until(lambda: collector.metrics()['lvcollect_reports_stored_total'] == 2, timeout=20,
                   what='the reports to be stored')
        stored = collector.metrics()
        idle.close()
        answers = [collector.admin_get('/metrics'), collector.admin_get('/metrics', 'POST'),
                   collector.admin_get('/foo.bar?' + START.decode().partition('?')[2])]
        assert [code for code, _, _ in answers] == [200, 405, 404]
        assert all(uncacheable(headers) for _, headers, _ in answers), answers

    known = {'lvcollect_reports_answered_total': 2, 'lvcollect_malformed_total': 1,
             'lvcollect_other_requests_total': 1, 'lvcollect_requests_cut_off_total': 1,
             'lvcollect_refused_busy_total': 0, 'lvcollect_connections_refused_total': 0,
             'lvcollect_open_connections': 1}
    assert {name: waiting[name] for name in known} == known
    assert {name: stored[name] for name in known} == known
    assert (waiting['lvcollect_reports_stored_total'], waiting['lvcollect_reports_waiting']) == (0, 3)
    assert waiting['lvcollect_oldest_waiting_seconds'] >= TIME_LIMIT + 0.5
    assert (stored['lvcollect_reports_waiting'], stored['lvcollect_oldest_waiting_seconds']) == (0, 0)
    buckets = sorted((float(name.split('"')[1]), value) for name, value in stored.items()
                     if name.startswith('lvcollect_store_batch_seconds_bucket') and '+Inf' not in name)
    counts = [value for _, value in buckets]
    assert len(buckets) >= 5 and counts == sorted(counts)
    batches = stored['lvcollect_store_batch_seconds_count']
    assert batches >= 1 and stored['lvcollect_store_batch_seconds_bucket{le="+Inf"}'] == batches
    assert counts[-1] <= batches and stored['lvcollect_store_batch_seconds_sum'] > 0
    # Held for several seconds, the lock outlasts the store's own wait for it.
    assert stored['lvcollect_store_failures_total'] >= 1


def wrk(address, seconds, connections, extra=()):
    """Runs wrk with report requests; its counts of answers."""
    url = 'http://%s:%d%s' % (address[0], address[1], START.decode('latin-1'))
    out = subprocess.run(['wrk', '-t2', '-c%d' % connections, '-d%ds' % seconds,
                          '-H', 'User-Agent: Lumenvast Downloader'] + list(extra) + [url],
                         stdout=subprocess.PIPE, text=True, timeout=seconds + 60).stdout
    non_2xx = re.search(r'Non-2xx or 3xx responses: (\d+)', out)
    return int(re.search(r'(\d+) requests in', out).group(1)), int(non_2xx.group(1)) if non_2xx else 0


def test_stop_under_load_loses_nothing(collector):
    """SIGTERM while wrk sends reports on kept-alive connections and a
    connection per report: the collector stops accepting, closes what is
    idle, answers the request under way, and stores every report it
    answered before it exits with 0."""
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        loads = [pool.submit(wrk, collector.address, 4, 16),
                 pool.submit(wrk, collector.address, 4, 8, ['-H', 'Connection: close'])]
        time.sleep(1.5)
        idle = socket.create_connection(collector.address, timeout=10)
        under_way = socket.create_connection(collector.address, timeout=10)
        under_way.sendall(request(START)[:-2])
        time.sleep(0.2)
        collector.process.send_signal(signal.SIGTERM)
        assert idle.recv(100) == b''
        under_way.sendall(b'\r\n')
        answer = under_way.recv(1000)
        assert status(answer) == 200 and b'Connection: close' in answer, answer
        assert under_way.recv(100) == b''
        closing = collector.stop()
        answered = [load.result() for load in loads]
    idle.close()
    under_way.close()
    assert [non_2xx for _, non_2xx in answered] == [0, 0]
    rows = collector.rows('SELECT count(*) FROM reports')[0][0]
    assert 'answered %d reports and 0 malformed queries, all stored' % rows in closing, closing
    assert rows == sum(count for count, _ in answered) + 1 and rows > 1000


def test_client_named_by_a_reverse_proxy(tmp_path):
    with Collector(str(tmp_path / 'reports.db'),
                   options=('--client-header', 'X-Forwarded-For')) as collector:
        for forwarded in (b'203.0.113.7', b'198.51.100.1, 10.0.0.2', None):
            extra = b'X-Forwarded-For: %s\r\n' % forwarded if forwarded else b''
            assert status(exchange(collector.address, request(START, extra=extra))) == 200
        collector.stop()
        assert collector.rows('SELECT client FROM reports ORDER BY id') == [
            (b'203.0.113.7',), (b'10.0.0.2',), (b'127.0.0.1',)]


def lvcollect(*args):
    return subprocess.run([paths.LVCOLLECT] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=60)


def test_summary_plot_and_usage(collector, tmp_path):
    for url in (start_url(XP), result_url(XP, 119, 300, 2), start_url(XP),
                result_url(XP, 0, 500, 7), start_url((4, 10, 1))):
        answer = exchange(collector.address, request(target(url)))
        assert status(answer) == 200 and uncacheable(answer), answer
    # The port is taken: a second collector there does not start.
    second = lvcollect('serve', '--listen', '%s:%d' % collector.address, '--db',
                       str(tmp_path / 'second.db'))
    assert second.returncode == 1 and 'cannot listen' in second.stderr, second.stderr
    collector.stop()
    summary = collector.summary()
    assert {k: summary[k] for k in ('started', 'succeeded', 'failed', 'cancelled', 'malformed')} == {
        'started': 3, 'succeeded': 1, 'failed': {'119': 1}, 'cancelled': 0, 'malformed': 0}
    assert (summary['clients'], summary['clients_needing_try_again']) == (1, 1)
    text = lvcollect('summary', '--db', collector.db).stdout
    assert any(line.split()[:3] == ['code', '119', '1'] and line.endswith('  ' + MESSAGES[119])
               for line in text.splitlines()), text
    chart = str(tmp_path / 'funnel.svg')
    assert lvcollect('plot', '--db', collector.db, '--out', chart).returncode == 0
    with open(chart) as f:
        svg = f.read()
    assert '119  ' + MESSAGES[119] in svg and '>Attempts started<' in svg
    subprocess.run(['rsvg-convert', '-o', str(tmp_path / 'funnel.png'), chart], check=True, timeout=60)

    for args in ([], ['bogus'], ['summary'], ['serve', '--db'], ['plot', '--db', collector.db],
                 ['serve', '--listen', '127.0.0.1', '--db', 'x.db'], ['summary', '--db', 'a', '--db', 'b']):
        run = lvcollect(*args)
        assert (run.returncode, run.stderr.startswith('usage: lvcollect')) == (2, True), args
    missing = lvcollect('summary', '--db', str(tmp_path / 'none.db'))
    assert missing.returncode == 1 and 'cannot open' in missing.stderr
