"""The installer step, end to end through the job host: the test installer
is served by the download server, run from the temporary file and waited
for, and its install-state key decides the attempt's result.

The helpers here are shared with test_redirect_page.py.
"""
import os
import re
import shutil
import subprocess
import tempfile

import pytest

from harness import paths
from harness.catalogue import DAMAGED, NOT_SIGNED
from harness.job import INSTALL_KEY, JobRun, altered, installer_body, parse_events
from harness.protocol import sheet_example
from harness.web import Download
from harness.wine import WineSession, wait_until

JOBHOST = paths.windows_path(paths.test_program('jobhost'))
PINNED_JOBHOST = paths.windows_path(paths.test_program('jobhost-pinned'))
SIGNER_JOBHOST = paths.windows_path(paths.test_program('jobhost-signer'))
PINNED_SIGNER_JOBHOST = paths.windows_path(paths.test_program('jobhost-pinned-signer'))
BROWSER = paths.windows_path(paths.test_program('testbrowser'))
PAGE_NAME = 'lvtmp.htm'
PAGE_HEAD = b'<META HTTP-EQUIV="REFRESH" CONTENT="0; URL='
PAGE_TAIL = b'">'
BLANK_TEMP = 'C:\\lv temp dir\\'
MARKER = 'LV-BARRIER'


class Logs:
    """Where the test installer and the test browser write down their starts."""

    def __init__(self, directory):
        self.installer = os.path.join(directory, 'installer.log')
        self.browser = os.path.join(directory, 'browser.log')

    def env(self, installer='0', **more):
        env = {'LVTEST_INSTALLER': installer,
               'LVTEST_INSTALLER_LOG': paths.windows_path(self.installer),
               'LVTEST_BROWSER_LOG': paths.windows_path(self.browser)}
        env.update(more)
        return env

    @staticmethod
    def lines(path):
        if not os.path.exists(path):
            return []
        with open(path, 'rb') as f:
            return f.read().decode('latin-1').splitlines()

    def installer_runs(self):
        """(own path, command line) of every installer start."""
        return [tuple(line.split('|', 1)) for line in self.lines(self.installer)]

    def browser_starts(self):
        """The browser's command lines, once it has started: nobody waits
        for it, so it may still be on its way when the job has finished."""
        return wait_until(lambda: self.lines(self.browser), what='the browser to start')


@pytest.fixture
def logs(tmp_path):
    return Logs(str(tmp_path))


@pytest.fixture(autouse=True)
def serve_installer(web):
    web.download = Download(body=installer_body())


def assert_installer_file_gone(wine):
    """Every attempt that runs to its end deletes its temporary file."""
    assert wine.leftover_temp_files() == []


def run_job(wine, web, logs, arguments=' "%s" "http://example.invalid/welcome"' % BROWSER,
            installer='0', jobhost=JOBHOST, **more_env):
    """Runs one attempt in the job host under the exact command line
    jobhost.exe + arguments, and checks what every finished attempt leaves."""
    with tempfile.TemporaryFile() as out:
        process = wine.start_exact('"%s"%s' % (jobhost, arguments), proxy=web.proxy_url,
                                   extra_env=logs.env(installer, **more_env), stdout=out)
        try:
            process.wait(120)
        except subprocess.TimeoutExpired:
            wine.kill_wine_processes()
            raise
        out.seek(0)
        text = out.read().decode('latin-1')
    run = JobRun(parse_events(text), process.returncode, text)
    # wintool hands on the job host's exit code, which is 0 on every path.
    assert run.returncode == 0, run.stdout
    assert run.events[-1] == ('EXIT', run.result)
    assert_installer_file_gone(wine)
    return run


def assert_install_events(run, code):
    """Progress, then the installing notice once, then the result last."""
    assert run.progress, run.events
    assert run.events[len(run.progress):] == [('INSTALLING',), ('FINISHED', code), ('EXIT', code)]


def assert_browser_not_started(wine, logs):
    """A start would have come before FINISHED; a start of our own, run to its
    end after that, must be the only line in the log."""
    wine.run(paths.test_program('testbrowser'), [MARKER],
             extra_env={'LVTEST_BROWSER_LOG': paths.windows_path(logs.browser)})
    lines = logs.lines(logs.browser)
    assert len(lines) == 1 and lines[0].endswith(MARKER), lines


