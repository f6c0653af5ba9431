"""The real downloader under each Windows version that Wine can pretend to
be: a success (the window closes itself) and an interrupted download (the
error view, then Cancel), each with exit code 0, and the reports' operating-
system fields against what GetVersionExA says in the same mode."""
import pytest

from harness import paths, ui
from harness.job import INSTALL_KEY, installer_body
from harness.protocol import os_fields, received_seconds, result_url, start_url
from harness.web import Download, Gate, drained
from harness.wine import MODES_OF_32_BIT_PROGRAMS, wait_until
from test_job_support import CHUNK, assert_no_temp_left
from test_reports import current_os

# win98 is of the consumer line; the rest are NT. Windows 8.1 and 10 tell
# their own versions only to programs whose manifest names them (a program
# without one reads 6.2 in both modes): the downloader's does, and so does
# the helper that reads the version here.
VERSIONS = {
    'win98': '&osversion=4.10&os=win',
    'win2k': '&osversion=5.0&os=nt',
    'winxp': '&osversion=5.1&os=nt',
    'win7': '&osversion=6.1&os=nt',
    'win81': '&osversion=6.3&os=nt',
    'win10': '&osversion=10.0&os=nt',
}
INTERRUPTED = 117
INTERRUPTED_TEXT = ('Download interrupted. Please check your Internet connection and '
                    'try again.')
DOWNLOAD_VIEW = {ui.IDC_PROGRESS, ui.IDC_DOWNLOAD_TEXT, ui.IDC_PROMO_TEXT, ui.IDC_LOGO}


def error_view(wine):
    state = ui.state(wine)
    return state if state is not None and {ui.IDOK, ui.IDCANCEL} <= state.visible_ids() else None


def held_download(wine, web, offset, reset=False):
    """Starts the downloader on a download held after `offset` bytes; once
    the job has read all that was sent, checks the download view and lets
    the download go on (or reset, while the job waits in its read)."""
    gate = Gate('held download')
    web.download = Download(body=installer_body(), holds=[(offset, gate)],
                            reset_at=offset if reset else None)
    process = wine.start_program(paths.LVDOWNLOAD, proxy=web.proxy_url,
                         extra_env={'LVTEST_INSTALLER': '0'})
    try:
        gate.wait_reached()
        wait_until(lambda: drained(web.port), what='the job to read up to the hold')
        state = ui.state(wine)
        assert state is not None and state.visible_ids() == DOWNLOAD_VIEW
    finally:
        gate.release()
    return process


@pytest.mark.parametrize('version', [
    pytest.param(v, marks=pytest.mark.guest32) if v in MODES_OF_32_BIT_PROGRAMS else v
    for v in VERSIONS])
def test_success_and_interrupted_download(wine, web, windows_version, version):
    windows_version(version)
    os_version = current_os(wine)
    assert os_fields(os_version) == VERSIONS[version]
    size = len(installer_body())

    process = held_download(wine, web, CHUNK + 1000)
    assert ui.wait_gone(wine)
    assert process.wait(60) == 0
    assert not wine.key_exists(INSTALL_KEY)

    process = held_download(wine, web, 3 * CHUNK + 1000, reset=True)
    state = wait_until(lambda: error_view(wine), what='the error view')
    assert state.message == INTERRUPTED_TEXT
    assert ui.click(wine, ui.IDCANCEL)
    assert ui.wait_gone(wine)
    assert process.wait(60) == 0
    assert_no_temp_left(wine)

    requests = web.recorder.all()
    assert [r.kind for r in requests] == ['report', 'download', 'report'] * 2
    starts, results = requests[0::3], requests[2::3]
    assert [r.target for r in starts] == [start_url(os_version)] * 2
    assert [r.target for r in results] == [
        result_url(os_version, 0, size, received_seconds(results[0])),
        result_url(os_version, INTERRUPTED, 3 * CHUNK, received_seconds(results[1]))]
