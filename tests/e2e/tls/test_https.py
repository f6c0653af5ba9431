"""An HTTPS build under Wine: its download and its reports go over TLS
only, each bad certificate and each way down to plain HTTP ends in 114 with
nothing started and nothing left, and a redirect to another https://
address is followed; beside it the default build still speaks plain HTTP.

The harness's proxy ends every tunnel with a certificate of the test's
choosing and records the requests inside it with scheme 'https'; anything
that came in clear would be recorded with scheme 'http'.
"""
import pytest

from harness import paths
from harness.job import installer_body, run_jobhost
from harness.protocol import origin_form, received_seconds, result_url, sheet_request, start_url
from harness.web import PLAIN_INSIDE, Collector, Download, FileOrigin, tls_front
from test_installer import BROWSER, Logs, assert_ran_once_quoted, page_file
from test_reports import assert_report_wire, current_os

JOBHOST = 'jobhost-https'
NETWORK = 114
OBJECT_TARGET = '/' + paths.OBJECT_PATH
REPORT_TUNNEL = paths.REPORT_HOST + ':443'
DOWNLOAD_TUNNEL = paths.DOWNLOAD_HOST + ':443'
MIRROR_HOST = paths.MIRROR_HOST
MIRROR_OBJECT = '/mirror/lumenvast/installer.exe'


@pytest.fixture
def web(web, certificates):
    """The proxy, ending every tunnel with the trusted certificate, serving
    the test installer."""
    web.tls = certificates['trusted']
    web.download = Download(body=installer_body())
    return web


def run_https(wine, web, variant=JOBHOST):
    return run_jobhost(wine, proxy=web.proxy_url, variant=variant)


def tunnels(web):
    return [r.target for r in web.recorder.all() if r.kind == 'connect']


def downloads(web):
    return [(r.host, r.target, r.scheme) for r in web.recorder.downloads()]


def redirect(status, location):
    return Download(status=status, reason='Moved',
                    extra_headers=['Location: ' + location] if location is not None else [])


def assert_failed_before_the_transfer(wine, run):
    """114 alone: no byte written, no installer started, nothing left."""
    assert run.events == [('FINISHED', NETWORK), ('EXIT', NETWORK)]
    assert wine.leftover_temp_files() == []


def assert_result_report(web, os_version, code, total_bytes):
    result = web.recorder.reports()[-1]
    assert result.scheme == 'https'
    assert result.target == origin_form(
        result_url(os_version, code, total_bytes, received_seconds(result), scheme='https'),
        paths.REPORT_HOST, 'https')


# --- Success ------------------------------------------------------------------------------

@pytest.mark.smoke64
def test_download_and_reports_go_over_tls_only(wine, web):
    os_version = current_os(wine)
    run = run_https(wine, web)
    assert run.result == 0
    assert ('INSTALLING',) in run.events
    assert [(r.kind, r.scheme) for r in web.recorder.all()] == [
        ('connect', 'http'), ('report', 'https'),
        ('connect', 'http'), ('download', 'https'),
        ('connect', 'http'), ('report', 'https')]
    assert tunnels(web) == [REPORT_TUNNEL, DOWNLOAD_TUNNEL, REPORT_TUNNEL]
    assert downloads(web) == [(paths.DOWNLOAD_HOST, OBJECT_TARGET, 'https')]
    # Each report byte for byte inside its tunnel, the download URL named
    # with https://.
    start, result = web.recorder.reports()
    assert start.target == origin_form(start_url(os_version, scheme='https'), paths.REPORT_HOST,
                                       'https')
    assert_result_report(web, os_version, 0, len(installer_body()))
    assert ('&currenturl=https://%s/%s&' % (paths.DOWNLOAD_HOST, paths.OBJECT_PATH)
            in result.target)
    for report in (start, result):
        assert_report_wire(report, paths.REPORT_HOST)
    # The sheet's examples of this route: the tunnel, then the start report
    # inside it, on the sheet's Windows version.
    connect = web.recorder.all()[0]
    assert (connect.method, connect.target, connect.version, connect.headers) == \
        sheet_request('request-connect')
    method, target, version, headers = sheet_request('request-tunnel')
    assert (start.method, start.target, start.version, start.headers) == (
        method, target.replace('&osversion=6.1&os=nt', '&osversion=%d.%d&os=%s' % (
            os_version[0], os_version[1], 'nt' if os_version[2] == 2 else 'win')),
        version, headers)
    assert wine.leftover_temp_files() == []