def page_file(wine):
    return os.path.join(wine.temp_dir, PAGE_NAME)


def leave_stale_key(wine, state='0'):
    assert wine.reg('add', INSTALL_KEY, '/v', 'State', '/t', 'REG_DWORD', '/d', state,
                    '/f').returncode == 0


def assert_ran_once_quoted(logs, temp_windows):
    [(own, command_line)] = logs.installer_runs()
    assert re.fullmatch(re.escape(temp_windows) + r'TLV[0-9A-F]{1,4}\.tmp', own, re.I), own
    assert command_line == '"%s"' % own


# The installer's outcome ---------------------------------------------------

@pytest.mark.parametrize('installer, result', [
    ('150', 150),
    ('151', 151),
    ('152', 152),
    ('7', 7),                      # no catalogue text: passed on all the same
    ('120', 120),
    ('binary:97000000', 151),      # any 4-byte type, least significant byte first
    ('none', 122),                 # the stale key's 0 must not count
    ('key-only', 122),
    ('qword:0', 122),              # 8 bytes, even though the first 4 are a 0
    ('binary:0000', 122),          # 2 bytes are no outcome either
])
def test_outcome_comes_from_the_install_state_key(wine, web, logs, installer, result):
    leave_stale_key(wine)
    run = run_job(wine, web, logs, installer=installer)
    assert_install_events(run, result)
    assert not wine.key_exists(INSTALL_KEY)
    assert_ran_once_quoted(logs, wine.default_temp_windows + '\\')
    # A failed installation gets no redirect page.
    assert not os.path.exists(page_file(wine))


def test_key_with_a_subkey_never_keeps_an_outcome(wine, web, logs):
    # Such a key cannot be deleted on the NT line: its "State" must go all
    # the same, before the installer runs and after it has been read.
    def state_value_left():
        return wine.reg('query', INSTALL_KEY, '/v', 'State').returncode == 0

    leave_stale_key(wine)
    assert wine.reg('add', INSTALL_KEY + r'\Sub', '/f').returncode == 0
    assert_install_events(run_job(wine, web, logs, installer='none'), 122)
    assert not state_value_left()
    assert_install_events(run_job(wine, web, logs, installer='0'), 0)
    assert not state_value_left()
    assert wine.key_exists(INSTALL_KEY + r'\Sub')


def test_file_that_is_no_program_gives_119(wine, web, logs):
    web.download = Download(body=b'<html><body><h1>404 Not Found</h1></body></html>\n',
                            status=404, reason='Not Found',
                            extra_headers=['Content-Type: text/html'])
    leave_stale_key(wine)
    run = run_job(wine, web, logs)
    assert_install_events(run, 119)
    assert logs.installer_runs() == []
    # Cleared before the start was tried, and nothing wrote it again.
    assert not wine.key_exists(INSTALL_KEY)
    assert not os.path.exists(page_file(wine))


def test_installer_is_waited_for(wine, web, logs):
    # The installer stores its code only after a delay: a job that read the
    # key before the installer's process ended would find no key (122).
    run = run_job(wine, web, logs, installer='151', LVTEST_INSTALLER_DELAY_MS='2000')
    assert_install_events(run, 151)
    assert len(logs.installer_runs()) == 1
    assert not wine.key_exists(INSTALL_KEY)


def test_sheet_installer_example_is_a_working_installer(wine, web, logs, tmp_path):
    """The installer example of docs/PROTOCOL.md, built into a program of
    its own and downloaded as the installer: the attempt succeeds (without
    its value the result would be 122) and the key is gone."""
    source = tmp_path / 'sheet_installer.c'
    source.write_text('#include <windows.h>\n\nint WINAPI WinMain(HINSTANCE instance, '
                      'HINSTANCE previous, LPSTR command, int show)\n{\n'
                      + sheet_example('installer') + '\n    return 0;\n}\n')
    program = tmp_path / 'sheet_installer.exe'
    compiler = {'win32': 'i686-w64-mingw32-gcc', 'win64': 'x86_64-w64-mingw32-gcc'}[paths.WINE_BUILD]
    subprocess.run([compiler, '-Wall', '-Werror', '-mwindows', '-o', str(program), str(source),
                    '-ladvapi32'], check=True, timeout=120)
    web.download = Download(body=program.read_bytes())
    leave_stale_key(wine, '151')
    run = run_job(wine, web, logs)
    assert_install_events(run, 0)
    assert not wine.key_exists(INSTALL_KEY)


