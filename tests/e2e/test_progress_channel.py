"""The progress channel under Wine: what other processes see through
lvprogress and wintool while the job host downloads a body that stops at
chosen offsets."""
import contextlib
import subprocess

import pytest

from harness import paths
from harness.job import installer_body, run_jobhost
from harness.web import Download, Gate
from harness.wine import wait_until
from test_job_support import (CHUNK, FALLBACK_TOTAL, PROGRESS_MAPPING, PROGRESS_MUTEX, Drip,
                              LiveJob, assert_no_temp_left, check_attempt, check_job,
                              check_reports, chunks_before, read_cell, wintool_holding)

INSTALLER = installer_body()
N = len(INSTALLER)

# body length, Content-Length, total on the events, [(stop, cell there)],
# cell after the whole body. The first stop lies inside the first chunk.
DRIPS = {
    'length given': (1000000, 'auto', 1000000,
                     [(20000, 0), (CHUNK + 100, 3), (10 * CHUNK + 100, 32),
                      (20 * CHUNK + 100, 65), (30 * CHUNK + 100, 98)], 0),
    'no length, 2 MiB': (2097152, None, FALLBACK_TOTAL,
                         [(20000, 0), (CHUNK + 100, 0), (32 * CHUNK + 100, 25),
                          (63 * CHUNK + 100, 49)], 50),
    'no length, past 4 MiB': (5000000, None, FALLBACK_TOTAL,
                              [(20000, 0), (127 * CHUNK + 100, 99), (128 * CHUNK + 100, 0),
                               (140 * CHUNK + 100, 0)], 0),
    # 2^32 reads as 0 in 32 bits, while Wine reads such a body to its end.
    'length worth 0': (300000, '4294967296', 0,
                       [(20000, 0), (CHUNK + 100, 0), (8 * CHUNK + 100, 0)], 0),
    # Ends at half its length, interrupted: the cell keeps the last
    # percentage stored.
    'ends early': (500000, '1000000', 1000000, [(20000, 0), (10 * CHUNK + 100, 32)], 50),
}


def progress(events):
    return [e[1:] for e in events if e[0] == 'PROGRESS']


@pytest.mark.parametrize('case', list(DRIPS))
def test_cell_during_a_drip(wine, web, case):
    size, length, total, stops, final = DRIPS[case]
    assert read_cell(wine) == (1, None)
    drip = Drip(bytes(size), [stop for stop, _ in stops], length)
    web.download = drip.plan
    # The follower opens and closes the channel for every look, so it keeps
    # nothing alive and ends once the channel is gone.
    follower = wine.start(paths.LVPROGRESS, ['--follow', '--timeout', '120'],
                          stdout=subprocess.PIPE, text=True)
    job = LiveJob(wine, proxy=web.proxy_url)
    with contextlib.ExitStack() as holders:
        for (stop, cell), _ in zip(stops, drip.each_stop(web)):
            events = job.wait_for(lambda es: len(progress(es)) == stop // CHUNK,
                                  'the chunks before %d' % stop)
            assert progress(events)[-1:] == ([(chunks_before(stop), total)] if stop > CHUNK
                                              else [])
            assert read_cell(wine) == (0, cell), 'at %d' % stop
            if stop == stops[0][0]:
                # The transfer closes its handles at its end; a reader that
                # holds the mapping keeps the objects, and the last value
                # stored, alive after it.
                holders.enter_context(wintool_holding(wine, 'hold-mapping', PROGRESS_MAPPING))
        run = job.finish()
        assert read_cell(wine) == (0, final)
    assert read_cell(wine) == (1, None)
    result = 117 if case == 'ends early' else 119
    check_job(run, web.recorder, total=total, count=size, result=result,
              installing=result == 119)
    assert_no_temp_left(wine)

    out, _ = follower.communicate(timeout=60)
    assert follower.returncode == 0
    seen = [int(line) for line in out.split()]
    assert seen[0] == 0 and max(seen) <= 99 and seen[-1] == final, seen
    rising = seen[:-1] if final == 0 and len(seen) > 1 else seen
    assert rising == sorted(set(rising)), seen
    # Each stop's value is among what the follower saw, in order; it prints
    # changes only, so a value repeated at the next stop shows once.
    cells = [cell for i, (_, cell) in enumerate(stops) if i == 0 or cell != stops[i - 1][1]]
    looks = iter(seen)
    assert all(any(cell == value for value in looks) for cell in cells), (seen, stops)


@pytest.mark.parametrize('arguments', [
    ['--follow', '--interval', '-1'], ['--follow', '--interval', '0'],
    ['--follow', '--interval', '60001'], ['--follow', '--interval', '5x'],
    ['--follow', '--timeout', '-1'], ['--follow', '--timeout', 'soon'],
    ['--follow', '--timeout'], ['--follow', '--follow'],
    ['--interval', '10'],               # timing without --follow
    ['--once'],
], ids=' '.join)
def test_reader_refuses_bad_arguments(wine, arguments):
    result = wine.run(paths.LVPROGRESS, arguments, timeout=30)
    assert result.returncode == 2 and result.stderr.startswith('usage:'), arguments


def test_reader_takes_the_bounds_of_its_options(wine):
    for arguments in (['--follow', '--interval', '60000', '--timeout', '0'],
                      ['--follow', '--interval', '1', '--timeout', '0.5']):
        result = wine.run(paths.LVPROGRESS, arguments)
        assert (result.returncode, result.stderr.strip()) == (1, 'no download in progress')


