"""lvcollect, the vendor's report collector, as a running program on
loopback: no valid report lost under concurrent senders, hostile requests
answered or cut off without harm, slow clients beside ordinary ones, its
bound on connections, its metrics, its stop under load, no answered report
lost when it is killed, its dashboard in a browser, and its commands. The
tests of what is stored run on both stores, a SQLite file and a database of
a private PostgreSQL server; a fleet of collectors shares one PostgreSQL
database, through its restart and outages and behind nginx; collectors
start while their database is away, and outlast one that stops answering
under load. At the
product's scale: a generated set's summaries against its own counts and
the stored rows, with no address kept anywhere; old reports expiring; the
first collector's store and spool upgraded. Needs no Wine."""
import collections
import concurrent.futures
import contextlib
import hashlib
import hmac
import itertools
import json
import os
import random
import re
import signal
import socket
import subprocess
import sys
import threading
import time

import sqlite3
import struct

import html5lib
import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from harness import browser, paths, tls        # noqa: E402
from harness.catalogue import MESSAGES         # noqa: E402
from harness.postgres import CommitCutter, PostgresServer, StallingRelay  # noqa: E402
from harness.protocol import (PREFIX_AFTER_HOST, origin_form, result_url, sheet_example,  # noqa: E402
                              start_url)
from harness.web import Collector, Nginx, SlowClients, free_port, tls_front  # noqa: E402
from harness.wine import wait_until           # noqa: E402

if not os.path.exists(paths.LVCOLLECT):
    pytest.skip('%s is not built (make native)' % paths.LVCOLLECT, allow_module_level=True)

XP = (5, 1, 2)
ARTIFACTS = os.path.join(paths.BUILD, 'test-artifacts')
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


# The headers that docs/PROTOCOL.md asks of every answer.
UNCACHEABLE = dict((name.strip().lower(), value.strip()) for name, _, value in
                   (line.partition(':') for line in sheet_example('answer-labels').splitlines()))


def uncacheable(headers):
    """Whether an answer's headers (a dict of lower-case names, or the
    answer's bytes) keep every HTTP/1.0 and HTTP/1.1 cache from storing it."""
    if isinstance(headers, bytes):
        lines = headers.partition(b'\r\n\r\n')[0].decode('latin-1').split('\r\n')[1:]
        headers = dict((n.strip().lower(), v.strip()) for n, _, v in (l.partition(':') for l in lines))
    return {name: headers.get(name) for name in UNCACHEABLE} == UNCACHEABLE


def target(url):
    return origin_form(url, HOST).encode('latin-1')


# Every test that takes `db` (or `collector`) runs once on each.
STORES = ('sqlite', 'postgresql')


@pytest.fixture(scope='module')
def postgres():
    with PostgresServer() as server:
        yield server


@pytest.fixture(params=STORES)
def db(request, tmp_path):
    """A new, empty store: a SQLite file, or a database of the module's server."""
    if request.param == 'sqlite':
        return str(tmp_path / 'reports.db')
    return request.getfixturevalue('postgres').create_database()


@pytest.fixture
def collector(db):
    with Collector(db) as running:
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

    stored = collector.rows("SELECT bytes, query FROM reports WHERE kind != 'start'")
    assert sorted(b for b, _ in stored) == sorted(sent)
    odd = [q for _, q in stored if b'get.php' in q]
    assert odd and all(b'currenturl=http://download.tessaframe.com/get.php?file=a%20b&x=\xe9t\xe9?'
                       b'&p=100%&osversion=5.1' in q for q in odd)
    assert collector.rows("SELECT count(*) FROM reports WHERE kind = 'start'") == [(51,)]
    assert len(collector.rows('SELECT * FROM malformed')) == len(malformed)


START = target(start_url(XP))