# A temporary directory with blanks -------------------------------------------

@pytest.fixture
def blank_temp(wine):
    """C:\\lv temp dir\\ as the temporary directory, with the test installer
    planted at C:\\lv.exe, where an unquoted start of C:\\lv temp dir\\TLV...
    would find a program."""
    drive_c = wine.unix_path('C:\\')
    directory = os.path.join(drive_c, 'lv temp dir')
    planted = os.path.join(drive_c, 'lv.exe')
    os.makedirs(directory, exist_ok=True)
    shutil.copy(paths.test_program('testinstaller'), planted)
    wine.set_temp_dir(BLANK_TEMP)
    yield BLANK_TEMP
    wine.restore_temp_dir()
    os.remove(planted)
    shutil.rmtree(directory)


def test_blank_in_temp_dir_runs_the_real_installer(wine, web, logs, blank_temp):
    run = run_job(wine, web, logs, installer='0')
    assert_install_events(run, 0)
    # One start only, of the downloaded file itself; the planted C:\lv.exe
    # would have logged its own path.
    assert_ran_once_quoted(logs, blank_temp)
    assert not wine.key_exists(INSTALL_KEY)
    assert logs.browser_starts() == ['"%s" "%s%s"' % (BROWSER, blank_temp, PAGE_NAME)]
    with open(page_file(wine), 'rb') as f:
        assert f.read() == PAGE_HEAD + b'http://example.invalid/welcome' + PAGE_TAIL


# A temporary folder named outside the system's code page -------------------

CYRILLIC_TEMP = 'C:\\acc\\Юрий'


@pytest.mark.parametrize('locale, code_page', [('C.UTF-8', 1252), ('ru_RU.UTF-8', 1251)])
def test_temp_dir_named_in_cyrillic(web, tmp_path, locale, code_page):
    # A Western system's ANSI text turns the folder's letters into '?': the
    # job goes by its short name. A Cyrillic system's names it exactly.
    assert locale.split('.')[0] + '.utf8' in subprocess.run(
        ['locale', '-a'], capture_output=True, text=True).stdout.split(), \
        'the locale %s is missing: run tools/setup-host' % locale
    wine = WineSession(name='cyrillic', locale=locale)
    try:
        os.makedirs(os.path.join(wine.prefix, 'drive_c', 'acc', 'Юрий'))
        wine.set_temp_dir(CYRILLIC_TEMP)
        result = wine.run(paths.test_program('wintool'), ['temp-path'])
        shown_code_page, _, wide, short = result.stdout.encode('latin-1').splitlines()
        assert (int(shown_code_page), wide.decode()) == (code_page, CYRILLIC_TEMP + '\\')
        folder = (short.decode() if code_page == 1252 else wide.decode())
        assert re.fullmatch(r'C:\\acc\\[ -~]+\\' if code_page == 1252 else re.escape(
            CYRILLIC_TEMP) + r'\\', folder), folder
        logs = Logs(str(tmp_path))
        run = run_job(wine, web, logs)
        assert_install_events(run, 0)
        # The logs hold what the programs saw, in the system's code page;
        # a program asked for its own path names the folder in full.
        in_ansi = folder.encode('cp%d' % code_page).decode('latin-1')
        [(_, command_line)] = logs.installer_runs()
        assert re.fullmatch('"%s%s"' % (re.escape(in_ansi), r'TLV[0-9A-F]{1,4}\.tmp'),
                            command_line, re.I), command_line
        assert logs.browser_starts() == ['"%s" %s%s' % (BROWSER, in_ansi, PAGE_NAME)]
        assert sorted(os.listdir(wine.temp_dir)) == [PAGE_NAME]
    finally:
        wine.close()


# A build that pins the installer's digest ----------------------------------