def test_cell_after_an_empty_body(wine, web):
    # Without a length the job waits in its first (and only) read, with the
    # channel open and its 0 stored, until the server closes.
    held = Gate('before the body')
    web.download = Download(body=b'', content_length=None, holds=[(0, held)])
    job = LiveJob(wine, proxy=web.proxy_url)
    try:
        held.wait_reached()
        wait_until(lambda: read_cell(wine) == (0, 0), what='the channel')
        with wintool_holding(wine, 'hold-mapping', PROGRESS_MAPPING):
            held.release()
            run = job.finish()
            assert read_cell(wine) == (0, 0)
    finally:
        held.release()
    check_job(run, web.recorder, total=FALLBACK_TOTAL, count=0, result=119, installing=True)


def test_channel_is_gone_once_the_transfer_has_ended(wine, web):
    # The transfer lets go of the channel before the installer step; the
    # installer takes its time, so the job host is still there for the look.
    web.download = Download(body=INSTALLER)
    job = LiveJob(wine, proxy=web.proxy_url, extra_env={'LVTEST_INSTALLER_DELAY_MS': '3000'})
    job.wait_for(lambda events: ('INSTALLING',) in events, 'INSTALLING')
    assert read_cell(wine) == (1, None)
    check_job(job.finish(), web.recorder, total=N, count=N, result=0, installing=True)
    assert_no_temp_left(wine)


def test_channel_is_off_when_an_event_holds_its_mutex_name(wine, web):
    holder = wine.start(paths.test_program('wintool'), ['hold-event', PROGRESS_MUTEX, '300'],
                        stdout=subprocess.PIPE, text=True)
    assert holder.stdout.readline().strip() == 'ready'
    try:
        drip = Drip(INSTALLER, [CHUNK + 100])
        web.download = drip.plan
        job = LiveJob(wine, proxy=web.proxy_url)
        for _ in drip.each_stop(web):
            job.wait_progress(CHUNK)
            assert read_cell(wine) == (1, None)
        held = job.finish()
    finally:
        holder.kill()
        holder.wait(30)
    assert_no_temp_left(wine)
    web.download = Download(body=INSTALLER)
    reference = run_jobhost(wine, proxy=web.proxy_url)
    assert held.events == reference.events
    assert check_attempt(held.events, N) == (0, N)
    check_reports(web.recorder, [0, 0])


class TestReaderHoldingTheMutex:
    def test_holds_the_transfer_at_the_next_change(self, wine, web):
        # Without a length the first chunk stays at 0 % and the second makes
        # 1 %: the transfer passes the first and stops at the second.
        drip = Drip(INSTALLER, [20000], content_length=None)
        web.download = drip.plan
        job = LiveJob(wine, proxy=web.proxy_url)
        with contextlib.ExitStack() as holders:
            for _ in drip.each_stop(web):
                assert read_cell(wine) == (0, 0)
                holder = holders.enter_context(wintool_holding(wine, 'wait-mutex',
                                                               PROGRESS_MUTEX))
            job.wait_progress(2 * CHUNK)
            # lvprogress gives up on the mutex after a second and reads
            # anyway: ample time for a transfer that did not wait to finish.
            assert read_cell(wine) == (0, 0)
            assert job.events == [('PROGRESS', CHUNK, FALLBACK_TOTAL),
                                  ('PROGRESS', 2 * CHUNK, FALLBACK_TOTAL)]
            assert holder.poll() is None
        run = job.finish()
        check_job(run, web.recorder, total=FALLBACK_TOTAL, count=N, result=0, installing=True)
        assert_no_temp_left(wine)

    def test_passes_chunks_that_keep_the_percentage(self, wine, web):
        # 1 % of 10,000,000 bytes takes about three chunks: the 4th chunk
        # stores 1 %, the 5th and 6th keep it and store nothing, the 7th
        # makes 2 % and waits for the mutex.
        size = 10000000
        drip = Drip(bytes(size), [4 * CHUNK + 100])
        web.download = drip.plan
        job = LiveJob(wine, proxy=web.proxy_url)
        with contextlib.ExitStack() as holders:
            for _ in drip.each_stop(web):
                assert read_cell(wine) == (0, 1)
                holder = holders.enter_context(wintool_holding(wine, 'wait-mutex',
                                                               PROGRESS_MUTEX))
            job.wait_progress(7 * CHUNK)
            assert read_cell(wine) == (0, 1)    # a second's look at a held transfer
            assert progress(job.events)[-1] == (7 * CHUNK, size)
            assert holder.poll() is None
        run = job.finish()
        check_job(run, web.recorder, total=size, count=size, result=119, installing=True)
        assert_no_temp_left(wine)

    def test_zero_total_never_waits(self, wine, web):
        # Nothing is stored after the opening 0, so the mutex is never asked
        # for again and the whole attempt ends while the reader holds it.
        drip = Drip(INSTALLER, [20000], content_length='4294967296')
        web.download = drip.plan
        job = LiveJob(wine, proxy=web.proxy_url)
        with contextlib.ExitStack() as holders:
            for _ in drip.each_stop(web):
                holder = holders.enter_context(wintool_holding(wine, 'wait-mutex',
                                                               PROGRESS_MUTEX))
            run = job.finish()
            assert holder.poll() is None
        check_job(run, web.recorder, total=0, count=N, result=0, installing=True)
        assert_no_temp_left(wine)
