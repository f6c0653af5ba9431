"""Usage reports under Wine: when each report goes out, its URL byte for byte,
what reaches the report host, and the cancel report of a closed window.

The expected URLs are built from the protocol's literal pieces
(harness/protocol.py), not by the product's composer.
"""
import math
import os
import threading
import time

import pytest

from harness import paths, ui
from harness.job import INSTALL_KEY, installer_body, parse_events, run_jobhost, start_jobhost
from harness.protocol import (PREFIX_AFTER_HOST, START_SUFFIX, origin_form, os_fields,
                              received_seconds, result_url, sheet_request, start_url)
from harness.web import Collector, Download, Gate, Nginx, ReportAnswer, Squid, free_port
from harness.wine import wait_until

USER_CANCEL = 123
NO_STRING = 113
INTERRUPTED = 117
RUN_INSTALLER = 119

NOT_A_PROGRAM = b'<html>this is not a program</html>\n' * 40


def whole_seconds_between(seconds, low, high):
    """seconds = floor(elapsed) for an elapsed time known to lie in
    [low, high]; a little slack for the tick count's granularity."""
    return math.floor(max(0.0, low - 0.05)) <= seconds <= math.floor(high + 0.05)


def current_os(wine):
    return tuple(int(w) for w in wine.run(paths.test_program('wintool'), ['version']).stdout.split())


# --- Helpers --------------------------------------------------------------------

class EventStream:
    """The job host's events as it prints them, read on a thread."""

    def __init__(self, process):
        self.events = []
        self._changed = threading.Condition()
        threading.Thread(target=self._read, args=(process.stdout,), daemon=True).start()

    def _read(self, stream):
        for line in stream:
            with self._changed:
                self.events.extend(parse_events(line))
                self._changed.notify_all()

    def wait_for(self, predicate, timeout=30):
        with self._changed:
            if not self._changed.wait_for(lambda: predicate(self.events), timeout):
                raise TimeoutError('job host events so far: %r' % self.events)
            return list(self.events)

    def snapshot(self):
        with self._changed:
            return list(self.events)


def kinds(recorder):
    return [r.kind for r in recorder.all()]


def assert_report_wire(request, host_header, agent=paths.REPORT_AGENT):
    assert (request.method, request.version) == ('GET', 'HTTP/1.0')
    assert request.headers.get('user-agent') == agent
    assert request.headers.get('host') == host_header
    # Nothing beyond what Wine's HTTP layer adds by itself, and no body.
    assert set(request.headers) == {'host', 'user-agent'}, request.headers
    assert request.body_length == 0


def installer_log(wine, name):
    path = os.path.join(wine.dir, name)
    if os.path.exists(path):
        os.remove(path)
    return path


def read_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, 'rb') as f:
        return f.read().splitlines()


# --- Order of the job's reports -------------------------------------------------------