@pytest.mark.parametrize('case', ['right', 'altered', 'short', 'empty', 'error page'])
def test_pinned_build_runs_nothing_but_the_pinned_installer(wine, web, logs, case):
    body = installer_body()
    web.download = {
        'right': Download(body=body),
        'altered': Download(body=altered(body)),
        # Ends at half its announced length: interrupted, not damaged.
        'short': Download(body=body[:len(body) // 2], content_length=str(len(body))),
        'empty': Download(body=b''),
        'error page': Download(body=b'<html><body><h1>404 Not Found</h1></body></html>',
                               status=404, reason='Not Found'),
    }[case]
    run = run_job(wine, web, logs, jobhost=PINNED_JOBHOST)
    served = len(web.download.body)
    assert run.progress[-1:] == ([(served, int(web.download.content_length))]
                                 if case == 'short' else [(served, served)] if served else [])
    result = web.recorder.reports()[-1]
    assert 'totalbytes=%d' % served in result.query
    if case == 'right':
        assert_install_events(run, 0)
        assert_ran_once_quoted(logs, wine.default_temp_windows + '\\')
        assert os.path.exists(page_file(wine))
        assert '&action=success&' in result.target
        return
    assert_refused(wine, logs, run, result, 117 if case == 'short' else DAMAGED)


def assert_refused(wine, logs, run, result_report, code):
    """Never run, not even announced (the installing notice is for a file
    that is about to run), and reported with the code; run_job has checked
    that the file is gone."""
    assert run.events[len(run.progress):] == [('FINISHED', code), ('EXIT', code)]
    assert '&action=failure&error=%d&' % code in result_report.target
    assert logs.installer_runs() == []
    assert not wine.key_exists(INSTALL_KEY)
    assert not os.path.exists(page_file(wine))
    assert_browser_not_started(wine, logs)


@pytest.mark.parametrize('case', ['altered', 'signed by another name'])
def test_default_build_runs_an_altered_or_unsigned_installer(wine, web, logs, signed_installers,
                                                             case):
    # The pin and the publisher check are build options: without them any
    # body is run, as always.
    web.download = Download(body={'altered': altered(installer_body()),
                                  'signed by another name': signed_installers['other']}[case])
    run_job(wine, web, logs)
    assert len(logs.installer_runs()) == 1


# A build with a publisher check ----------------------------------------------

@pytest.mark.parametrize('case', ['vendor', 'unsigned', 'tampered', 'other', 'longer name'])
def test_signer_build_runs_nothing_but_the_vendors_signed_installer(wine, web, logs,
                                                                    signed_installers, case):
    body = signed_installers[case]
    web.download = Download(body=body)
    run = run_job(wine, web, logs, jobhost=SIGNER_JOBHOST)
    assert run.progress[-1] == (len(body), len(body))
    result = web.recorder.reports()[-1]
    assert 'totalbytes=%d' % len(body) in result.query
    if case == 'vendor':
        assert_install_events(run, 0)
        assert_ran_once_quoted(logs, wine.default_temp_windows + '\\')
        assert os.path.exists(page_file(wine))
        assert '&action=success&' in result.target
        return
    assert_refused(wine, logs, run, result, NOT_SIGNED)


def test_signer_build_where_wintrust_is_missing_runs_nothing(wine, web, logs, signed_installers):
    web.download = Download(body=signed_installers['vendor'])
    run = run_job(wine, web, logs, jobhost=SIGNER_JOBHOST,
                  WINEDLLOVERRIDES='mscoree,mshtml=;wintrust=')
    assert_refused(wine, logs, run, web.recorder.reports()[-1], NOT_SIGNED)


@pytest.mark.parametrize('case, code', [('unsigned', NOT_SIGNED), ('vendor', DAMAGED)])
def test_pinned_signer_build_needs_both_the_pin_and_the_signer(wine, web, logs,
                                                               signed_installers, case, code):
    # Pinned to the unsigned test installer: its bytes match the pin but it
    # is not signed; the vendor's signed copy is signed but differs.
    web.download = Download(body=signed_installers[case])
    run = run_job(wine, web, logs, jobhost=PINNED_SIGNER_JOBHOST)
    assert_refused(wine, logs, run, web.recorder.reports()[-1], code)
