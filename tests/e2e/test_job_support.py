"""Helpers shared by the download-job and progress-channel tests (no tests
here): event-sequence checks, report fields, background job hosts, drips
that stop the body at chosen offsets, and readers of the progress channel."""
import contextlib
import subprocess
import threading
import urllib.parse

from harness import paths
from harness.job import JobRun, parse_events, run_jobhost, start_jobhost
from harness.web import Download, Gate, drained
from harness.wine import wait_until

CHUNK = 32768                 # the transfer buffer
FALLBACK_TOTAL = 4194304      # lParam when there is no usable Content-Length
PROGRESS_MUTEX = 'Lumenvast Download Progress Mutex'
PROGRESS_MAPPING = 'Lumenvast Download File Mapping'


def assert_no_temp_left(wine, *directories):
    """No TLV*.TMP in the default, the current or any given temp directory."""
    for directory in {wine.default_temp_dir, wine.temp_dir, *directories}:
        assert wine.leftover_temp_files(directory) == [], directory


def run_job(wine, web, plan=None, **options):
    """One job host run through the proxy; nothing may be left behind."""
    if plan is not None:
        web.download = plan
    run = run_jobhost(wine, proxy=web.proxy_url, **options)
    assert_no_temp_left(wine)
    return run


def split_attempts(events):
    """The events of each attempt, each list ending with its EXIT."""
    attempts, current = [], []
    for event in events:
        current.append(event)
        if event[0] == 'EXIT':
            attempts.append(current)
            current = []
    assert current == [], 'events after the last EXIT: %r' % current
    return attempts


def check_attempt(events, total=None):
    """Checks one attempt's events: PROGRESS only, one per chunk (growing by
    1 to 32,768 bytes each), all with the same total; then INSTALLING at
    most once; then FINISHED exactly once and last, its code being the
    thread's exit code. Returns (result, last byte count)."""
    kinds = [e[0] for e in events]
    assert kinds.count('FINISHED') == 1 and kinds[-2:] == ['FINISHED', 'EXIT'], events
    code = events[-2][1]
    assert events[-1] == ('EXIT', code)
    progress = [e for e in events if e[0] == 'PROGRESS']
    assert kinds[:len(progress)] == ['PROGRESS'] * len(progress), events
    assert kinds[len(progress):-2] in ([], ['INSTALLING']), events
    counts = [0] + [p[1] for p in progress]
    steps = [b - a for a, b in zip(counts, counts[1:])]
    assert all(0 < step <= CHUNK for step in steps), counts
    totals = {p[2] for p in progress}
    assert len(totals) <= 1, totals
    if total is not None and progress:
        assert totals == {total}
    return code, counts[-1]


def report_fields(request):
    return dict(urllib.parse.parse_qsl(request.query, keep_blank_values=True))


def check_reports(recorder, results, downloads=None):
    """Each attempt sends a start report and, after its download (if any),
    a result report carrying its code; returns the result reports' fields."""
    requests = recorder.all()
    kinds = [r.kind for r in requests]
    expected = []
    for i, _ in enumerate(results):
        got_download = downloads is None or downloads[i]
        expected += ['report', 'download', 'report'] if got_download else ['report', 'report']
    assert kinds == expected, kinds
    reports = [report_fields(r) for r in requests if r.kind == 'report']
    assert [f['action'] for f in reports[0::2]] == ['update'] * len(results)
    outcomes = reports[1::2]
    for fields, code in zip(outcomes, results):
        if code == 0:
            assert (fields['action'], fields['error']) == ('success', '')
        else:
            assert (fields['action'], fields['error']) == ('failure', str(code))
    return outcomes


def check_job(run, recorder, total=None, count=None, result=None, installing=None):
    """One attempt: event grammar, result, byte count, and a result report
    that carries both. Returns the last byte count."""
    code, last = check_attempt(run.events, total)
    if result is not None:
        assert code == result, run.events
    if count is not None:
        assert last == count, run.events
    if installing is not None:
        assert (('INSTALLING',) in run.events) == installing, run.events
    outcome, = check_reports(recorder, [code])
    assert outcome['totalbytes'] == str(last)
    return last


class LiveJob:
    """A job host running in the background; its events are collected as
    the lines arrive."""

    def __init__(self, wine, proxy=None, variant='jobhost', attempts=1, extra_env=None):
        self.attempts = attempts
        self.process = start_jobhost(wine, proxy=proxy, variant=variant, attempts=attempts,
                                     extra_env=extra_env)
        self._text = ''
        self._changed = threading.Condition()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.process.stdout:
            with self._changed:
                self._text += line
                self._changed.notify_all()

    @property
    def events(self):
        with self._changed:
            return parse_events(self._text)

    def wait_for(self, predicate, what, timeout=60):
        with self._changed:
            if not self._changed.wait_for(lambda: predicate(parse_events(self._text)), timeout):
                raise TimeoutError('no %s; events: %r' % (what, parse_events(self._text)))
            return parse_events(self._text)

    def wait_progress(self, count):
        return self.wait_for(lambda es: ('PROGRESS', count) in [e[:2] for e in es],
                             'PROGRESS %d' % count)

    def finish(self, timeout=60):
        self.process.wait(timeout)
        self.wait_for(lambda es: sum(e[0] == 'EXIT' for e in es) == self.attempts, 'EXIT')
        return JobRun(self.events, self.process.returncode, self._text)


class Drip:
    """A download body that stops at chosen offsets until the test lets it
    go on.

    WinINet fills the whole 32,768-byte buffer before InternetReadFile
    returns, and takes the body from the socket only as a read asks for it
    (past the first few KiB that come in with the headers). So once the
    connection has drained at a stop that is not on a chunk boundary, the
    bytes after the last boundary have been taken by a new read: the chunks
    before it are written, their PROGRESS events handled and their
    percentages stored, and the job is waiting in that read."""

    def __init__(self, body, stops, content_length='auto'):
        assert all(stop % CHUNK for stop in stops)
        self.stops = list(stops)
        self.gates = [Gate('body offset %d' % stop) for stop in stops]
        self.plan = Download(body=body, content_length=content_length,
                             holds=list(zip(self.stops, self.gates)))

    def each_stop(self, web):
        """Yields each stop's offset once the job has taken in all that was
        sent; the body goes on when the loop does."""
        try:
            for stop, gate in zip(self.stops, self.gates):
                gate.wait_reached()
                wait_until(lambda: drained(web.port), what='the job to read up to %d' % stop)
                yield stop
                gate.release()
        finally:
            self.release_all()

    def release_all(self):
        for gate in self.gates:
            gate.release()


def chunks_before(offset):
    return offset // CHUNK * CHUNK


def read_cell(wine):
    """One look at the channel with lvprogress: (exit code, percentage or
    None)."""
    result = wine.run(paths.LVPROGRESS)
    return result.returncode, int(result.stdout) if result.returncode == 0 else None


@contextlib.contextmanager
def wintool_holding(wine, command, name):
    """wintool wait-mutex / hold-mapping NAME: yields once it holds the
    object, lets go when the block ends."""
    process = wine.start(paths.test_program('wintool'), [command, name],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert process.stdout.readline().strip() == 'ready', '%s %s failed' % (command, name)
        yield process
    finally:
        if process.poll() is None:
            process.stdin.close()
            process.wait(30)