class TestReportOrder:
    def test_each_attempt_sends_its_start_report_before_its_download(self, wine, web):
        web.download = Download(body=installer_body())
        os_version = current_os(wine)
        run = run_jobhost(wine, proxy=web.proxy_url, attempts=2)
        assert run.results == [0, 0]
        assert kinds(web.recorder) == ['report', 'download', 'report'] * 2
        reports = web.recorder.reports()
        assert [r.target for r in reports[0::2]] == [start_url(os_version)] * 2
        assert all('&action=success&' in r.target for r in reports[1::2])

    def test_without_agent_text_start_and_result_reports_still_go(self, wine, web):
        web.download = Download(body=installer_body())
        os_version = current_os(wine)
        run = run_jobhost(wine, proxy=web.proxy_url, variant='jobhost-noagent')
        assert run.events == [('FINISHED', NO_STRING), ('EXIT', NO_STRING)]
        assert kinds(web.recorder) == ['report', 'report']
        start, result = web.recorder.reports()
        assert start.target == start_url(os_version)
        assert start.user_agent == paths.REPORT_AGENT
        # Neither host nor object was loaded: both stay empty in currenturl.
        assert '&currenturl=http:///&osversion=' in result.target
        assert result.target == result_url(os_version, NO_STRING, 0, received_seconds(result),
                                           server='', obj='')

    def test_result_seconds_count_the_start_report_and_the_installer(self, wine, web):
        # The start tick is taken before the start report, and the seconds
        # are counted after the installer: both waits are in them.
        web.download = Download(body=installer_body())
        web.queue_report_answer(ReportAnswer(delay=1.5))
        launched = time.monotonic()
        run = run_jobhost(wine, proxy=web.proxy_url,
                          extra_env={'LVTEST_INSTALLER_DELAY_MS': '2500'})
        assert run.result == 0
        _, result = web.recorder.reports()
        seconds = received_seconds(result)
        assert seconds >= 4
        assert whole_seconds_between(seconds, 4, result.time - launched)

    def test_result_report_follows_installer_and_file_removal(self, wine, web):
        web.download = Download(body=installer_body())
        log = installer_log(wine, 'installer-order.log')
        held = Gate('result report answer')
        web.queue_report_answer(ReportAnswer(), ReportAnswer(hold=held))
        process = start_jobhost(wine, proxy=web.proxy_url,
                                extra_env={'LVTEST_INSTALLER_LOG': paths.windows_path(log)})
        stream = EventStream(process)
        try:
            held.wait_reached()
            assert '&action=success&' in web.recorder.reports()[-1].target
            stream.wait_for(lambda events: ('INSTALLING',) in events)
            time.sleep(0.5)   # room for a wrongly early FINISHED to show
            assert not any(e[0] == 'FINISHED' for e in stream.snapshot())
            assert len(read_lines(log)) == 1
            assert wine.leftover_temp_files() == []
        finally:
            held.release()
        assert process.wait(60) == 0
        events = stream.wait_for(lambda events: events and events[-1][0] == 'EXIT')
        assert events[-3:] == [('INSTALLING',), ('FINISHED', 0), ('EXIT', 0)]
        assert kinds(web.recorder) == ['report', 'download', 'report']


# --- The composed URLs and their wire form ----------------------------------------------

class TestComposedUrls:
    @pytest.mark.parametrize('route', [pytest.param('proxy', marks=pytest.mark.smoke64),
                                       'direct'])
    def test_success(self, wine, web, direct_web, route):
        body = installer_body()
        os_version = current_os(wine)
        if route == 'proxy':
            web.download = Download(body=body)
            recorder, proxy, variant = web.recorder, web.proxy_url, 'jobhost'
            report_host, download_host = paths.REPORT_HOST, paths.DOWNLOAD_HOST
        else:
            servers = direct_web()
            servers.download_server.download = Download(body=body)
            recorder, proxy, variant = servers.recorder, None, 'jobhost-loopback'
            report_host = paths.LOOPBACK_REPORT_ADDRESS
            download_host = paths.LOOPBACK_DOWNLOAD_ADDRESS
        launched = time.monotonic()
        run = run_jobhost(wine, proxy=proxy, variant=variant)
        assert run.result == 0
        assert run.progress[-1] == (len(body), len(body))
        assert kinds(recorder) == ['report', 'download', 'report']
        start, result = recorder.reports()
        seconds = received_seconds(result)
        assert whole_seconds_between(seconds, 0, result.time - launched)
        expected = [start_url(os_version, host=report_host),
                    result_url(os_version, 0, len(body), seconds, server=download_host,
                               host=report_host)]
        if route == 'proxy':
            # Through the proxy the request line carries the absolute URL.
            assert [start.target, result.target] == expected
            host_header = paths.REPORT_HOST
        else:
            assert [start.target, result.target] == [origin_form(u, report_host) for u in expected]
            assert {start.listener, result.listener} == {report_host + ':80'}
            host_header = report_host
        for report in (start, result):
            assert_report_wire(report, host_header)
        # The sheet's example of this route is this start report, on the
        # sheet's Windows version and with the sheet's report host.
        method, target, version, headers = sheet_request('request-' + route)
        target = target.replace('&osversion=6.1&os=nt', os_fields(os_version))
        if route == 'direct':
            headers['host'] = report_host
        assert (start.method, start.target, start.version, start.headers) == (
            method, target, version, headers)

    def test_interrupted_download(self, wine, web):
        body = os.urandom(200000)
        written = 3 * 32768
        gate = Gate('mid-body')
        web.download = Download(body=body, holds=[(written, gate)], reset_at=written)
        os_version = current_os(wine)
        launched = time.monotonic()
        process = start_jobhost(wine, proxy=web.proxy_url)
        stream = EventStream(process)
        try:
            gate.wait_reached()
            stream.wait_for(lambda events: ('PROGRESS', written, len(body)) in events)
            # At least a second into the attempt before the reset, so that the
            # duration cannot be 0.
            started = web.recorder.reports()[0].time
            time.sleep(max(0.0, started + 1.2 - time.monotonic()))
            reset = time.monotonic()
        finally:
            gate.release()
        assert process.wait(60) == 0
        events = stream.wait_for(lambda events: events and events[-1][0] == 'EXIT')
        assert events[-2:] == [('FINISHED', INTERRUPTED), ('EXIT', INTERRUPTED)]
        last_count = [e for e in events if e[0] == 'PROGRESS'][-1][1]
        assert last_count == written
        assert kinds(web.recorder) == ['report', 'download', 'report']
        start, result = web.recorder.reports()
        seconds = received_seconds(result)
        assert seconds >= 1
        assert whole_seconds_between(seconds, reset - started, result.time - launched)
        assert start.target == start_url(os_version)
        assert result.target == result_url(os_version, INTERRUPTED, last_count, seconds)
        assert wine.leftover_temp_files() == []


