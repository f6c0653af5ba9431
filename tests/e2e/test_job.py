"""The download job under Wine, through the job host: the job events, the
result codes, the download request and the temporary file."""
import contextlib
import ntpath
import os
import re
import subprocess
import tempfile

import pytest

from harness import paths
from harness.job import installer_body, run_jobhost
from harness.web import Download, Gate
from harness.wine import wait_until
from test_job_support import (FALLBACK_TOTAL, LiveJob, assert_no_temp_left, check_attempt,
                              check_job, check_reports, drained, run_job, split_attempts)

INSTALLER = installer_body()
N = len(INSTALLER)
ZEROS = bytes(100000)
NOT_FOUND = b'<html><body>404 Not Found</body></html>\n' * 20


def padded(number, width):
    return str(number).rjust(width, '0')


# (plan, expected total, expected last byte count or None, result)
SEQUENCES = {
    'installer': (Download(body=INSTALLER), N, N, 0),
    'empty body': (Download(body=b''), 0, 0, 119),
    'no length': (Download(body=INSTALLER, content_length=None), FALLBACK_TOTAL, N, 0),
    'no length, empty body': (Download(body=b'', content_length=None), FALLBACK_TOTAL, 0, 119),
    # 31 characters fit the 32-byte header text with its terminator; 32 do not.
    'length of 31 characters': (Download(body=INSTALLER, content_length=padded(N, 31)), N, N, 0),
    'length of 32 characters': (Download(body=INSTALLER, content_length=padded(N, 32)),
                                FALLBACK_TOTAL, N, 0),
    'length of 40 characters': (Download(body=INSTALLER, content_length=padded(N, 40)),
                                FALLBACK_TOTAL, N, 0),
    # How much of the body Wine hands out for "12a" varies from run to run.
    'length 12a': (Download(body=ZEROS, content_length='12a'), 169, None, 119),
    'length 5000000000': (Download(body=INSTALLER, content_length='5000000000'),
                          705032704, N, 0),
    # The connection closes cleanly before the announced length: an
    # interrupted download, whatever arrived.
    'body shorter than its length': (Download(body=INSTALLER, content_length=N + 50000),
                                      N + 50000, N, 117),
    'body shorter than a length with leading zeros': (
        Download(body=INSTALLER, content_length=padded(N + 1, 31)), N + 1, N, 117),
    # Wine stops reading at the Content-Length, so the file is the installer
    # alone and the counter ends on the total.
    'body longer than its length': (Download(body=INSTALLER + ZEROS, content_length=N), N, N, 0),
    'length 0, empty body': (Download(body=b'', content_length=0), 0, 0, 119),
    # Wine sometimes hands out the bytes that came in with the headers.
    'length 0 with a body': (Download(body=ZEROS, content_length=0), 0, None, 119),
    # An error status is not examined: the page is downloaded like any body
    # and handed to the installer step, which cannot start it.
    'error status with a page': (Download(body=NOT_FOUND, status=404, reason='Not Found'),
                                 len(NOT_FOUND), len(NOT_FOUND), 119),
}


@pytest.mark.parametrize('case', list(SEQUENCES))
def test_event_sequence(wine, web, case):
    plan, total, count, result = SEQUENCES[case]
    run = run_job(wine, web, plan)
    last = check_job(run, web.recorder, total=total, count=count, result=result,
                     installing=result != 117)
    if count is None:
        assert last <= len(plan.body)


class TestDownloadRequest:
    @pytest.mark.parametrize('variant, agent', [('jobhost', paths.USER_AGENT),
                                                ('jobhost-longagent', paths.LONG_AGENT[:31])])
    def test_through_the_proxy(self, wine, web, variant, agent):
        run = run_job(wine, web, Download(body=INSTALLER), variant=variant)
        check_job(run, web.recorder, total=N, count=N, result=0)
        download, = web.recorder.downloads()
        assert (download.method, download.version) == ('GET', 'HTTP/1.0')
        assert download.host.split(':')[0] == paths.DOWNLOAD_HOST
        assert (download.path, download.query) == ('/' + paths.OBJECT_PATH, '')
        assert download.user_agent == agent
        assert [r.user_agent for r in web.recorder.reports()] == [paths.REPORT_AGENT] * 2

    def test_direct(self, wine, direct_web):
        web = direct_web()
        web.download_server.download = Download(body=INSTALLER)
        run = run_jobhost(wine, variant='jobhost-loopback')
        assert_no_temp_left(wine)
        check_job(run, web.recorder, total=N, count=N, result=0)
        download, = web.recorder.downloads()
        assert download.listener == paths.LOOPBACK_DOWNLOAD_ADDRESS + ':80'
        assert ('%s %s %s' % (download.method, download.target, download.version)
                == 'GET /%s HTTP/1.0' % paths.OBJECT_PATH)
        assert download.headers['host'] == paths.LOOPBACK_DOWNLOAD_ADDRESS
        assert download.user_agent == paths.USER_AGENT


