import os
import shutil
import subprocess

import pytest

from harness import paths, signing
from harness.job import installer_body, run_jobhost
from harness.web import Download
from test_installer import BROWSER, Logs, assert_ran_once_quoted, page_file

# DLLs outside the system's known list, which Windows would look for beside
# the program first. (Wine's own COMCTL32 still loads a version.dll found
# there: Wine's quirk, left out.)
PLANTED = ('wininet', 'comctl32', 'iertutil', 'urlmon', 'winhttp', 'secur32', 'crypt32')


@pytest.mark.parametrize('args, code', [(['exit', '0'], 0), (['exit', '3000000000'], 3000000000),
                                        (['crash'], 0xC0000005)], ids=['0', 'large', 'crash'])
def test_the_harness_reads_exit_codes_as_windows_gives_them(wine, args, code):
    # A test that wants 0 from the downloader fails on any other code, all
    # 32 bits of it, and on a crash's exception code.
    assert wine.start_program(paths.test_program('wintool'), args).wait(60) == code


def test_the_harness_gives_up_on_a_program_that_never_ends(wine):
    process = wine.start_program(paths.test_program('wintool'), ['hang'])
    with pytest.raises(subprocess.TimeoutExpired):
        process.wait(5)
    process.kill()
    assert process.popen.poll() is not None
    with pytest.raises(RuntimeError):
        process.wait()      # killed before it could write an exit code down


def test_job_succeeds_against_the_proxy(wine, web):
    web.download = Download(body=installer_body())
    run = run_jobhost(wine, proxy=web.proxy_url)
    assert run.result == 0
    assert run.events[-2:] == [('FINISHED', 0), ('EXIT', 0)]
    assert [r.kind for r in web.recorder.all()] == ['report', 'download', 'report']
    assert wine.leftover_temp_files() == []


@pytest.mark.guest32
@pytest.mark.parametrize('program, folder', [
    ('lvdownload', 'Downloads'),
    ('lvdownload', 'My Downloads'),
    ('lvdownload-olddlls', 'Downloads'),    # as without SetDefaultDllDirectories
])
def test_planted_dlls_never_load(wine, web, tmp_path, program, folder):
    folder = tmp_path / folder
    folder.mkdir()
    downloader = folder / 'lvdownload.exe'
    shutil.copy(paths.LVDOWNLOAD if program == 'lvdownload' else paths.test_program(program),
                downloader)
    for name in PLANTED:
        shutil.copy(os.path.join(paths.WINDOWS_TESTS, 'planted', name + '.dll'), folder)
    planted_log = tmp_path / 'planted.log'
    logs = Logs(str(tmp_path))
    web.download = Download(body=installer_body())
    process = wine.start_exact(
        '"%s" "%s" "http://example.invalid/welcome"' % (paths.windows_path(downloader), BROWSER),
        proxy=web.proxy_url, extra_env=logs.env(
            # Prefer a DLL found beside the program, as Windows does for these.
            WINEDLLOVERRIDES='mscoree,mshtml=;%s=n,b' % ','.join(PLANTED),
            LVTEST_PLANTED_LOG=paths.windows_path(planted_log)))
    assert process.wait(120) == 0
    assert not planted_log.exists(), planted_log.read_text()
    requests = web.recorder.all()
    assert [r.kind for r in requests] == ['report', 'download', 'report']
    assert 'action=success' in requests[-1].query
    assert_ran_once_quoted(logs, wine.default_temp_windows + '\\')
    assert os.path.exists(page_file(wine))
    assert logs.browser_starts()
    assert wine.leftover_temp_files() == []


def test_without_wininet_each_attempt_fails_at_its_connection(wine, web):
    web.download = Download(body=installer_body())
    run = run_jobhost(wine, proxy=web.proxy_url,
                      extra_env={'WINEDLLOVERRIDES': 'mscoree,mshtml=;wininet='})
    assert run.events == [('FINISHED', 114), ('EXIT', 114)]
    assert web.recorder.all() == []     # no report can go out either


def test_without_comctl32_the_downloader_ends_at_once(wine, web):
    process = wine.start_program(paths.LVDOWNLOAD, proxy=web.proxy_url,
                         extra_env={'WINEDLLOVERRIDES': 'mscoree,mshtml=;comctl32='})
    assert process.wait(60) == 0
    assert web.recorder.all() == []
    # The single-instance mutex went with it: the next start runs.
    web.download = Download(body=installer_body())
    assert wine.start_program(paths.LVDOWNLOAD, proxy=web.proxy_url,
                      extra_env={'LVTEST_INSTALLER': '0'}).wait(60) == 0
    assert [r.kind for r in web.recorder.all()] == ['report', 'download', 'report']


@pytest.mark.smoke64
def test_signed_downloader_installs_and_closes(wine, web, tmp_path):
    program = str(tmp_path / 'lvdownload.exe')
    shutil.copy(paths.LVDOWNLOAD, program)
    signed = signing.sign(signing.make_authority(tmp_path), [program])
    assert signed.returncode == 0, signed.stderr
    web.download = Download(body=installer_body())
    process = wine.start_program(signing.signed_name(program), proxy=web.proxy_url)
    assert process.wait(60) == 0
    reports = web.recorder.reports()
    assert [r.kind for r in web.recorder.all()] == ['report', 'download', 'report']
    assert 'action=success' in reports[-1].query
    assert wine.leftover_temp_files() == []