# --- User agents ----------------------------------------------------------------------

def test_job_reports_carry_the_report_agent_and_the_download_the_catalogue_agent(wine, web):
    web.download = Download(body=installer_body())
    run = run_jobhost(wine, proxy=web.proxy_url, variant='jobhost-longagent')
    assert run.result == 0
    assert kinds(web.recorder) == ['report', 'download', 'report']
    start, download, result = web.recorder.all()
    assert start.user_agent == result.user_agent == paths.REPORT_AGENT
    assert download.user_agent == paths.LONG_AGENT[:31]


# --- Answers of the report host ---------------------------------------------------------

@pytest.mark.parametrize('answer', [
    ReportAnswer(status=404, body=b'<html><body>Not Found</body></html>\n'),
    ReportAnswer(status=500, body=b'internal error, ' * 6250),    # 100,000 bytes
    ReportAnswer(status=200, body=bytes(range(256)) * 400),       # 102,400 bytes
    ReportAnswer(refuse=True),
], ids=['404', '500-long', '200-long', 'reset'])
def test_report_answers_change_nothing(wine, web, answer):
    web.download = Download(body=installer_body())
    baseline = run_jobhost(wine, proxy=web.proxy_url)
    web.report_answer = answer
    run = run_jobhost(wine, proxy=web.proxy_url)
    assert baseline.result == 0
    assert run.events == baseline.events
    assert kinds(web.recorder) == ['report', 'download', 'report'] * 2


def test_refused_report_connection_changes_nothing(wine, direct_web):
    body = installer_body()
    both = direct_web()
    both.download_server.download = Download(body=body)
    baseline = run_jobhost(wine, variant='jobhost-loopback')
    both.close()
    assert baseline.result == 0
    assert kinds(both.recorder) == ['report', 'download', 'report']

    download_only = direct_web(report=False)
    download_only.download_server.download = Download(body=body)
    run = run_jobhost(wine, variant='jobhost-loopback')
    assert run.events == baseline.events
    assert kinds(download_only.recorder) == ['download']


# --- Operating-system fields ------------------------------------------------------------

@pytest.mark.guest32
@pytest.mark.parametrize('version, fields', [
    ('win98', '&osversion=4.10&os=win'),
    ('win2k', '&osversion=5.0&os=nt'),
    ('winxp', '&osversion=5.1&os=nt'),
])
def test_os_fields_follow_the_windows_version(wine, web, windows_version, version, fields):
    windows_version(version)
    web.download = Download(body=installer_body())
    run_jobhost(wine, proxy=web.proxy_url)
    start, result = web.recorder.reports()
    assert start.target == 'http://' + paths.REPORT_HOST + PREFIX_AFTER_HOST + START_SUFFIX + fields
    assert result.target.endswith(paths.OBJECT_PATH + fields)


# --- The cancel report of a closed window ------------------------------------------------

def start_downloader(wine, web, program=paths.LVDOWNLOAD, extra_env=None):
    process = wine.start_program(program, proxy=web.proxy_url, extra_env=extra_env)
    assert ui.wait_dialog(wine) is not None
    return process


