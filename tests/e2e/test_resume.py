"""A build that resumes downloads (RESUME=ON), in the job host and the real
dialog, against Debian's nginx serving the installer from disk (its ranges,
ETag and Last-Modified are the real ones) behind the tests' proxy, which
cuts a body where a test says: Try Again asks only for the missing bytes,
and the file that runs is never made of two files."""
import random

import pytest

from harness import paths, ui
from harness.job import installer_body, run_jobhost
from harness.web import Download, FileOrigin, Gate, ReportAnswer
from test_dialog import ERROR_VIEW, INTERRUPTED, check_error_view, in_view, wait_state
from test_installer import Logs
from test_job_support import (CHUNK, LiveJob, assert_no_temp_left, report_fields,
                              split_attempts)

JOBHOST = 'jobhost-resume'
PINNED_JOBHOST = 'jobhost-pinned-resume'
SIZE = 1000000


@pytest.fixture
def origin(tmp_path):
    with FileOrigin(str(tmp_path / 'origin')) as server:
        yield server


@pytest.fixture
def logs(tmp_path):
    return Logs(str(tmp_path))


def installer_of(size, seed):
    """The test installer, padded to `size` bytes with bytes of its own: two
    seeds give two files that only a splice could mix."""
    body = installer_body()
    return body + random.Random(seed).randbytes(size - len(body))


def ran(tmp_path):
    """Where the test installer leaves a copy of itself, as it ran."""
    return str(tmp_path / 'ran.exe')


def cut_plans(origin, cuts):
    """A download through the proxy to the origin per attempt, each cut
    after that many body bytes (None: whole)."""
    return [Download(origin=origin.address, close_at=cut) for cut in cuts]


def run_attempts(wine, web, origin, logs, tmp_path, cuts, variant=JOBHOST):
    web.queue_download(*cut_plans(origin, cuts))
    run = run_jobhost(wine, proxy=web.proxy_url, variant=variant, attempts=len(cuts),
                      extra_env=logs.env(LVTEST_INSTALLER_COPY=paths.windows_path(ran(tmp_path))))
    assert_no_temp_left(wine)
    return split_attempts(run.events)


def outcome(attempt):
    """(result, [(bytes, total) of every PROGRESS])."""
    return attempt[-2][1], [e[1:] for e in attempt if e[0] == 'PROGRESS']


def check_resumed(attempt, kept, whole):
    """A continued attempt counts from the kept share against the whole
    file, a chunk at a time, to its end, and installs."""
    result, progress = outcome(attempt)
    counts = [kept] + [count for count, _ in progress]
    assert all(0 < b - a <= CHUNK for a, b in zip(counts, counts[1:])), counts
    assert {total for _, total in progress} == {whole}
    assert (result, counts[-1], ('INSTALLING',) in attempt) == (0, whole, True)


def results(web):
    return [(f['action'], f['error'], int(f['totalbytes']))
            for f in map(report_fields, web.recorder.reports()[1::2])]


def test_try_again_fetches_only_the_missing_bytes(wine, web, origin, logs, tmp_path):
    body = installer_of(SIZE, 1)
    origin.put(paths.OBJECT_PATH, body)
    cut = SIZE * 4 // 5 + 123
    first, second = run_attempts(wine, web, origin, logs, tmp_path, [cut, None])
    result, progress = outcome(first)
    assert (result, progress[-1]) == (117, (cut, SIZE))
    check_resumed(second, cut, SIZE)
    with open(ran(tmp_path), 'rb') as f:
        assert f.read() == body
    whole, rest = origin.answers()
    assert (whole.status, whole.bytes, whole.range) == (200, SIZE, '')
    assert (rest.status, rest.bytes, rest.range) == (206, SIZE - cut, 'bytes=%d-' % cut)
    assert rest.if_range.startswith('"')   # nginx's strong ETag
    # The result report counts the file at the attempt's end.
    assert results(web) == [('failure', '117', cut), ('success', '', SIZE)]


def test_a_cut_in_the_resumed_part_too_and_a_third_attempt(wine, web, origin, logs, tmp_path):
    body = installer_of(SIZE, 2)
    origin.put(paths.OBJECT_PATH, body)
    cuts = [300007, 200011, None]
    first, second, third = run_attempts(wine, web, origin, logs, tmp_path, cuts)
    assert [outcome(a)[0] for a in (first, second)] == [117, 117]
    # The 206 that stopped short kept what it brought.
    assert outcome(second)[1][-1] == (500018, SIZE)
    check_resumed(third, 500018, SIZE)
    with open(ran(tmp_path), 'rb') as f:
        assert f.read() == body
    assert [(a.status, a.range) for a in origin.answers()] == [
        (200, ''), (206, 'bytes=300007-'), (206, 'bytes=500018-')]