def test_a_body_cut_short_is_interrupted_and_never_run(wine, web):
    # The tunnel's connection is closed part-way through the body.
    body = installer_body()
    web.download = Download(body=body, close_at=len(body) // 2)
    run = run_https(wine, web)
    assert run.events[-2:] == [('FINISHED', 117), ('EXIT', 117)]
    assert ('INSTALLING',) not in run.events
    progress = [e for e in run.events if e[0] == 'PROGRESS']
    assert progress[-1][2] == len(body)
    assert_result_report(web, current_os(wine), 117, progress[-1][1])
    assert wine.leftover_temp_files() == []


def test_a_resumed_download_asks_for_the_rest_after_its_redirects(wine, web, tmp_path):
    # RESUME=ON with HTTPS: the request that fetches the body, after the
    # redirect, carries the Range request, and Debian's nginx answers it.
    body = installer_body()
    cut = len(body) * 4 // 5
    moved = redirect(302, 'https://%s%s' % (MIRROR_HOST, MIRROR_OBJECT))
    with FileOrigin(str(tmp_path / 'origin')) as origin:
        origin.put(MIRROR_OBJECT[1:], body)
        web.queue_download(moved, Download(origin=origin.address, close_at=cut),
                           moved, Download(origin=origin.address))
        run = run_jobhost(wine, proxy=web.proxy_url, variant='jobhost-https-resume', attempts=2)
        answers = [(a.status, a.range) for a in origin.answers()]
    assert [e for e in run.events if e[0] == 'FINISHED'] == [('FINISHED', 117), ('FINISHED', 0)]
    kept = [e for e in run.events[:run.events.index(('FINISHED', 117))] if e[0] == 'PROGRESS']
    assert 0 < kept[-1][1] <= cut
    assert answers == [(200, ''), (206, 'bytes=%d-' % kept[-1][1])]
    assert [d.scheme for d in web.recorder.downloads()] == ['https'] * 4
    assert wine.leftover_temp_files() == []


@pytest.mark.smoke64
def test_the_downloader_installs_and_reports_to_lvcollect_behind_nginx(wine, web, authority,
                                                                      tmp_path):
    """The product build end to end: the reports go through the proxy's
    tunnel to nginx, which ends TLS with the report host's certificate and
    passes them on to lvcollect, as a vendor sets it up."""
    chain, key = authority.issue('nginx-reports', [paths.REPORT_HOST])
    logs = Logs(str(tmp_path))
    with Collector(str(tmp_path / 'reports.db'),
                   options=('--client-header', 'X-Forwarded-For')) as collector:
        with tls_front(tmp_path / 'nginx', chain, key, collector.address) as front:
            web.pass_through[REPORT_TUNNEL] = front.address
            process = wine.start_exact(
                '"%s" "%s" "https://www.tessaframe.com/welcome"' % (
                    paths.windows_path(paths.test_program('lvdownload-https')), BROWSER),
                proxy=web.proxy_url, extra_env=logs.env())
            assert process.wait(120) == 0
        assert 'answered 2 reports and 0 malformed queries, all stored' in collector.stop()
    assert collector.rows('SELECT kind, current_url FROM reports ORDER BY id') == [
        (b'start', None),
        (b'success', ('https://%s/%s' % (paths.DOWNLOAD_HOST, paths.OBJECT_PATH)).encode())]
    assert downloads(web) == [(paths.DOWNLOAD_HOST, OBJECT_TARGET, 'https')]
    assert web.recorder.plain() == []
    assert_ran_once_quoted(logs, wine.default_temp_windows + '\\')
    assert logs.browser_starts()
    with open(page_file(wine), 'rb') as page:
        assert b'URL=https://www.tessaframe.com/welcome"' in page.read()
    assert wine.leftover_temp_files() == []


def test_reports_with_the_longest_texts_arrive_whole(wine, web, authority):
    """The report buffer of an HTTPS build holds the longest texts the
    configuration allows: a report host of 150 characters, a download host
    and an object path of 259 each."""
    web.tls = authority.server_context('longest', [paths.LONGEST_DOWNLOAD_HOST,
                                                   paths.LONGEST_REPORT_HOST])
    os_version = current_os(wine)
    run = run_https(wine, web, variant='jobhost-https-longest')
    assert run.result == 0
    start, result = web.recorder.reports()
    assert start.target == origin_form(
        start_url(os_version, host=paths.LONGEST_REPORT_HOST, scheme='https'),
        paths.LONGEST_REPORT_HOST, 'https')
    expected = result_url(os_version, 0, len(installer_body()), received_seconds(result),
                          server=paths.LONGEST_DOWNLOAD_HOST, obj=paths.LONGEST_OBJECT_PATH,
                          host=paths.LONGEST_REPORT_HOST, scheme='https')
    assert result.target == origin_form(expected, paths.LONGEST_REPORT_HOST, 'https')
    assert downloads(web) == [(paths.LONGEST_DOWNLOAD_HOST, '/' + paths.LONGEST_OBJECT_PATH,
                               'https')]


# --- Certificates that must be refused ------------------------------------------------------------

@pytest.mark.parametrize('case', ['untrusted root', 'other name', 'expired'])
def test_a_bad_certificate_of_the_download_host_ends_in_114(wine, web, certificates, case):
    web.tls_for[paths.DOWNLOAD_HOST] = certificates[case]
    os_version = current_os(wine)
    run = run_https(wine, web)
    assert_failed_before_the_transfer(wine, run)
    # The downloader refused the certificate: not one byte of a request.
    assert web.refused_tls == [DOWNLOAD_TUNNEL]
    assert downloads(web) == []
    assert tunnels(web) == [REPORT_TUNNEL, DOWNLOAD_TUNNEL, REPORT_TUNNEL]
    # The report host's certificate is good: the failure is reported.
    assert_result_report(web, os_version, NETWORK, 0)


@pytest.mark.smoke64
def test_with_no_host_to_trust_nothing_is_sent(wine, web, certificates):
    """Neither the reports nor the download go out when their handshakes
    fail: no plain copy follows."""
    web.tls = certificates['untrusted root']
    run = run_https(wine, web)
    assert_failed_before_the_transfer(wine, run)
    assert tunnels(web) == [REPORT_TUNNEL, DOWNLOAD_TUNNEL, REPORT_TUNNEL]
    assert web.refused_tls == tunnels(web)
    assert [r for r in web.recorder.all() if r.kind != 'connect'] == []


# --- Redirects ---------------------------------------------------------------------------------

@pytest.mark.smoke64
@pytest.mark.parametrize('location', [
    'http://%s/%s' % (paths.DOWNLOAD_HOST, paths.OBJECT_PATH),
    'http://%s%s' % (MIRROR_HOST, MIRROR_OBJECT),
    MIRROR_OBJECT,
    '//%s%s' % (MIRROR_HOST, MIRROR_OBJECT),
    None,
], ids=['http same host', 'http other host', 'relative', 'no scheme', 'no location'])
def test_a_redirect_anywhere_but_https_ends_in_114(wine, web, location):
    web.queue_download(redirect(302, location))
    os_version = current_os(wine)
    run = run_https(wine, web)
    assert_failed_before_the_transfer(wine, run)
    # The one request went inside TLS; nothing went to the address named.
    assert downloads(web) == [(paths.DOWNLOAD_HOST, OBJECT_TARGET, 'https')]
    assert web.recorder.plain() == []
    assert tunnels(web) == [REPORT_TUNNEL, DOWNLOAD_TUNNEL, REPORT_TUNNEL]
    assert_result_report(web, os_version, NETWORK, 0)


@pytest.mark.parametrize('status', [301, 302, 303, 307, 308])
def test_a_redirect_to_another_https_address_is_followed(wine, web, status):
    web.queue_download(redirect(status, 'https://%s%s' % (MIRROR_HOST, MIRROR_OBJECT)))
    os_version = current_os(wine)
    run = run_https(wine, web)
    assert run.result == 0
    assert ('INSTALLING',) in run.events
    assert tunnels(web) == [REPORT_TUNNEL, DOWNLOAD_TUNNEL, MIRROR_HOST + ':443', REPORT_TUNNEL]
    assert downloads(web) == [(paths.DOWNLOAD_HOST, OBJECT_TARGET, 'https'),
                              (MIRROR_HOST, MIRROR_OBJECT, 'https')]
    # The report names the configured download, wherever it was served from.
    assert_result_report(web, os_version, 0, len(installer_body()))
    assert wine.leftover_temp_files() == []


def test_five_redirects_in_a_row_are_followed(wine, web):
    hops = ['https://%s:8443/hop1' % MIRROR_HOST, 'https://%s/hop2?a=1&b=2' % MIRROR_HOST,
            'HTTPS://%s/hop3#part' % paths.DOWNLOAD_HOST, 'https://%s/hop4' % MIRROR_HOST,
            'https://%s%s' % (MIRROR_HOST, MIRROR_OBJECT)]
    web.queue_download(*[redirect(307, hop) for hop in hops])
    run = run_https(wine, web)
    assert run.result == 0
    assert [target for _, target, _ in downloads(web)] == [
        OBJECT_TARGET, '/hop1', '/hop2?a=1&b=2', '/hop3', '/hop4', MIRROR_OBJECT]
    assert MIRROR_HOST + ':8443' in tunnels(web)


def test_a_sixth_redirect_in_a_row_ends_in_114(wine, web):
    web.queue_download(*[redirect(302, 'https://%s/hop%d' % (MIRROR_HOST, n)) for n in range(6)])
    run = run_https(wine, web)
    assert_failed_before_the_transfer(wine, run)
    # Six requests, each answered with a redirect; the sixth is not followed.
    assert [target for _, target, _ in downloads(web)] == [
        OBJECT_TARGET, '/hop0', '/hop1', '/hop2', '/hop3', '/hop4']
    assert web.recorder.plain() == []


# --- Direct connections --------------------------------------------------------------------------

@pytest.fixture
def direct(direct_web, certificates):
    """Factory: direct(download_tls=None) -> the https:// servers on port 443
    of the loopback build's two addresses, with plain ones on port 80 of
    both, all recorded by the first's recorder."""
    def make(download_tls=None):
        secure = direct_web(tls=certificates['trusted'], download_tls=download_tls)
        direct_web(recorder=secure.recorder)
        secure.download_server.download = Download(body=installer_body())
        return secure
    return make


def listeners(servers):
    return [(r.kind, r.listener, r.scheme) for r in servers.recorder.all()]


DIRECT_DOWNLOAD = paths.LOOPBACK_DOWNLOAD_ADDRESS + ':443'
DIRECT_REPORTS = paths.LOOPBACK_REPORT_ADDRESS + ':443'


def test_direct_connections_go_over_tls_to_port_443(wine, direct):
    servers = direct()
    run = run_jobhost(wine, variant='jobhost-https-loopback')
    assert run.result == 0
    assert listeners(servers) == [('report', DIRECT_REPORTS, 'https'),
                                   ('download', DIRECT_DOWNLOAD, 'https'),
                                   ('report', DIRECT_REPORTS, 'https')]
    result = servers.recorder.reports()[-1]
    assert '&currenturl=https://%s/%s&' % (paths.LOOPBACK_DOWNLOAD_ADDRESS,
                                           paths.OBJECT_PATH) in result.target


def test_a_download_host_that_speaks_no_tls_ends_in_114(wine, direct):
    """The handshake fails: no request is made, nothing starts, and the
    failure is reported over the report host's TLS."""
    servers = direct(download_tls=PLAIN_INSIDE)
    run = run_jobhost(wine, variant='jobhost-https-loopback')
    assert_failed_before_the_transfer(wine, run)
    assert listeners(servers) == [('report', DIRECT_REPORTS, 'https'),
                                   ('report', DIRECT_REPORTS, 'https')]
    assert 'action=failure&error=114&duration=' in servers.recorder.reports()[-1].target


def test_a_redirect_to_the_plain_address_sends_nothing_there(wine, direct):
    servers = direct()
    servers.download_server.queue_download(redirect(
        301, 'http://%s/%s' % (paths.LOOPBACK_DOWNLOAD_ADDRESS, paths.OBJECT_PATH)))
    run = run_jobhost(wine, variant='jobhost-https-loopback')
    assert_failed_before_the_transfer(wine, run)
    # Not one connection reached port 80.
    assert listeners(servers) == [('report', DIRECT_REPORTS, 'https'),
                                   ('download', DIRECT_DOWNLOAD, 'https'),
                                   ('report', DIRECT_REPORTS, 'https')]


# --- The default build -------------------------------------------------------------------------

def test_the_default_build_still_speaks_plain_http(wine, web):
    os_version = current_os(wine)
    run = run_https(wine, web, variant='jobhost')
    assert run.result == 0
    assert [(r.kind, r.scheme) for r in web.recorder.all()] == [
        ('report', 'http'), ('download', 'http'), ('report', 'http')]
    start, result = web.recorder.reports()
    assert start.target == start_url(os_version)
    assert '&currenturl=http://%s/' % paths.DOWNLOAD_HOST in result.target