def error_view_shown(wine):
    state = ui.state(wine)
    return state is not None and {ui.IDOK, ui.IDCANCEL} <= state.visible_ids()


def close_with_held_cancel_report(wine, web, process):
    """Closes the window while the cancel report's answer is held: the dialog
    must stay until the exchange is over, then go, and the process exit 0.
    Returns the reports that arrived from the close on."""
    before = len(web.recorder.reports())
    held = Gate('cancel report answer')
    web.queue_report_answer(ReportAnswer(hold=held))
    try:
        assert ui.close(wine)
        held.wait_reached()
        state = ui.state(wine)
        assert state is not None and not state['responding']
        assert process.poll() is None
    finally:
        held.release()
    assert ui.wait_gone(wine)
    assert process.wait(60) == 0
    return web.recorder.reports()[before:]


class TestCancelReport:
    def assert_cancel_report(self, request, os_version, started, closed, launched, agent):
        seconds = received_seconds(request)
        assert whole_seconds_between(seconds, closed - started, request.time - launched)
        assert request.target == result_url(os_version, USER_CANCEL, 0, seconds)
        assert request.user_agent == agent
        return seconds

    def test_during_download(self, wine, web):
        # The long-agent build: the cancel report takes the catalogue's agent,
        # cut to 31 characters, while the job's report keeps the report agent.
        gate = Gate('download')
        web.download = Download(body=installer_body(), holds=[(32768, gate)])
        os_version = current_os(wine)
        launched = time.monotonic()
        try:
            process = start_downloader(wine, web, paths.test_program('lvdownload-longagent'))
            gate.wait_reached()
            started = web.recorder.reports()[0].time
            time.sleep(max(0.0, started + 1.5 - time.monotonic()))
            closed = time.monotonic()
            sent = close_with_held_cancel_report(wine, web, process)
        finally:
            gate.release()
        assert len(sent) == 1
        seconds = self.assert_cancel_report(sent[0], os_version, started, closed, launched,
                                            paths.LONG_AGENT[:31])
        assert seconds >= 1
        assert kinds(web.recorder) == ['report', 'download', 'report']
        start, download = web.recorder.all()[:2]
        assert start.user_agent == paths.REPORT_AGENT
        assert download.user_agent == paths.LONG_AGENT[:31]

    def test_in_error_view_counts_from_the_latest_attempt(self, wine, web):
        web.download = Download(body=NOT_A_PROGRAM)
        os_version = current_os(wine)
        process = start_downloader(wine, web)
        web.recorder.wait_count('report', 2)
        wait_until(lambda: error_view_shown(wine), what='the error view')
        # A duration taken from the first attempt would be at least this long.
        time.sleep(1.5)
        retried = time.monotonic()
        assert ui.click(wine, ui.IDOK)
        web.recorder.wait_count('report', 4)
        wait_until(lambda: error_view_shown(wine), what='the error view again')
        results = [r for r in web.recorder.reports() if '&action=failure&' in r.target]
        assert len(results) == 2
        assert [r.target for r in results] == [
            result_url(os_version, RUN_INSTALLER, len(NOT_A_PROGRAM), received_seconds(r))
            for r in results]
        started = web.recorder.reports()[2].time
        closed = time.monotonic()
        sent = close_with_held_cancel_report(wine, web, process)
        assert len(sent) == 1
        self.assert_cancel_report(sent[0], os_version, started, closed, retried,
                                  paths.USER_AGENT)
        assert kinds(web.recorder) == ['report', 'download', 'report'] * 2 + ['report']

    def test_while_installer_runs(self, wine, web):
        web.download = Download(body=installer_body())
        log = installer_log(wine, 'installer-cancel.log')
        os_version = current_os(wine)
        launched = time.monotonic()
        process = start_downloader(wine, web, extra_env={
            'LVTEST_INSTALLER_LOG': paths.windows_path(log),
            'LVTEST_INSTALLER_DELAY_MS': '10000'})
        wait_until(lambda: read_lines(log), what='the installer to start')
        started = web.recorder.reports()[0].time
        closed = time.monotonic()
        sent = close_with_held_cancel_report(wine, web, process)
        # The installer was still running when the downloader had gone: the
        # job never got to its result report.
        assert not wine.key_exists(INSTALL_KEY)
        assert len(sent) == 1, [r.target for r in sent]
        self.assert_cancel_report(sent[0], os_version, started, closed, launched,
                                  paths.USER_AGENT)
        assert kinds(web.recorder) == ['report', 'download', 'report']
        # It finishes on its own, so that nothing is left running.
        wait_until(lambda: wine.key_exists(INSTALL_KEY), timeout=60,
                   what='the installer to finish')