def test_a_file_replaced_on_the_server_comes_whole(wine, web, origin, logs, tmp_path):
    old, new = installer_of(SIZE, 3), installer_of(SIZE, 4)
    origin.put(paths.OBJECT_PATH, old, mtime=1700000000)
    # The second attempt's start report waits until the file is replaced:
    # same size, a later modification time, another ETag.
    replaced = Gate('file replaced')
    web.queue_report_answer(ReportAnswer(), ReportAnswer(), ReportAnswer(hold=replaced))
    web.queue_download(*cut_plans(origin, [SIZE // 2 + 5, None]))
    job = LiveJob(wine, proxy=web.proxy_url, variant=JOBHOST, attempts=2,
                  extra_env=logs.env(LVTEST_INSTALLER_COPY=paths.windows_path(ran(tmp_path))))
    try:
        job.wait_for(lambda events: ('FINISHED', 117) in events, 'the first attempt to break off')
        origin.put(paths.OBJECT_PATH, new, mtime=1700000100)
    finally:
        replaced.release()
    first, second = split_attempts(job.finish().events)
    assert outcome(first)[0] == 117
    assert outcome(second)[0] == 0 and outcome(second)[1][0][0] <= CHUNK
    with open(ran(tmp_path), 'rb') as f:
        assert f.read() == new
    second_answer = origin.answers()[1]
    assert (second_answer.status, second_answer.bytes, second_answer.range) == (
        200, SIZE, 'bytes=%d-' % (SIZE // 2 + 5))
    assert_no_temp_left(wine)


@pytest.mark.parametrize('case', ['ranges ignored', 'no validator'])
def test_without_ranges_or_a_validator_the_whole_file_again(wine, web, tmp_path, logs, case):
    body = installer_of(SIZE, 5)
    cut = SIZE // 3 + 1
    if case == 'ranges ignored':
        with FileOrigin(str(tmp_path / 'origin'), settings='max_ranges 0;') as origin:
            origin.put(paths.OBJECT_PATH, body)
            attempts = run_attempts(wine, web, origin, logs, tmp_path, [cut, None])
            # Asked for the rest, answered with the whole: a new file.
            assert [(a.status, a.bytes, a.range) for a in origin.answers()] == [
                (200, SIZE, ''), (200, SIZE, 'bytes=%d-' % cut)]
    else:
        # The tests' own server sends neither an ETag nor a Last-Modified:
        # nothing is kept, and nothing is asked for.
        web.queue_download(Download(body=body, close_at=cut), Download(body=body))
        attempts = split_attempts(run_jobhost(
            wine, proxy=web.proxy_url, variant=JOBHOST, attempts=2,
            extra_env=logs.env(LVTEST_INSTALLER_COPY=paths.windows_path(ran(tmp_path)))).events)
        assert ['range' in d.headers for d in web.recorder.downloads()] == [False, False]
        assert_no_temp_left(wine)
    assert [outcome(a)[0] for a in attempts] == [117, 0]
    assert outcome(attempts[1])[1][0][0] <= CHUNK
    with open(ran(tmp_path), 'rb') as f:
        assert f.read() == body


def test_an_answer_that_fits_nothing_ends_in_114_and_starts_clean(wine, web, origin, logs,
                                                                 tmp_path):
    body = installer_of(SIZE, 6)
    origin.put(paths.OBJECT_PATH, body)
    web.queue_download(Download(origin=origin.address, close_at=SIZE // 4),
                       Download(status=416, reason='Range Not Satisfiable'),
                       Download(origin=origin.address))
    run = run_jobhost(wine, proxy=web.proxy_url, variant=JOBHOST, attempts=3,
                      extra_env=logs.env())
    assert_no_temp_left(wine)
    assert [outcome(a)[0] for a in split_attempts(run.events)] == [117, 114, 0]
    # The 416 deleted the kept file: the third attempt asks for nothing.
    assert ['range' in d.headers for d in web.recorder.downloads()] == [False, True, False]
    assert results(web) == [('failure', '117', SIZE // 4), ('failure', '114', 0),
                            ('success', '', SIZE)]


def test_a_stalled_body_breaks_off_within_a_minute_and_resumes(wine, web, origin, logs,
                                                               tmp_path):
    body = installer_of(SIZE, 7)
    origin.put(paths.OBJECT_PATH, body)
    stalled = Gate('stalled for good')
    web.queue_download(Download(origin=origin.address, holds=[(SIZE // 2 + 9, stalled)]),
                       Download(origin=origin.address))
    try:
        run = run_jobhost(wine, proxy=web.proxy_url, variant=JOBHOST, attempts=2,
                          extra_env=logs.env(), timeout=150)
    finally:
        stalled.release()
    first, second = split_attempts(run.events)
    assert outcome(first)[0] == 117
    kept = outcome(first)[1][-1][0]
    check_resumed(second, kept, SIZE)
    assert [(a.status, a.range) for a in origin.answers()][1] == (206, 'bytes=%d-' % kept)


@pytest.mark.parametrize('case', ['resumed', 'kept part altered'])
def test_pinned_build_checks_the_whole_file(wine, web, origin, logs, tmp_path, case):
    body = installer_body()     # what the build pins
    origin.put(paths.OBJECT_PATH, body)
    cut = len(body) * 4 // 5
    altered = Gate('kept part altered')
    web.queue_report_answer(ReportAnswer(), ReportAnswer(), ReportAnswer(hold=altered))
    web.queue_download(*cut_plans(origin, [cut, None]))
    job = LiveJob(wine, proxy=web.proxy_url, variant=PINNED_JOBHOST, attempts=2,
                  extra_env=logs.env())
    try:
        job.wait_for(lambda events: ('FINISHED', 117) in events, 'the first attempt to break off')
        if case == 'kept part altered':
            kept, = wine.leftover_temp_files()
            with open(kept, 'r+b') as f:
                f.seek(cut // 2)
                byte = f.read(1)
                f.seek(cut // 2)
                f.write(bytes([byte[0] ^ 0xFF]))
    finally:
        altered.release()
    first, second = split_attempts(job.finish().events)
    assert outcome(first)[0] == 117
    assert origin.answers()[1].status == 206
    if case == 'resumed':
        check_resumed(second, cut, len(body))
        assert len(logs.installer_runs()) == 1
    else:
        assert outcome(second)[0] == 124 and ('INSTALLING',) not in second
        assert logs.installer_runs() == []
    assert_no_temp_left(wine)


@pytest.mark.parametrize('how', ['Cancel', 'the window closed'])
def test_ending_after_a_break_leaves_no_file(wine, web, origin, logs, how):
    origin.put(paths.OBJECT_PATH, installer_of(SIZE, 8))
    web.queue_download(*cut_plans(origin, [SIZE // 2]))
    process = wine.start_program(paths.test_program('lvdownload-resume'), proxy=web.proxy_url,
                         extra_env=logs.env())
    check_error_view(wait_state(wine, in_view(ERROR_VIEW), 'the error view'), INTERRUPTED)
    assert len(wine.leftover_temp_files()) == 1      # kept for Try Again
    if how == 'Cancel':
        assert ui.click(wine, ui.IDCANCEL)
    else:
        assert ui.close(wine)
    assert process.wait(60) == 0
    assert wine.leftover_temp_files() == []


def test_try_again_in_the_dialog_resumes(wine, web, origin, logs, tmp_path):
    body = installer_of(SIZE, 9)
    origin.put(paths.OBJECT_PATH, body)
    web.queue_download(*cut_plans(origin, [SIZE * 4 // 5, None]))
    process = wine.start_program(paths.test_program('lvdownload-resume'), proxy=web.proxy_url,
                         extra_env=logs.env(
                             LVTEST_INSTALLER_COPY=paths.windows_path(ran(tmp_path))))
    check_error_view(wait_state(wine, in_view(ERROR_VIEW), 'the error view'), INTERRUPTED)
    # The bar stays at the kept share.
    assert ui.state(wine)['progress'] == 80
    assert ui.click(wine, ui.IDOK)
    assert process.wait(60) == 0
    with open(ran(tmp_path), 'rb') as f:
        assert f.read() == body
    assert [a.status for a in origin.answers()] == [200, 206]
    assert wine.leftover_temp_files() == []