class TestFailures:
    def test_missing_agent_text(self, wine, web):
        run = run_job(wine, web, Download(body=INSTALLER), variant='jobhost-noagent')
        assert run.events == [('FINISHED', 113), ('EXIT', 113)]
        outcome, = check_reports(web.recorder, [113], downloads=[False])
        assert outcome['totalbytes'] == '0'

    def test_unreachable_host(self, wine, direct_web):
        web = direct_web(download=False)
        before = sorted(os.listdir(wine.temp_dir))
        run = run_jobhost(wine, variant='jobhost-loopback')
        assert run.events == [('FINISHED', 114), ('EXIT', 114)]
        outcome, = check_reports(web.recorder, [114], downloads=[False])
        assert outcome['totalbytes'] == '0'
        assert_no_temp_left(wine)
        assert sorted(os.listdir(wine.temp_dir)) == before

    def test_missing_temp_directory(self, wine, web):
        missing = os.path.join(wine.dir, 'no-such-dir')
        wine.set_temp_dir(paths.windows_path(missing))
        run = run_job(wine, web, Download(body=INSTALLER))
        assert run.events == [('FINISHED', 115), ('EXIT', 115)]
        outcome, = check_reports(web.recorder, [115])
        assert outcome['totalbytes'] == '0'
        assert not os.path.exists(missing)

    @pytest.mark.smoke64
    def test_reset_part_way(self, wine, web):
        # The reset comes while the job waits in a read: a reset that lands
        # on bytes not yet read ends the body quietly under Wine instead.
        gate = Gate('before the reset')
        web.download = Download(body=INSTALLER, holds=[(150000, gate)], reset_at=150000)
        job = LiveJob(wine, proxy=web.proxy_url)
        try:
            gate.wait_reached()
            wait_until(lambda: drained(web.port), what='the job to read up to the reset')
        finally:
            gate.release()
        run = job.finish()
        assert_no_temp_left(wine)
        last = check_job(run, web.recorder, total=N, result=117, installing=False)
        assert 0 < last < 150000

    def test_full_disk(self, wine, web):
        with small_drive(wine) as (letter, directory):
            wine.set_temp_dir(letter + ':\\')
            run = run_job(wine, web, Download(body=bytes(200000)))
            last = check_job(run, web.recorder, total=200000, result=118, installing=False)
            assert 0 < last <= 65536
            assert os.listdir(directory) == []


@contextlib.contextmanager
def small_drive(wine):
    """A 64 KiB tmpfs as a drive letter of the prefix: a disk that fills up.
    Yields the letter and the Unix directory."""
    directory = tempfile.mkdtemp(prefix='lv-full-disk-')
    mount = subprocess.run(['mount', '-t', 'tmpfs', '-o', 'size=64k', 'tmpfs', directory],
                           capture_output=True, text=True)
    if mount.returncode != 0:
        os.rmdir(directory)
        pytest.skip('mounting a 64 KiB tmpfs is not permitted here: ' + mount.stderr.strip())
    devices = os.path.join(wine.prefix, 'dosdevices')
    letter = next(c for c in 'tuvwxyz' if not os.path.lexists(os.path.join(devices, c + ':')))
    link = os.path.join(devices, letter + ':')
    try:
        os.symlink(directory, link)
        yield letter.upper(), directory
    finally:
        wine.restore_temp_dir()
        if os.path.lexists(link):
            os.remove(link)
        subprocess.run(['umount', directory], check=True)
        os.rmdir(directory)


def test_two_attempts_use_two_temporary_files(wine, web):
    log = os.path.join(wine.dir, 'installer-two.log')
    run = run_job(wine, web, Download(body=INSTALLER), attempts=2,
                  extra_env={'LVTEST_INSTALLER_LOG': paths.windows_path(log)})
    attempts = split_attempts(run.events)
    assert [check_attempt(a, N) for a in attempts] == [(0, N), (0, N)]
    assert attempts[0] == attempts[1]
    check_reports(web.recorder, [0, 0])
    with open(log, encoding='latin-1') as f:
        names = [line.split('|')[0] for line in f.read().splitlines()]
    assert len(names) == 2 and names[0].lower() != names[1].lower(), names
    for name in names:
        assert ntpath.dirname(name).lower() == wine.default_temp_windows.rstrip('\\').lower()
        assert re.fullmatch(r'TLV[0-9A-F]{1,4}\.TMP', ntpath.basename(name), re.I), name
        assert not os.path.exists(os.path.join(wine.temp_dir, ntpath.basename(name)))
    os.remove(log)