# A closed window sends no cancel report when the catalogue lacks a text the
# report needs: the agent, the download host or the object path.
MISSING_TEXT = {
    'no-agent-text': ('lvdownload-noagent', '', ''),          # loaded first: nothing loaded
    'no-server-text': ('lvdownload-noserver', '', ''),
    'no-object-text': ('lvdownload-noobject', paths.DOWNLOAD_HOST, ''),
}


@pytest.mark.parametrize('case', ['cancel-button', 'success'] + list(MISSING_TEXT))
def test_no_cancel_report(wine, web, case):
    os_version = current_os(wine)
    if case == 'success':
        web.download = Download(body=installer_body())
        process = start_downloader(wine, web)
        assert ui.wait_gone(wine)
        code, total = 0, len(installer_body())
    else:
        web.download = Download(body=NOT_A_PROGRAM)
        program = paths.test_program(MISSING_TEXT[case][0]) if case in MISSING_TEXT \
            else paths.LVDOWNLOAD
        process = start_downloader(wine, web, program)
        wait_until(lambda: error_view_shown(wine), what='the error view')
        if case == 'cancel-button':
            assert ui.click(wine, ui.IDCANCEL)
            code, total = RUN_INSTALLER, len(NOT_A_PROGRAM)
        else:
            assert ui.close(wine)
            code, total = NO_STRING, 0
        assert ui.wait_gone(wine)
    assert process.wait(60) == 0
    reports = web.recorder.reports()
    assert len(reports) == 2, [r.target for r in reports]
    start, result = reports
    assert start.target == start_url(os_version)
    if case in MISSING_TEXT:
        _, server, obj = MISSING_TEXT[case]
        assert kinds(web.recorder) == ['report', 'report']
        expected = result_url(os_version, code, total, received_seconds(result), server=server,
                              obj=obj)
    else:
        expected = result_url(os_version, code, total, received_seconds(result))
    assert result.target == expected


# --- The vendor's collector ---------------------------------------------------------------

def funnel(summary):
    return {key: summary[key] for key in ('started', 'succeeded', 'failed', 'cancelled', 'malformed')}


class TestCollector:
    """The real downloader's reports in lvcollect, the vendor's collector."""

    @pytest.mark.parametrize('route', ['direct', 'proxy'])
    def test_success_shows_one_start_and_one_success(self, wine, tmp_path, request, route):
        db = str(tmp_path / 'reports.db')
        gate = Gate('download')
        if route == 'direct':
            # The loopback build's report host is 127.0.0.3, port 80.
            servers = request.getfixturevalue('direct_web')(report=False)
            servers.download_server.download = Download(body=installer_body(), holds=[(32768, gate)])
            collector = Collector(db, paths.LOOPBACK_REPORT_ADDRESS, 80)
            program, proxy = paths.test_program('lvdownload-loopback'), None
        else:
            web = request.getfixturevalue('web')
            collector = Collector(db)
            web.download = Download(body=installer_body(), holds=[(32768, gate)])
            web.collector = collector.address
            program, proxy = paths.LVDOWNLOAD, web.proxy_url
        with collector:
            process = wine.start_program(program, proxy=proxy)
            # Held, so that a quick success cannot close the dialog unseen.
            try:
                gate.wait_reached()
                assert ui.wait_dialog(wine) is not None
            finally:
                gate.release()
            assert ui.wait_gone(wine)
            assert process.wait(60) == 0
            assert 'answered 2 reports and 0 malformed queries, all stored' in collector.stop()
        assert funnel(collector.summary()) == {
            'started': 1, 'succeeded': 1, 'failed': {}, 'cancelled': 0, 'malformed': 0}
        assert collector.rows('SELECT kind, user_agent FROM reports ORDER BY id') == [
            (b'start', paths.REPORT_AGENT.encode()), (b'success', paths.REPORT_AGENT.encode())]

    def test_failure_then_try_again(self, wine, web, collector):
        web.collector = collector.address
        web.queue_download(Download(body=NOT_A_PROGRAM))
        web.download = Download(body=installer_body())
        process = start_downloader(wine, web)
        wait_until(lambda: error_view_shown(wine), what='the error view')
        assert ui.click(wine, ui.IDOK)
        assert ui.wait_gone(wine)
        assert process.wait(60) == 0
        collector.stop()
        summary = collector.summary()
        assert funnel(summary) == {'started': 2, 'succeeded': 1, 'failed': {str(RUN_INSTALLER): 1},
                                   'cancelled': 0, 'malformed': 0}
        assert (summary['clients'], summary['clients_needing_try_again']) == (1, 1)

    def test_close_shows_one_cancel(self, wine, web, collector):
        web.collector = collector.address
        gate = Gate('download')
        web.download = Download(body=installer_body(), holds=[(32768, gate)])
        try:
            process = start_downloader(wine, web)
            gate.wait_reached()
            assert ui.close(wine)
            assert ui.wait_gone(wine)
        finally:
            gate.release()
        assert process.wait(60) == 0
        collector.stop()
        assert funnel(collector.summary()) == {
            'started': 1, 'succeeded': 0, 'failed': {}, 'cancelled': 1, 'malformed': 0}