@pytest.mark.parametrize('data, answer, reason', [
    (request(b'/foo.bar?' + b'x' * 100000), None, None),
    (request(START, extra=b'X-Padding: ' + b'p' * 20000 + b'\r\n'), None, None),
    (request(START, extra=b''.join(b'X-%d: v\r\n' % i for i in range(2000))), None, None),
    (request(START.replace(b'protocol=2&', b'protocol%3D2%26')), 400, b'at byte 0: expected'),
    (request(START + b'&action=update'), 400, b'text after the operating-system fields'),
    (request(START.replace(b'&savescompleted=', b'')), 400, b'expected "&worldregion=1'),
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


# The limits are the front's, whatever the store.
@pytest.mark.parametrize('db', ['sqlite'], indirect=True)
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


@pytest.mark.parametrize('db', ['sqlite'], indirect=True)
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
    first while another process holds the store's write lock (the reports
    wait unanswered), then after it let go (they are stored and answered)."""
    with Collector(str(tmp_path / 'reports.db'), admin=True) as collector:
        lock = sqlite3.connect(collector.db, isolation_level=None)
        lock.execute('BEGIN EXCLUSIVE')
        targets = [target(start_url(XP)), target(result_url(XP, 117, 1000, 3)), START + b'&x=1']
        answers = {}

        def send(report):
            answers[report] = status(exchange(collector.address, request(report)))
        senders = [threading.Thread(target=send, args=(report,)) for report in targets]
        for sender in senders:
            sender.start()
        assert status(exchange(collector.address, request(b'/metrics'))) == 404
        assert exchange(collector.address, request(START)[:-2], pause=TIME_LIMIT + 1) == b''
        idle = socket.create_connection(collector.address, timeout=10)
        time.sleep(0.5)
        waiting = collector.metrics()
        unanswered_while_locked = dict(answers)
        lock.execute('ROLLBACK')
        lock.close()
        for sender in senders:
            sender.join(30)
        assert unanswered_while_locked == {}
        assert [answers.get(report) for report in targets] == [200, 200, 400]
        stored = collector.metrics()
        idle.close()
        answers = [collector.admin_get('/metrics'), collector.admin_get('/metrics', 'POST'),
                   collector.admin_get('/foo.bar?' + START.decode().partition('?')[2])]
        assert [code for code, _, _ in answers] == [200, 405, 404]
        assert all(uncacheable(headers) for _, headers, _ in answers), answers

    known = {'lvcollect_other_requests_total': 1, 'lvcollect_requests_cut_off_total': 1,
             'lvcollect_refused_busy_total': 0, 'lvcollect_connections_refused_total': 0,
             'lvcollect_requests_unanswered_total': 0}
    assert {name: waiting[name] for name in known} == known
    assert {name: stored[name] for name in known} == known
    assert [(figures['lvcollect_reports_answered_total'], figures['lvcollect_malformed_total'],
             figures['lvcollect_open_connections']) for figures in (waiting, stored)] == [(0, 0, 4), (2, 1, 1)]
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


@pytest.mark.parametrize('db', ['sqlite'], indirect=True)
def test_stop_under_load_loses_nothing(collector):
    """SIGTERM while wrk sends reports on kept-alive connections and a
    connection per report: the collector stops accepting, closes what is
    idle, answers the request under way, and stores every report it
    answered before it exits with 0."""
    # Accepted before the load: under it, a connection may still wait in
    # the listen queue when the stop comes, and is then refused.
    idle = socket.create_connection(collector.address, timeout=10)
    under_way = socket.create_connection(collector.address, timeout=10)
    time.sleep(0.5)
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        loads = [pool.submit(wrk, collector.address, 4, 16),
                 pool.submit(wrk, collector.address, 4, 8, ['-H', 'Connection: close'])]
        time.sleep(1.5)
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


@pytest.mark.parametrize('db', ['sqlite'], indirect=True)
def test_killed_under_load_had_stored_every_answer(collector):
    """SIGKILL while eight senders send reports, a connection each, one in
    ten malformed: every report answered with 200 is in the file, and every
    query answered 400 is kept as malformed. An answer goes out only once
    its report is committed."""
    with Senders(collector.address, malformed_every=10) as senders:
        senders.wait_answered(2000)
        collector.kill()
    answered = set(senders.answered)
    missing = answered - set(stored_numbers(collector))
    assert answered and not missing, '%d of %d answered reports not stored' % (
        len(missing), len(answered))
    kept = {int(query.rpartition(b'&n=')[2]) for (query,) in collector.rows('SELECT query FROM malformed')}
    assert senders.kept and not set(senders.kept) - kept, sorted(set(senders.kept) - kept)


def client_hash(collector, address, received_ms):
    """The hash that the store's key of the day makes of an address: the
    first 16 bytes of HMAC-SHA-256, in hex."""
    (key,), = collector.rows('SELECT key FROM day_keys WHERE day = %d' % (received_ms // (24 * HOUR_MS)))
    return hmac.new(bytes(key), address.encode(), hashlib.sha256).hexdigest()[:32].encode()


def test_client_named_by_a_reverse_proxy(db):
    """The client is the header's last address, or the peer's, and is kept
    as its hash under the day's key."""
    with Collector(db, options=('--client-header', 'X-Forwarded-For')) as collector:
        for forwarded in (b'203.0.113.7', b'198.51.100.1, 10.0.0.2', None):
            extra = b'X-Forwarded-For: %s\r\n' % forwarded if forwarded else b''
            assert status(exchange(collector.address, request(START, extra=extra))) == 200
        collector.stop()
        stored = collector.rows('SELECT client_hash, received_ms FROM reports ORDER BY id')
        assert [hash_ for hash_, _ in stored] == [
            client_hash(collector, address, ms) for address, (_, ms) in
            zip(('203.0.113.7', '10.0.0.2', '127.0.0.1'), stored)]


def test_behind_nginx_that_ends_tls(tmp_path):
    """The report host of HTTPS builds as the README sets it up: nginx on
    loopback ends TLS with a throwaway certificate and passes each report on
    to lvcollect, which takes the client from X-Forwarded-For. The reports
    are stored with their https:// download URL and the client's own
    address, not nginx's (it connects from another loopback address)."""
    authority = tls.make_authority(tmp_path)
    chain, key = authority.issue('reports', [HOST])
    client = '127.0.0.9'
    urls = [start_url(XP, scheme='https'), result_url(XP, 0, 300, 2, scheme='https')]
    with Collector(str(tmp_path / 'reports.db'),
                   options=('--client-header', 'X-Forwarded-For')) as collector:
        with tls_front(tmp_path / 'nginx', chain, key, collector.address,
                       bind='127.0.0.5') as front:
            context = tls.client_context(authority.root)
            for url in urls:
                with socket.create_connection(front.address, timeout=30,
                                              source_address=(client, 0)) as raw, \
                        context.wrap_socket(raw, server_hostname=HOST) as sock:
                    sock.sendall(request(origin_form(url, HOST, 'https').encode('latin-1')))
                    answer = b''.join(iter(lambda: sock.recv(65536), b''))
                assert status(answer) == 200, answer
            # Plain HTTP on the TLS port is nginx's to refuse; nothing reaches
            # the collector.
            assert status(exchange(front.address, request(START))) == 400
        assert 'answered 2 reports and 0 malformed queries, all stored' in collector.stop()
    download_url = 'https://%s/%s' % (paths.DOWNLOAD_HOST, paths.OBJECT_PATH)
    stored = collector.rows('SELECT client_hash, received_ms, kind, current_url FROM reports ORDER BY id')
    assert [(h, kind, url) for h, _, kind, url in stored] == [
        (client_hash(collector, client, stored[0][1]), b'start', None),
        (client_hash(collector, client, stored[1][1]), b'success', download_url.encode())]


def lvcollect(*args):
    return subprocess.run([paths.LVCOLLECT] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=60)


def test_summary_and_plot(collector, tmp_path):
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


def test_usage_and_stores_that_hold_nothing(postgres, tmp_path):
    for args in ([], ['bogus'], ['summary'], ['serve', '--db'], ['plot', '--db', 'x.db'],
                 ['serve', '--listen', '127.0.0.1', '--db', 'x.db'], ['summary', '--db', 'a', '--db', 'b'],
                 ['serve', '--spool', 'x.spool', '--db', 'x.db']):
        run = lvcollect(*args)
        assert (run.returncode, run.stderr.startswith('usage: lvcollect')) == (2, True), args
    missing = lvcollect('summary', '--db', str(tmp_path / 'none.db'))
    assert missing.returncode == 1 and 'cannot open' in missing.stderr
    # A database without the collector's tables: summary makes none.
    empty = postgres.create_database()
    for _ in range(2):
        run = lvcollect('summary', '--db', empty)
        assert (run.returncode, run.stderr) == (1, 'lvcollect: the PostgreSQL database holds no '
                                                   'reports of lvcollect\n')
    # No server there (the port of a socket that does not listen): summary
    # says so (serve waits for it: test_started_while_the_database_is_away).
    with socket.socket() as closed:
        closed.bind(('127.0.0.1', 0))
        nobody = 'postgresql://postgres@127.0.0.1:%d/reports' % closed.getsockname()[1]
        run = lvcollect('summary', '--db', nobody)
        assert run.returncode == 1 and run.stderr.startswith(
            'lvcollect: cannot connect to PostgreSQL: ') and '\n' not in run.stderr[:-1], run.stderr


# A fleet: collectors that store into one PostgreSQL database ---------------

FLEET_OPTIONS = ('--client-header', 'X-Forwarded-For')
CANCEL = 123
# What each kind of client sends, one report after another: the Try Again
# of the first must be seen across collectors, whichever stores first.
CLIENT_SCRIPTS = {
    'retries': [('start',), (117, 4000, 3), ('start',), (0, 9000, 12)],
    'gives up': [('start',), (119, 300, 1), (CANCEL, 0, 5)],
    'succeeds': [('start',), (0, 9000, 10)],
}
# Between two reports of one client: more than the milliseconds in which
# the collectors time a report, so that the collectors' times put them in
# the order sent, whichever collector took each.
CLIENT_PAUSE = 0.003


def report_target(step):
    if step == ('start',):
        return START
    code, size, seconds = step
    return target(result_url(XP, code, size, seconds))


def forwarded(client):
    return b'X-Forwarded-For: 10.%d.%d.%d\r\n' % (client >> 16, (client >> 8) & 255, client & 255)


def run_clients(addresses, clients, threads=32, seed=7):
    """Each client's script, its reports spread at random over `addresses`
    (each report to one of them); the statuses of the answers."""
    statuses = []

    def one(client):
        chooser = random.Random(seed * 100003 + client)
        script = list(CLIENT_SCRIPTS.values())[client % len(CLIENT_SCRIPTS)]
        for step in script:
            answer = exchange(chooser.choice(addresses),
                              request(report_target(step), extra=forwarded(client)))
            statuses.append(status(answer))
            time.sleep(CLIENT_PAUSE)

    with concurrent.futures.ThreadPoolExecutor(threads) as pool:
        list(pool.map(one, range(clients)))
    return statuses


def answered(closing_line):
    return int(re.search(r'answered (\d+) reports', closing_line).group(1))


def test_two_collectors_store_into_one_database(postgres, tmp_path):
    """Two collectors start at once on an empty database (one makes the
    tables, the other finds them) and take 1,200 clients' reports at random
    between them, 32 clients at a time, while one collector on SQLite takes
    them all. The database's funnel is exactly the sum of what the two
    answered, and the same as the SQLite one, Try Again included."""
    uri = postgres.create_database()
    clients = 1200
    with contextlib.ExitStack() as stack:
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            starting = [pool.submit(Collector, uri, options=FLEET_OPTIONS) for _ in range(2)]
            fleet = [stack.enter_context(f.result()) for f in starting]
        single = stack.enter_context(Collector(str(tmp_path / 'reports.db'), options=FLEET_OPTIONS))
        assert fleet[0].address != fleet[1].address
        statuses = run_clients([c.address for c in fleet], clients)
        statuses += run_clients([single.address], clients)
        assert statuses.count(200) == len(statuses)
        closing = [c.stop() for c in fleet]
        single.stop()
        each = [answered(line) for line in closing]
        assert all(n > 0 and 'all stored' in line for n, line in zip(each, closing)), closing
        total = sum(each)
        assert total == len(statuses) // 2
        assert fleet[0].rows('SELECT count(*) FROM reports') == [(total,)]
        assert fleet[0].rows('SELECT count(DISTINCT collector), sum(reports) FROM stored_batches') == [
            (2, total)]

    funnel = fleet[0].summary()
    assert funnel == single.summary()
    per_kind = clients // len(CLIENT_SCRIPTS)
    assert funnel['started'] + funnel['succeeded'] + sum(funnel['failed'].values()) + \
        funnel['cancelled'] == total
    assert {k: funnel[k] for k in ('started', 'succeeded', 'failed', 'cancelled', 'clients',
                                   'clients_needing_try_again')} == {
        'started': 4 * per_kind, 'succeeded': 2 * per_kind,
        'failed': {'117': per_kind, '119': per_kind}, 'cancelled': per_kind,
        'clients': clients, 'clients_needing_try_again': per_kind}


# nginx in front of two collectors: it passes a request on to the other
# collector when one cannot be reached, closes the connection without an
# answer (it died, or could not store the report) or is busy. GET is
# idempotent to nginx, so even a request it had already sent is passed on.
NGINX_FLEET = """    upstream collectors {
        server 127.0.0.1:%(first)d;
        server 127.0.0.1:%(second)d;
    }
    log_format upstreams '$status $upstream_addr';
    server {
        listen 127.0.0.1:%(port)d backlog=4096;
        access_log %(dir)s/upstreams.log upstreams;
        location / {
            proxy_pass http://collectors;
            proxy_next_upstream error timeout http_502 http_503;
        }
    }
"""


def test_one_of_two_collectors_behind_nginx_killed(postgres, tmp_path):
    """Two collectors on one database behind nginx, eight senders through
    nginx; one collector is killed with SIGKILL under that load. Every
    request is answered with 200 and every answered report is stored. A
    report that the killed collector committed in the instant before it
    died, unanswered, and that nginx then passed on, is stored twice: at
    most one per request nginx passed on."""
    uri = postgres.create_database()
    front_dir = str(tmp_path / 'nginx')
    with contextlib.ExitStack() as stack:
        fleet = [stack.enter_context(Collector(uri)) for _ in range(2)]
        port = free_port()
        stack.enter_context(Nginx(front_dir, NGINX_FLEET % {
            'first': fleet[0].address[1], 'second': fleet[1].address[1], 'port': port,
            'dir': front_dir}, port=port))
        with Senders(('127.0.0.1', port)) as senders:
            senders.wait_answered(1500)
            fleet[0].kill()
            senders.wait_answered(len(senders.answered) + 1500)
        assert 'all stored' in fleet[1].stop()
    assert (senders.unanswered, senders.busy, senders.refused, senders.other) == ([], [], [], [])
    numbers = stored_numbers(fleet[1])
    missing = set(senders.answered) - set(numbers)
    assert not missing, '%d of %d answered reports not stored' % (len(missing), len(senders.answered))
    with open(os.path.join(front_dir, 'upstreams.log')) as log:
        upstreams = [line.split(' ', 1)[1] for line in log.read().splitlines()]
    passed_on = sum(',' in line for line in upstreams)
    twice = duplicates(numbers)
    print('behind nginx: %d answered, %d passed on to the other collector, %d stored twice'
          % (len(senders.answered), passed_on, len(twice)))
    # Both collectors took reports before the kill.
    assert len(set(line.partition(',')[0] for line in upstreams)) == 2
    assert set(twice.values()) <= {2} and len(twice) <= passed_on


class Senders:
    """The load client: threads that send numbered failure reports to a
    loopback address, a connection each as the downloader sends them, until
    stopped or for `seconds` at most. A report's number is its `bytes`
    (totalbytes), so every query is distinct; numbers start at `first`.
    With `malformed_every` = n, every n-th number goes as a malformed query
    that ends in "&n=NUMBER" instead.

    What became of each number: `answered` (200), `kept` (400, kept as
    malformed), `busy` (503), `unanswered` (the connection closed or timed
    out without an answer), `refused` (no connection), `other` ((number,
    status) of any other answer); `slowest`: the longest that an answer
    took, in seconds, from the connection to its last byte."""

    MAX_THREADS = 32
    MAX_SECONDS = 60
    EXCHANGE_TIMEOUT = 30       # seconds: beyond the collector's own limit for a commit

    def __init__(self, address, threads=8, seconds=20, first=1, malformed_every=0):
        if not address[0].startswith('127.'):
            raise ValueError('test clients connect to loopback only')
        assert 0 < threads <= self.MAX_THREADS and 0 < seconds <= self.MAX_SECONDS
        self.answered, self.kept, self.busy, self.unanswered, self.refused, self.other = (
            [], [], [], [], [], [])
        self._outcomes = {200: self.answered, 400: self.kept, 503: self.busy}
        self.slowest = 0.0
        self._malformed_every = malformed_every
        self._stop = threading.Event()
        self._deadline = time.monotonic() + seconds
        self._numbers = itertools.count(first)
        self._lock = threading.Lock()
        self._threads = [threading.Thread(target=self._send, args=(address,)) for _ in range(threads)]
        for thread in self._threads:
            thread.start()

    def query(self, number):
        if self._malformed_every and number % self._malformed_every == 0:
            return b'/foo.bar?' + PREFIX_AFTER_HOST.encode() + b'&n=%d' % number
        return target(result_url(XP, 117, number, 1))

    def _send(self, address):
        while not self._stop.is_set() and time.monotonic() < self._deadline:
            with self._lock:
                number = next(self._numbers)
            began = time.monotonic()
            try:
                sock = socket.create_connection(address, timeout=self.EXCHANGE_TIMEOUT)
            except OSError:
                self.refused.append(number)
                time.sleep(0.01)        # nothing listens: no need to spin
                continue
            answer = b''
            with sock:
                try:
                    sock.sendall(request(self.query(number)))
                    for chunk in iter(lambda: sock.recv(65536), b''):
                        answer += chunk
                except OSError:         # reset, or no answer within the time-out
                    pass
            code = status(answer) if answer.startswith(b'HTTP/') else None
            if code is not None:
                self.slowest = max(self.slowest, time.monotonic() - began)
            if code is None:
                self.unanswered.append(number)
            elif code in self._outcomes:
                self._outcomes[code].append(number)
            else:
                self.other.append((number, code))

    def wait_answered(self, count, timeout=20):
        wait_until(lambda: len(self.answered) >= count, timeout=timeout,
                   what='%d reports to be answered' % count)

    def stop(self):
        self._stop.set()
        for thread in self._threads:
            thread.join(self.EXCHANGE_TIMEOUT + 10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


def stored_numbers(store):
    """The bytes of every stored report, in no particular order."""
    return [number for (number,) in store.rows('SELECT bytes FROM reports')]


def duplicates(numbers):
    """{number: times} of the numbers stored more than once."""
    return {n: c for n, c in collections.Counter(numbers).items() if c > 1}


def test_database_restarts_under_load():
    """The database stops cleanly, then crashes, each time for 3 seconds,
    while eight senders keep sending: every report is answered, and every
    answered one is stored exactly once when the database is back, the
    spool's figure on /metrics then 0."""
    with PostgresServer() as server:
        uri = server.create_database()
        with Collector(uri, admin=True) as collector:
            with Senders(collector.address) as senders:
                during = 0
                for mode in ('fast', 'immediate'):
                    time.sleep(1)
                    server.stop(mode)
                    before = len(senders.answered)
                    time.sleep(3)
                    during += len(senders.answered) - before
                    server.start()
                time.sleep(1)
            assert during > 100
            assert (senders.unanswered, senders.busy, senders.refused, senders.other) == ([], [], [], [])
            wait_until(lambda: collector.rows('SELECT count(*) FROM reports')[0][0] >=
                       len(senders.answered), timeout=30, what='the spooled reports to be stored')
            wait_until(lambda: collector.metrics()['lvcollect_spool_reports'] == 0, timeout=5,
                       what='the spool\'s figure to come down')
            assert 'all stored' in collector.stop()
            assert sorted(stored_numbers(collector)) == sorted(senders.answered)


def test_killed_while_the_database_is_away(tmp_path):
    """SIGKILL while the database is away and four senders keep sending:
    what was answered meanwhile is in the spool. Once the database is back,
    a collector started on the same spool stores every answered report,
    each once, and removes the emptied spool at its stop."""
    spool = str(tmp_path / 'lvcollect.spool')
    with PostgresServer() as server:
        uri = server.create_database()
        with Collector(uri, options=['--spool', spool]) as collector:
            with Senders(collector.address, threads=4) as senders:
                senders.wait_answered(300)
                server.stop()
                senders.wait_answered(len(senders.answered) + 1000)
                collector.kill()
        assert os.path.exists(spool)
        server.start()
        answered = set(senders.answered)
        with Collector(uri, options=['--spool', spool]) as again:
            wait_until(lambda: answered <= set(stored_numbers(again)), timeout=30,
                       what='the spool to be stored')
            assert 'all stored' in again.stop()
            assert duplicates(stored_numbers(again)) == {}
        assert not os.path.exists(spool)


def test_connection_lost_during_commit(postgres):
    """The connection breaks after the database took a batch's COMMIT and
    before its answer came back. The collector, which cannot know, stores
    the batch again on a new connection: it finds the batch already in and
    stores it once."""
    uri = postgres.create_database()
    with CommitCutter(postgres.port) as cutter, \
            Collector(cutter.uri(uri.rpartition('/')[2])) as collector:
        cutter.armed.set()
        for size in range(5):
            assert status(exchange(collector.address,
                                   request(target(result_url(XP, 117, size, 1))))) == 200
        assert cutter.cut.wait(10)
        assert 'all stored' in collector.stop()
        assert sorted(collector.rows('SELECT bytes FROM reports')) == [(n,) for n in range(5)]
        assert collector.rows('SELECT sum(reports) FROM stored_batches') == [(5,)]


def test_database_away_at_the_end(tmp_path):
    """SIGTERM while the database is away: what was answered meanwhile is
    in the collector's spool, the closing line says so, and the next
    collector on that spool stores it once the database is back, then
    removes the spool."""
    spool = str(tmp_path / 'lvcollect.spool')
    with PostgresServer() as server:
        uri = server.create_database()
        with Collector(uri, options=['--spool', spool], admin=True) as collector:
            for _ in range(3):
                assert status(exchange(collector.address, request(START))) == 200
            assert collector.rows('SELECT count(*) FROM reports') == [(3,)]
            second = lvcollect('serve', '--listen', '127.0.0.1:0', '--db', uri, '--spool', spool)
            assert second.returncode == 1 and 'is the spool of another running collector' in second.stderr
            server.stop()
            for size in range(5):
                assert status(exchange(collector.address,
                                       request(target(result_url(XP, 117, size, 1))))) == 200
            assert collector.metrics()['lvcollect_spool_reports'] == 5
            closing = collector.stop()
            assert 'answered 8 reports and 0 malformed queries, all stored, 5 of them in the spool' in closing
        # A batch cut short as the disk filled or the machine stopped: never
        # answered, and dropped.
        with open(spool, 'ab') as torn:
            torn.write(b'\x40\x00\x00\x00' + b'\x00' * 8 + b'lost')
        server.start()
        with Collector(uri, options=['--spool', spool]) as collector:
            wait_until(lambda: collector.rows('SELECT count(*) FROM reports') == [(8,)], timeout=20,
                       what='the spool to be stored')
            assert 'answered 0 reports' in collector.stop()
            assert sorted(collector.rows('SELECT bytes FROM reports WHERE bytes IS NOT NULL')) == \
                [(n,) for n in range(5)]
        assert not os.path.exists(spool)


def read_text(path):
    with open(path, errors='replace') as f:
        return f.read()


def reports_stored(collector):
    """How many reports the store holds; None before it has its tables."""
    try:
        return collector.rows('SELECT count(*) FROM reports')[0][0]
    except Exception:       # noqa: BLE001 - the tables are not made yet
        return None


def test_started_while_the_database_is_away(tmp_path):
    """Three collectors started while their PostgreSQL is stopped, on a new
    database, on one of the first collector and on one whose schema a newer
    collector wrote: each listens at once, says what it waits for and
    answers reports into its spool. Once the database starts, the first
    makes the tables and stores its spool, the second upgrades its database
    while it goes on answering and then stores its spool, each report once;
    the third says in one sentence that it cannot write that database,
    keeps its spool and exits 1."""
    with PostgresServer() as server:
        fresh, old, newer = (server.create_database() for _ in range(3))
        first_store(old, [(int(time.time() * 1000) - 3600 * 1000, '192.0.2.7', result_url(XP, 117, 9, 1))], [])
        from harness.postgres import execute
        execute(newer, 'CREATE TABLE schema_version (version integer NOT NULL);'
                       ' INSERT INTO schema_version VALUES (3)')
        server.stop()
        logs = [str(tmp_path / ('%s.log' % name)) for name in ('fresh', 'old', 'newer')]
        spools = [str(tmp_path / ('%s.spool' % name)) for name in ('fresh', 'old', 'newer')]
        collectors = []
        try:
            for uri, log, spool in zip((fresh, old, newer), logs, spools):
                started = time.monotonic()
                collectors.append(Collector(uri, options=['--spool', spool], admin=True, log=log))
                # A refused connection is told at once.
                assert time.monotonic() - started < 10
            for collector in collectors:
                for size in range(10, 15):
                    assert status(exchange(collector.address,
                                           request(target(result_url(XP, 117, size, 1))))) == 200
                assert collector.metrics()['lvcollect_spool_reports'] == 5
            for log, spool in zip(logs, spools):
                assert 'lvcollect: waiting for PostgreSQL (cannot connect to PostgreSQL: ' in read_text(log)
                assert 'the spool %s' % spool in read_text(log)

            server.start()
            fresh_one, old_one, newer_one = collectors
            for collector, count in ((fresh_one, 5), (old_one, 6)):
                wait_until(lambda: reports_stored(collector) == count, timeout=60, what='the spool to be stored')
                assert status(exchange(collector.address,
                                       request(target(result_url(XP, 117, 20, 1))))) == 200
                assert 'answered 6 reports and 0 malformed queries, all stored' in collector.stop()
                assert sorted(n for (n,) in collector.rows('SELECT bytes FROM reports')) == \
                    sorted([9] * (count - 5) + list(range(10, 15)) + [20])
            assert 'PostgreSQL is there and its schema checked; storing the spool' in read_text(logs[0])
            assert 'upgrading it' in read_text(logs[1]) and 'is upgraded' in read_text(logs[1])

            newer_one.process.wait(30)
            closing = newer_one.stop(exit_code=1)
            assert 'answered 5 reports and 0 malformed queries, all stored, 5 of them in the spool' in closing
            said = [line for line in read_text(logs[2]).splitlines() if 'newer lvcollect' in line]
            assert said == ['lvcollect: the PostgreSQL database was written by a newer lvcollect (schema version 3;'
                            ' this one knows up to 2): run that one, or a newer one; this one stops, and its spool'
                            ' keeps the 5 reports it answered']
            assert os.path.getsize(spools[2]) > 8 and not os.path.exists(spools[0])
        finally:
            for collector in collectors:
                collector.__exit__(None, None, None)


def test_database_that_stops_answering_under_load(tmp_path):
    """Between the collector and its PostgreSQL, a relay that stops passing
    bytes for 12 s while eight senders keep sending, then loses its
    connections and passes bytes again: the collector gives the database up
    within seconds and answers from its spool, every report answered 200 is
    stored exactly once, and none waited 30 s for its answer."""
    log = str(tmp_path / 'collector.log')
    with PostgresServer() as server, StallingRelay(server.port) as relay:
        uri = relay.uri(server.create_database().rpartition('/')[2])
        with Collector(uri, admin=True, log=log) as collector:
            with Senders(collector.address, seconds=40) as senders:
                senders.wait_answered(300)
                relay.stall()
                stalled = time.monotonic()
                before = len(senders.answered)
                # Answers stop while the writer waits for the database, and
                # come again from the spool.
                wait_until(lambda: len(senders.answered) > before + 50, timeout=25,
                           what='answers from the spool')
                detected = time.monotonic() - stalled
                time.sleep(max(0.0, 12 - detected))
                during = len(senders.answered) - before
                relay.resume()
                time.sleep(3)
            print('a database that stopped answering: answers again after %.1f s, %d answered from the spool '
                  'in 12 s, the slowest answer %.1f s' % (detected, during, senders.slowest))
            assert (senders.unanswered, senders.busy, senders.refused, senders.other) == ([], [], [], [])
            assert senders.slowest < 30 and detected < 15
            wait_until(lambda: collector.metrics()['lvcollect_spool_reports'] == 0, timeout=60,
                       what='the spool to be stored')
            assert 'all stored' in collector.stop()
            assert 'PostgreSQL did not answer within 5 s' in read_text(log)
            assert duplicates(stored_numbers(collector)) == {}
            assert sorted(stored_numbers(collector)) == sorted(senders.answered)


def test_summary_and_plot_name_windows_versions(collector, tmp_path):
    """By the pair of version and line, as the reports carry it; a pair that
    no Windows reports is kept as it came."""
    pairs = {(10, 0, 2): 'Windows 10 or 11', (6, 1, 2): 'Windows 7', (4, 0, 1): 'Windows 95',
             (4, 0, 2): 'Windows NT 4.0', (6, 2, 2): 'Windows 8, or later from older builds',
             (6, 1, 1): None}
    for os_version in pairs:
        assert status(exchange(collector.address, request(target(start_url(os_version))))) == 200
    assert status(exchange(collector.address, request(target(result_url((10, 0, 2), 0, 9, 1))))) == 200
    collector.stop()
    keys = {os_version: '%d.%d %s' % (os_version[0], os_version[1],
                                      'nt' if os_version[2] == 2 else 'win')
            for os_version in pairs}
    labels = {os_version: keys[os_version] + ('  ' + name if name else '')
              for os_version, name in pairs.items()}

    text = lvcollect('summary', '--db', collector.db).stdout
    table = text[text.index('By Windows version'):text.index('By language')]
    rows = [line.strip() for line in table.splitlines()[1:] if line.strip()]
    # In the order of the numbers, each with its counts after the name.
    assert [row.split()[:-4] for row in rows] == [
        labels[v].split() for v in [(4, 0, 1), (4, 0, 2), (6, 1, 1), (6, 1, 2), (6, 2, 2), (10, 0, 2)]]
    assert rows[-1].split()[-4:] == ['1', '1', '0', '0']
    assert rows[2].split() == ['6.1', 'win', '1', '0', '0', '0']

    by_os = collector.summary()['by_os']
    assert {key: entry['windows'] for key, entry in by_os.items()} == {
        keys[v]: name for v, name in pairs.items()}

    chart = str(tmp_path / 'funnel.svg')
    assert lvcollect('plot', '--db', collector.db, '--out', chart).returncode == 0
    with open(chart) as f:
        svg = f.read()
    assert all('>%s<' % label in svg for label in labels.values()), svg


HOUR_MS = 3600 * 1000
DASHBOARD_FRESH = 1.0       # seconds a dashboard read serves new requests, as in the collector
W98, W10 = (4, 10, 1), (6, 2, 2)
CRAFTED_AGENT = "<script>document.title='pwned'</script>"
CRAFTED_OBJECT = 'get?a="><u>marked</u>&b=\'1\'&c=<script>alert(1)</script>'


def known_reports():
    """(client, hours ago, user agent, url) of the reports that the dashboard
    test stores: Try Again on XP, a failure and a cut-off attempt on 98, a
    closed window, crafted texts, and successes spread over eight days."""
    now = [('203.0.113.1', 0, None, start_url(XP)),
           ('203.0.113.1', 0, None, result_url(XP, 117, 500000, 30)),
           ('203.0.113.1', 0, None, start_url(XP)),
           ('203.0.113.1', 0, None, result_url(XP, 0, 3145728, 12)),
           ('203.0.113.2', 0, None, start_url(W98)),
           ('203.0.113.2', 0, None, result_url(W98, 119, 3145728, 9)),
           ('203.0.113.2', 0, None, start_url(W98)),
           ('203.0.113.3', 0, CRAFTED_AGENT, start_url(W10)),
           ('203.0.113.3', 0, CRAFTED_AGENT, result_url(W10, 114, 0, 61, obj=CRAFTED_OBJECT)),
           ('203.0.113.3', 0, None, result_url(W10, 123, 0, 4))]
    earlier = []
    for i, hours in enumerate((5, 30, 30, 80, 130, 166, 200)):
        client = '198.51.100.%d' % i
        earlier += [(client, hours, None, start_url(W10)),
                    (client, hours, None, result_url(W10, 0, 3145728, 20 + i))]
    return now + earlier


def store_known_reports(collector, tmp_path):
    """Stores them through the store's own code (lvcollect fill --replay),
    each as received so many hours ago, a millisecond after the one before."""
    sent = known_reports()
    now = int(time.time() * 1000)
    replay = tmp_path / 'known.tsv'
    with open(replay, 'wb') as f:
        for i, (client, hours, agent, url) in enumerate(sent):
            f.write(b'%d\t%s\t%s\t%s\n' % (now - hours * HOUR_MS + i, client.encode(),
                                             (agent or 'Lumenvast Downloader').encode(),
                                             target(url).partition(b'?')[2]))
    fill = lvcollect('fill', '--db', collector.db, '--replay', str(replay))
    assert fill.returncode == 0, fill.stderr


def grouped(number):
    return '{:,}'.format(number)


# Run in the page: what a vendor sees and where the charts' bars were laid out.
LOOK = '''
var bars = [];
document.querySelectorAll('svg rect').forEach(function (rect) {
    var box = rect.getBoundingClientRect();
    bars.push([rect.closest('section').id, rect.getAttribute('fill'), box.width, box.height]);
});
var smallest = 1000;
document.querySelectorAll('svg text').forEach(function (text) {
    var svg = text.ownerSVGElement;
    var scale = svg.getBoundingClientRect().width / svg.viewBox.baseVal.width;
    smallest = Math.min(smallest, scale * parseFloat(text.getAttribute('font-size')));
});
return {text: document.body.innerText, title: document.title, bars: bars,
        scripts: document.scripts.length, marked: document.querySelectorAll('u').length,
        refresh: document.querySelector('meta[http-equiv=refresh]').content,
        width: document.documentElement.scrollWidth, viewport: window.innerWidth,
        smallestText: smallest};
'''


def look_at(url, size, phone, screenshot):
    with browser.Browser(size, phone=phone) as window:
        window.open(url)
        seen = window.run(LOOK)
        window.screenshot(screenshot, full_page=not phone)
    return seen


@pytest.mark.skipif(not browser.available(), reason='needs chromium and chromium-driver')
def test_dashboard_in_a_browser(db, tmp_path):
    """Chromium loads the dashboard from the admin listener of a collector
    that stored a known set of reports, at 1280 by 800 and on a phone: the
    page's text holds the figures, every chart's bars are drawn, crafted
    report texts are text, and nothing is wider than a phone. /summary.json
    is what summary --json prints, and the report port serves neither."""
    os.makedirs(ARTIFACTS, exist_ok=True)
    with Collector(db, options=('--client-header', 'X-Forwarded-For'), admin=True) as collector:
        store_known_reports(collector, tmp_path)
        code, headers, page = collector.admin_get('/')
        assert (code, headers['content-type']) == (200, 'text/html; charset=utf-8')
        html5lib.HTMLParser(strict=True).parse(page)
        url = 'http://%s:%d/' % collector.admin_address
        desktop = look_at(url, (1280, 800), False, os.path.join(ARTIFACTS, 'dashboard.png'))
        phone = look_at(url, browser.PHONE, True, os.path.join(ARTIFACTS, 'dashboard-phone.png'))
        code, headers, body = collector.admin_get('/summary.json')
        assert (code, headers['content-type']) == (200, 'application/json')
        assert json.loads(body) == collector.summary()
        # A period of whole UTC days, as summary --from --to.
        day = time.strftime('%Y-%m-%d', time.gmtime(time.time() - 30 * 3600))
        code, _, body = collector.admin_get('/summary.json?from=%s&to=%s' % (day, day))
        assert code == 200 and json.loads(body) == json.loads(
            lvcollect('summary', '--db', collector.db, '--json', '--from', day, '--to', day).stdout)
        assert 0 < json.loads(body)['started'] < 12
        assert collector.admin_get('/?from=2024-13-01')[0] == 400
        assert collector.admin_get('/', 'POST')[0] == 405
        for path in (b'/', b'/summary.json'):
            assert status(exchange(collector.address, request(path))) == 404
        saved = str(tmp_path / 'dashboard.html')
        assert lvcollect('dashboard', '--db', collector.db, '--out', saved).returncode == 0
        with open(saved, 'rb') as f:
            assert re.sub(rb'Updated .*?</time>', b'', f.read()) == re.sub(rb'Updated .*?</time>', b'', page)

    text = desktop['text']
    lines = text.splitlines()
    # 12 started, 8 successes, 3 failures, 1 attempt cut off, 1 window closed;
    # on XP and on 98 a failure was followed by Try Again.
    for value, label in (('12', 'attempts started'), ('8', 'ended in success (66.7%)'),
                         ('3', 'failed (25.0%)'), ('1', 'cut off, no result report'),
                         ('1', 'cancelled, window closed')):
        assert lines[lines.index(label) - 1] == value, (label, text)
    # Clients per day, summed over the days that had some.
    days = len({(int(time.time() * 1000) - hours * HOUR_MS) // (24 * HOUR_MS)
                for _, hours, _, _ in known_reports()})
    assert lines[lines.index('clients (sum of %d days), 2 needed Try Again' % days) - 1] == '10', text
    words = ' '.join(text.split())     # the charts break long labels into lines
    for code in (114, 117, 119):
        assert '%d %s 1 (8.3%%)' % (code, MESSAGES[code].strip()) in words, words
    assert '\n'.join(['Windows 98 (4.10 win)\t2\t0\t1\t1\t0', 'Windows XP (5.1 nt)\t2\t1\t1\t0\t0',
                      'Windows 8, or later from older builds (6.2 nt)\t8\t7\t1\t0\t1']) in text, text
    assert '5.1 nt Windows XP: 2 started' in words
    # The report of 200 hours ago is in the funnel, not in the last 7 days.
    assert 'Last 7 days: attempts started 11, successes 7, most attempts in one hour 5.' in text
    assert 'Seconds to success\t22 s\t26 s\t8' in text
    # From the buckets of the summaries: within 1 %, marked so.
    assert 'Bytes of a success\t~%s bytes (3.0 MiB)' % grouped(3153919) in text
    assert CRAFTED_AGENT in text and CRAFTED_OBJECT in text
    assert (desktop['title'], desktop['scripts'], desktop['marked']) == (
        'Lumenvast Player downloads', 0, 0)
    assert desktop['refresh'] == '30'

    for seen in (desktop, phone):
        drawn = {}
        for section, fill, width, height in seen['bars']:
            if width >= 1 and height >= 1:
                drawn.setdefault(section, set()).add(fill)
        assert drawn['funnel'] >= {'#4a6fa5', '#3d9a50', '#c8453b', '#8c8c8c', '#d99a2b'}, drawn
        assert drawn['versions'] >= {'#3d9a50', '#c8453b', '#8c8c8c'}, drawn
        assert drawn['hourly'] >= {'#a9bedf', '#3d9a50'}, drawn
    assert (phone['width'], phone['viewport']) == (browser.PHONE[0], browser.PHONE[0])
    assert phone['smallestText'] >= 12, phone['smallestText']


@pytest.mark.parametrize('db', ['sqlite'], indirect=True)
def test_dashboard_while_reports_arrive(collector):
    """Dashboards read a store of 300,000 reports (filled through the
    store's own code) again and again while reports arrive: every report is
    answered at once (the reads are off the event loops), every read
    answered, its figures never going back, and a read a second after the
    last report is the summary of everything stored."""
    collector.stop()
    fill = lvcollect('fill', '--db', collector.db, '--reports', '300000')
    assert fill.returncode == 0, fill.stderr
    base = collector.summary()['started']
    with Collector(collector.db, admin=True) as running:
        started = time.monotonic()
        assert running.admin_get('/summary.json')[0] == 200
        one_read = time.monotonic() - started
        reads, latencies = [], []
        deadline = time.monotonic() + max(3, 6 * one_read)

        def read():
            while time.monotonic() < deadline:
                code, _, body = running.admin_get('/summary.json' if len(reads) % 2 else '/')
                assert code == 200, body
                reads.append(json.loads(body)['started'] if body.startswith(b'{') else None)

        readers = [threading.Thread(target=read) for _ in range(2)]
        for reader in readers:
            reader.start()
        while time.monotonic() < deadline:
            latencies.append(timed_report(running.address))
        for reader in readers:
            reader.join()
        figures = [started for started in reads if started is not None]
        assert figures == sorted(figures) and base <= figures[0] and len(reads) >= 4, reads
        assert all(code == 200 for code, _ in latencies)
        # A read on an event loop would hold up about half of the reports,
        # those that its loop accepts; a read is quick now, so 50 ms at least.
        slow = [seconds for _, seconds in latencies if seconds > max(one_read / 2, 0.05)]
        assert len(slow) <= len(latencies) / 20, (one_read, sorted(slow), len(latencies))
        wait_until(lambda: running.summary()['started'] == base + len(latencies),
                   what='the reports to be stored')
        time.sleep(DASHBOARD_FRESH)     # a younger read would answer at once
        assert json.loads(running.admin_get('/summary.json')[2]) == running.summary()
        running.stop()


# At the product's scale: summaries, hashed clients, expiry, upgrade ----------

ALL_VERSIONS = [(4, 0, 1), (4, 10, 1), (4, 90, 1), (4, 0, 2), (5, 0, 2), (5, 1, 2), (5, 2, 2),
                (6, 0, 2), (6, 1, 2), (6, 2, 2), (6, 3, 2), (10, 0, 2), (7, 5, 2)]
# Languages of the table, and one it lacks.
LANGUAGES = [(9, 'en'), (7, 'de'), (17, 'ja'), (25, 'ru'), (1234, 'zz')]
CODES = sorted(code for code in MESSAGES if code != CANCEL) + [999]


def in_language(url, language):
    oslanguage, uilanguage = language
    return url.replace('oslanguage=9&', 'oslanguage=%d&' % oslanguage).replace(
        'uilanguage=en&', 'uilanguage=%s&' % uilanguage)


def generated_set(clients=260):
    """{address: [url, ...]}: every kind, every catalogue code (and one
    without a text), every Windows version and several languages, Try
    Again among them; seconds and bytes both small and large."""
    scripts = {}
    for i in range(clients):
        os_version = ALL_VERSIONS[i % len(ALL_VERSIONS)]
        language = LANGUAGES[i % len(LANGUAGES)]
        code = CODES[i % len(CODES)]
        seconds, size = (i * 37) % 900, 1000 + i * 99991

        def result(code_, size_=size):
            return result_url(os_version, code_, size_, seconds)
        start = start_url(os_version)
        steps = [[start, result(0)],
                 [start, result(code), start, result(0)],        # Try Again
                 [start, result(CANCEL, 0)],
                 [start],                                         # cut off
                 [start, result(code)]][i % 5]
        scripts['10.%d.%d.%d' % (i >> 16, (i >> 8) & 255, i & 255)] = [in_language(u, language) for u in steps]
    return scripts


def expected_figures(scripts):
    """The figures that a summary must show, counted from the generator's
    own scripts."""
    figures = {'started': 0, 'succeeded': 0, 'failed': collections.Counter(), 'cancelled': 0,
               'by_os': collections.Counter(), 'by_language': collections.Counter(),
               'clients': 0, 'clients_needing_try_again': 0, 'seconds': [], 'bytes': []}
    for urls in scripts.values():
        figures['clients'] += 1
        failed = False
        for url in urls:
            fields = dict(f.split('=', 1) for f in url.split('?', 1)[1].split('&') if '=' in f)
            os_key = '%s %s' % (fields['osversion'], fields['os'])
            if 'action=update' in url:
                kind = 'started'
                figures['clients_needing_try_again'] += failed
                failed = False
            elif 'action=success' in url:
                kind = 'succeeded'
                figures['seconds'].append(int(fields['installduration']))
                figures['bytes'].append(int(fields['totalbytes']))
            elif fields['error'] == str(CANCEL) and fields['totalbytes'] == '0':
                kind = 'cancelled'
            else:
                kind = 'failed'
                figures['failed'][fields['error']] += 1
                failed = True
            if kind == 'failed':
                pass
            else:
                figures[kind] += 1
            figures['by_os'][os_key, kind] += 1
            figures['by_language'][fields['oslanguage'], kind] += 1
    figures['failed'] = dict(figures['failed'])
    return figures


def figures_of_summary(summary):
    kinds = ('started', 'succeeded', 'failed', 'cancelled')
    return {
        'started': summary['started'], 'succeeded': summary['succeeded'], 'failed': summary['failed'],
        'cancelled': summary['cancelled'],
        'by_os': collections.Counter({(key, kind): entry[kind] for key, entry in summary['by_os'].items()
                                      for kind in kinds if entry[kind]}),
        'by_language': collections.Counter({(key, kind): entry[kind]
                                            for key, entry in summary['by_language'].items()
                                            for kind in kinds if entry[kind]}),
        'clients': summary['clients'], 'clients_needing_try_again': summary['clients_needing_try_again']}


def figures_of_rows(collector):
    """The same figures counted from the stored rows, whose clients are hashes."""
    figures = {'started': 0, 'succeeded': 0, 'failed': collections.Counter(), 'cancelled': 0,
               'by_os': collections.Counter(), 'by_language': collections.Counter()}
    days = {}
    names = {b'start': 'started', b'success': 'succeeded', b'failure': 'failed', b'cancel': 'cancelled'}
    for ms, hash_, kind, code, major, minor, line, language in collector.rows(
            'SELECT received_ms, client_hash, kind, code, os_major, os_minor, os_line, language FROM reports'):
        kind = names[bytes(kind)]
        if kind == 'failed':
            figures['failed'][str(code)] += 1
        else:
            figures[kind] += 1
        figures['by_os']['%d.%d %s' % (major, minor, bytes(line).decode()), kind] += 1
        figures['by_language'][str(language), kind] += 1
        day = days.setdefault((ms // (24 * HOUR_MS), bytes(hash_)), [None, None])
        if kind == 'started':
            day[1] = max(day[1] or 0, ms)
        elif kind == 'failed':
            day[0] = min(day[0] or ms, ms)
    figures['failed'] = dict(figures['failed'])
    started = [times for times in days.values() if times[1] is not None]
    figures['clients'] = len(started)
    figures['clients_needing_try_again'] = sum(1 for f, s in started if f is not None and f <= s)
    return figures


def nearest_rank(values, percent):
    values = sorted(values)
    return values[max(0, (len(values) * percent + 99) // 100 - 1)]


def address_in(data, addresses):
    """The addresses found in `data`, as text or as the hex of a bytea in a dump."""
    return [a for a in addresses if a.encode() in data or a.encode().hex().encode() in data]


def store_bytes(postgres, db):
    """All that a store holds on disk: a SQLite file and its log, or a dump
    of the database."""
    if db.startswith('postgresql'):
        return postgres.dump(db)
    return b''.join(open(db + suffix, 'rb').read() for suffix in ('', '-wal') if os.path.exists(db + suffix))


def test_summaries_equal_the_reports_and_no_address_is_kept(postgres, db, tmp_path):
    """A generated set of every kind, code, Windows version and several
    languages, from known addresses, its reports spread at random over two
    collectors on one store: the summary (read from the summaries) equals
    the generator's own counts and those counted from the stored rows; the
    spreads are within 1 % of the exact nearest ranks. No address of the
    set is in the store's files, a dump of the database, the spools or the
    collectors' logs."""
    scripts = generated_set()
    log = str(tmp_path / 'collectors.log')
    spools = [str(tmp_path / ('lvcollect-%d.spool' % i)) for i in range(2)]
    options = lambda i: FLEET_OPTIONS + (('--spool', spools[i]) if db.startswith('postgresql') else ())
    with contextlib.ExitStack() as stack:
        fleet = [stack.enter_context(Collector(db, options=options(i), log=log)) for i in range(2)]

        def client(item):
            address, urls = item
            chooser = random.Random(address)
            for url in urls:
                extra = b'X-Forwarded-For: %s\r\n' % address.encode()
                assert status(exchange(chooser.choice(fleet).address, request(target(url), extra=extra))) == 200
                time.sleep(CLIENT_PAUSE)

        with concurrent.futures.ThreadPoolExecutor(16) as pool:
            list(pool.map(client, scripts.items()))
        for collector in fleet:
            assert 'all stored' in collector.stop()
        spool_bytes = b''.join(open(s, 'rb').read() for s in spools if os.path.exists(s))

    expected = expected_figures(scripts)
    summary = fleet[0].summary()
    from_rows = figures_of_rows(fleet[0])
    from_summary = figures_of_summary(summary)
    for name in from_summary:
        assert from_summary[name] == from_rows[name] == expected[name], name
    for measure in ('seconds', 'bytes'):
        spread = summary[measure]['success']
        assert spread['count'] == len(expected[measure])
        for key, percent in (('median', 50), ('p95', 95)):
            exact = nearest_rank(expected[measure], percent)
            assert abs(spread[key] - exact) <= exact / 100, (measure, key, spread, exact)
    assert summary['bytes']['success']['exact'] is False
    text = lvcollect('summary', '--db', db).stdout
    assert '1234 ' in text and '17 Japanese' in text and '(within 1 %)' in text, text

    addresses = list(scripts)
    stored = store_bytes(postgres, db)
    # It holds the reports (as text, or as hex in a dump).
    assert address_in(stored, ['Lumenvast Downloader']) == ['Lumenvast Downloader']
    with open(log, 'rb') as f:
        logged = f.read()
    for where, data in (('store', stored), ('spool', spool_bytes), ('log', logged)):
        assert address_in(data, addresses) == [], where



def replay(db, tmp_path, reports):
    """Stores (ms, client, query) through the store's own code, as received then."""
    path = tmp_path / 'replay.tsv'
    with open(path, 'wb') as f:
        for ms, client, query in reports:
            f.write(b'%d\t%s\tLumenvast Downloader\t%s\n' % (ms, client.encode(), query))
    fill = lvcollect('fill', '--db', db, '--replay', str(path))
    assert fill.returncode == 0, fill.stderr


def query_of(url):
    return target(url).partition(b'?')[2]


DAY_MS = 24 * HOUR_MS


def test_old_reports_expire_and_their_summaries_stay(postgres, db, tmp_path):
    """Reports and malformed queries older than --keep-days go while the
    collector runs (on PostgreSQL their day's partitions are dropped); the
    start says how many; the summaries keep counting them, and a period of
    their day still shows them."""
    now = int(time.time() * 1000)
    old, kept = now - 100 * DAY_MS, now - 10 * DAY_MS
    replay(db, tmp_path, [(old, '192.0.2.1', query_of(start_url(XP))),
                          (old + 1000, '192.0.2.1', query_of(result_url(XP, 0, 500, 3))),
                          (old + 2000, '192.0.2.2', b'protocol=2&bogus'),
                          (kept, '192.0.2.3', query_of(start_url(XP))),
                          (now, '192.0.2.4', query_of(start_url(XP)))])
    before = lvcollect('summary', '--db', db, '--json')
    log = str(tmp_path / 'collector.log')
    with Collector(db, options=['--keep-days', '90'], log=log) as collector:
        cutoff = (now // DAY_MS - 90) * DAY_MS
        wait_until(lambda: collector.rows('SELECT count(*) FROM reports WHERE received_ms < %d' % cutoff) ==
                   [(0,)] and collector.rows('SELECT count(*) FROM malformed') == [(0,)] and
                   collector.rows('SELECT count(*) FROM day_clients WHERE day < %d' % (cutoff // DAY_MS)) == [(0,)],
                   timeout=20, what='the old reports to go')
        assert collector.rows('SELECT count(*) FROM reports') == [(2,)]
        if db.startswith('postgresql'):
            day = time.strftime('%Y%m%d', time.gmtime(old / 1000))
            assert collector.rows("SELECT count(*) FROM pg_class WHERE relname LIKE '%%_%s'" % day) == [(0,)]
        collector.stop()
    with open(log) as f:
        assert '2 kept reports are older than --keep-days 90 and will go' in f.read()
    assert json.loads(before.stdout) == collector.summary()
    day = time.strftime('%Y-%m-%d', time.gmtime(old / 1000))
    that_day = json.loads(lvcollect('summary', '--db', db, '--json', '--from', day, '--to', day).stdout)
    assert (that_day['started'], that_day['succeeded'], that_day['malformed'], that_day['clients']) == (1, 1, 1, 1)
    assert lvcollect('summary', '--db', db, '--from', day, '--to', '2000-01-01').returncode == 2


# The first collector's stores: its own tables, as it made them.
FIRST_SQLITE_SCHEMA = """
CREATE TABLE reports (id INTEGER PRIMARY KEY, received_ms INTEGER NOT NULL, client TEXT NOT NULL,
 user_agent TEXT NOT NULL, kind TEXT NOT NULL CHECK (kind IN ('start', 'success', 'failure', 'cancel')),
 code INTEGER NOT NULL, seconds INTEGER, bytes INTEGER, current_url TEXT, os_major INTEGER NOT NULL,
 os_minor INTEGER NOT NULL, os_line TEXT NOT NULL CHECK (os_line IN ('nt', 'win')), query TEXT NOT NULL);
CREATE TABLE malformed (id INTEGER PRIMARY KEY, received_ms INTEGER NOT NULL, client TEXT NOT NULL,
 user_agent TEXT NOT NULL, reason TEXT NOT NULL, query TEXT NOT NULL);
PRAGMA user_version = 1;
"""
FIRST_POSTGRES_SCHEMA = """
CREATE TABLE reports (id bigint GENERATED ALWAYS AS IDENTITY, received_ms bigint NOT NULL,
 client bytea NOT NULL, user_agent bytea NOT NULL,
 kind text NOT NULL CHECK (kind IN ('start', 'success', 'failure', 'cancel')), code bigint NOT NULL,
 seconds bigint, bytes bigint, current_url bytea, os_major bigint NOT NULL, os_minor bigint NOT NULL,
 os_line text NOT NULL CHECK (os_line IN ('nt', 'win')), query bytea NOT NULL);
CREATE TABLE malformed (id bigint GENERATED ALWAYS AS IDENTITY, received_ms bigint NOT NULL,
 client bytea NOT NULL, user_agent bytea NOT NULL, reason text NOT NULL, query bytea NOT NULL);
CREATE TABLE stored_batches (collector text NOT NULL, batch bigint NOT NULL, reports bigint NOT NULL,
 malformed bigint NOT NULL, stored_ms bigint NOT NULL, PRIMARY KEY (collector, batch));
CREATE TABLE schema_version (version integer NOT NULL);
INSERT INTO schema_version VALUES (1);
"""


def first_store(db, reports, malformed):
    """A store as the first collector wrote it: (ms, client, url) reports
    and (ms, client, query, reason) malformed queries."""
    rows = []
    for ms, client, url in reports:
        fields = dict(f.split('=', 1) for f in url.split('?', 1)[1].split('&') if '=' in f)
        kind = ('start' if 'action=update' in url else 'success' if 'action=success' in url
                else 'cancel' if fields['error'] == '123' and fields['totalbytes'] == '0' else 'failure')
        result = kind != 'start'
        major, minor = map(int, fields['osversion'].split('.'))
        rows.append((ms, client, 'Lumenvast Downloader', kind, int(fields['error'] or 0) if result else 0,
                     int(fields.get('installduration') or fields.get('duration') or 0) if result else None,
                     int(fields['totalbytes']) if result else None,
                     url.split('&currenturl=', 1)[1].split('&osversion=')[0] if result else None,
                     major, minor, fields['os'], query_of(url).decode('latin-1')))
    if db.startswith('postgresql'):
        from harness import postgres as pg
        pg.execute(db, FIRST_POSTGRES_SCHEMA)
        for row in rows:
            pg.execute(db, "INSERT INTO reports (received_ms, client, user_agent, kind, code, seconds, bytes,"
                           " current_url, os_major, os_minor, os_line, query) VALUES (%d, '%s', '%s', '%s', %d,"
                           " %s, %s, %s, %d, %d, '%s', '%s')" % (
                               row[0], row[1], row[2], row[3], row[4], 'NULL' if row[5] is None else row[5],
                               'NULL' if row[6] is None else row[6],
                               'NULL' if row[7] is None else "'%s'" % row[7], row[8], row[9], row[10], row[11]))
        for ms, client, query, reason in malformed:
            pg.execute(db, "INSERT INTO malformed (received_ms, client, user_agent, reason, query) VALUES"
                           " (%d, '%s', 'Lumenvast Downloader', '%s', '%s')" % (ms, client, reason, query))
        return
    with sqlite3.connect(db) as store:
        store.executescript(FIRST_SQLITE_SCHEMA)
        store.executemany('INSERT INTO reports (received_ms, client, user_agent, kind, code, seconds, bytes,'
                          ' current_url, os_major, os_minor, os_line, query) VALUES (?,?,?,?,?,?,?,?,?,?,?,?)', rows)
        store.executemany("INSERT INTO malformed (received_ms, client, user_agent, reason, query) VALUES"
                          " (?, ?, 'Lumenvast Downloader', ?, ?)", malformed)


def fnv1a(data):
    value = 0xcbf29ce484222325
    for byte in data:
        value = ((value ^ byte) * 0x100000001b3) & 0xffffffffffffffff
    return value


def first_spool(path, batches):
    """A spool as the first collector wrote it: [(source, number, [(ms, client, url)])]."""
    def text(data):
        return struct.pack('<I', len(data)) + data
    out = b'LVSPOOL1'
    for source, number, reports in batches:
        payload = text(source.encode()) + struct.pack('<QI', number, len(reports))
        for ms, client, url in reports:
            payload += struct.pack('<Q', ms) + text(client.encode()) + text(b'Lumenvast Downloader') + \
                text(query_of(url))
        out += struct.pack('<IQ', len(payload), fnv1a(payload)) + payload
    with open(path, 'wb') as f:
        f.write(out)


def test_stores_and_spools_of_the_first_collector_are_upgraded(postgres, db, tmp_path):
    """A store of the first collector (and, on PostgreSQL, its spool) with
    addresses, of today and of past days: the first start upgrades it before
    it listens. The summary counts every report, today's client is one
    across the upgrade, reports past --keep-days are said to go, and no
    address is left in the store, the spool or the log. A store newer than
    the collector is refused in one sentence."""
    now = int(time.time() * 1000)
    addresses = ['198.51.100.%d' % i for i in range(1, 5)]
    first_store(db, [(now - 100 * DAY_MS, addresses[0], start_url(XP)),
                     (now - 3 * DAY_MS, addresses[1], start_url(W98)),
                     (now - 3 * DAY_MS + 10, addresses[1], result_url(W98, 117, 5000, 4)),
                     (now - 3 * DAY_MS + 20, addresses[1], start_url(W98)),
                     (now - 1000, addresses[2], start_url(XP))],
                [(now - 2000, addresses[3], 'protocol=2&x', 'at byte 10: expected')])
    options = ['--keep-days', '90', '--client-header', 'X-Forwarded-For']
    spool = str(tmp_path / 'lvcollect.spool')
    if db.startswith('postgresql'):
        first_spool(spool, [('old:1:1', 7, [(now - 500, addresses[2], result_url(XP, 0, 300, 2))])])
        options += ['--spool', spool]
    log = str(tmp_path / 'collector.log')
    with Collector(db, options=options, log=log) as collector:
        # The same client today, after the upgrade.
        assert status(exchange(collector.address, request(START, extra=forwarded_as(addresses[2])))) == 200
        spooled = 1 if db.startswith('postgresql') else 0
        wait_until(lambda: (collector.summary()['started'], collector.summary()['succeeded']) == (5, spooled),
                   what='the spool to be stored')
        collector.stop()
    summary = collector.summary()
    assert {k: summary[k] for k in ('started', 'succeeded', 'failed', 'malformed', 'clients',
                                    'clients_needing_try_again')} == {
        'started': 5, 'succeeded': spooled, 'failed': {'117': 1},
        'malformed': 1, 'clients': 3, 'clients_needing_try_again': 1}
    with open(log) as f:
        said = f.read()
    assert '1 kept reports are older than --keep-days 90' in said, said
    for where, data in (('store', store_bytes(postgres, db)), ('log', said.encode()),
                        ('spool', open(spool, 'rb').read() if os.path.exists(spool) else b'')):
        assert address_in(data, addresses) == [], where

    # A store of a later collector than this one: one sentence, exit 1.
    collector.execute('UPDATE schema_version SET version = 3' if db.startswith('postgresql')
                      else 'PRAGMA user_version = 3')
    run = lvcollect('serve', '--listen', '127.0.0.1:0', '--db', db)
    assert run.returncode == 1 and run.stderr.count('\n') == 1 and 'newer lvcollect' in run.stderr, run.stderr


def forwarded_as(address):
    return b'X-Forwarded-For: %s\r\n' % address.encode()