# --- Behind a caching proxy ---------------------------------------------------------------

# An office's rule: answers that say nothing of caching are kept for an hour.
OFFICE_RULE = 'refresh_pattern . 60 20% 4320'
VENDOR_HOSTS = """    server {
        listen 127.0.0.1:%(port)d;
        root %(www)s;
        location = /foo.bar { proxy_pass http://127.0.0.1:%(collector)d; }
        location /control { default_type text/plain; return 200 "control\\n"; }
    }"""


class TestBehindACachingProxy:
    """Debian's squid as an office's cache in front of the vendor's hosts:
    nginx serves the installer and passes the reports on to lvcollect."""

    @pytest.fixture
    def chain(self, tmp_path):
        www = tmp_path / 'www'
        installer = www / paths.OBJECT_PATH
        installer.parent.mkdir(parents=True)
        installer.write_bytes(installer_body())
        with Collector(str(tmp_path / 'reports.db')) as collector:
            port = free_port()
            servers = VENDOR_HOSTS % {'port': port, 'www': www, 'collector': collector.address[1]}
            with Nginx(str(tmp_path / 'nginx'), servers, port=port), \
                    Squid(port, rules=(OFFICE_RULE,)) as squid:
                yield collector, squid

    @staticmethod
    def logged(squid, url, count):
        """Squid's result codes for the requests of URLs that begin with
        `url` (squid writes them without ":80"), once it has logged `count`
        of them."""
        def codes():
            found = [code for code, _, logged in squid.access_entries() if logged.startswith(url)]
            return found if len(found) >= count else None
        return wait_until(codes, timeout=10, what='%d requests for %s in squid\'s log' % (count, url))

    def test_the_cache_keeps_an_answer_that_says_nothing(self, chain):
        _, squid = chain
        url = 'http://%s/control?machine=1' % paths.DOWNLOAD_HOST
        assert squid.get(url) == squid.get(url) == b'HTTP/1.1 200 OK'
        assert self.logged(squid, url, 2) == ['TCP_MISS', 'TCP_MEM_HIT']

    def test_two_identical_machines_reach_the_collector(self, wine, chain):
        collector, squid = chain
        for _ in range(2):
            process = wine.start_program(paths.LVDOWNLOAD, proxy=squid.proxy_url)
            assert ui.wait_dialog(wine) is not None
            assert ui.wait_gone(wine)
            assert process.wait(60) == 0
        reports = self.logged(squid, 'http://%s/foo.bar?' % paths.REPORT_HOST, 4)
        assert 'answered 4 reports and 0 malformed queries, all stored' in collector.stop()
        assert funnel(collector.summary()) == {
            'started': 2, 'succeeded': 2, 'failed': {}, 'cancelled': 0, 'malformed': 0}
        starts = collector.rows('SELECT query FROM reports WHERE kind = "start"')
        assert len(starts) == 2 and starts[0] == starts[1]
        assert reports == ['TCP_MISS'] * 4
