"""Fault soak: many download attempts against servers that misbehave at random.

Each attempt draws, from its own seed, one download fault (resets, stalls,
wrong or garbage Content-Length, garbage or oversized headers, a missing
status line, empty bodies, error statuses, early closes), a way of answering
each of its two reports (refused, error status, stalled) and an outcome of
the test installer. Most attempts run in the job host, whose events are
visible; attempts whose seed ends in 0 run the real lvdownload.exe. Every
attempt is checked: one FINISHED, last; a result that the fault allows for
the bytes that arrived; the reports; no TLV*.TMP left; no install-state key
left; exit code 0; no hang beyond the server's own stalls.

    tools/soak.py [--seed S] [--attempts N] [--only SEED] [--quiet]

Prints the seed, one line per attempt and a summary table; exits 1 on any
failure. A failing attempt is rerun alone with --only and its seed.

Every report is also passed on to lvcollect, the vendor's collector, when
it is built: at the end its store must hold one start per attempt and one
result per attempt with the code the soak saw, whatever the report faults
did to the downloader's side of the exchange.

The functions are importable: tests/e2e/test_soak.py runs a short soak.
"""
import argparse
import collections
import contextlib
import dataclasses
import os
import random
import struct
import subprocess
import sys
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                'tests'))

from harness import host, paths, ui                                # noqa: E402
from harness.catalogue import MESSAGES                              # noqa: E402
from harness.job import INSTALL_KEY, installer_body, parse_events  # noqa: E402
from harness.web import Collector, Download, Gate, LoopbackWeb, ReportAnswer  # noqa: E402
from harness.wine import session_or_exit, wait_until               # noqa: E402

CHUNK = 32768               # the job's transfer buffer
FALLBACK_TOTAL = 4194304    # the expected total without a usable Content-Length
MAX_LENGTH_TEXT = 31        # longest Content-Length text that the job can read
RUN_INSTALLER = 119

KINDS = ('clean', 'reset', 'stall-reset', 'stall', 'length-short', 'length-long',
         'length-garbage', 'no-length', 'junk-headers', 'no-status-line', 'oversized-head',
         'empty-body', 'error-status', 'close-early')


# --- The installer and what Wine can start of it ----------------------------------------

class Installer:
    """The test installer's bytes, and how long a prefix of them Wine can
    still start. Measured: Wine's loader rounds the file size up to the
    file alignment and refuses an image whose section data end lies beyond
    that (a prefix of 196,096 bytes of a 196,608-byte image would not start,
    one of 196,097 did); the bytes after the sections (symbols, padding)
    are not needed."""

    def __init__(self, body=None):
        self.body = body if body is not None else installer_body()
        data = self.body
        pe = struct.unpack_from('<I', data, 0x3C)[0]
        sections = struct.unpack_from('<H', data, pe + 6)[0]
        optional_size = struct.unpack_from('<H', data, pe + 20)[0]
        self.file_alignment = struct.unpack_from('<I', data, pe + 24 + 36)[0]
        table = pe + 24 + optional_size
        self.image_end = max(sum(struct.unpack_from('<II', data, table + 40 * i + 16))
                             for i in range(sections))

    def startable(self, size):
        """Whether a prefix of `size` bytes of the installer can be started."""
        align = self.file_alignment
        return (size + align - 1) // align * align >= self.image_end


# --- Plans ----------------------------------------------------------------------------

class TimedGate(Gate):
    """A stall that the server ends by itself after `seconds`, counted from
    the moment it is reached (or earlier, when the attempt is torn down)."""

    def __init__(self, seconds, name=''):
        super().__init__(name)
        self.seconds = seconds

    def _pass(self, limit=120):
        self._reached.set()
        self._released.wait(self.seconds)


@dataclasses.dataclass
class DownloadFault:
    kind: str
    detail: str
    body: bytes
    installer: bool            # the body begins with the whole installer
    status: int = 200
    reason: str = 'OK'
    content_length: object = 'auto'
    extra_headers: list = dataclasses.field(default_factory=list)
    raw_head: bytes = None
    reset_at: int = None
    close_at: int = None
    stalls: list = dataclasses.field(default_factory=list)    # (offset, seconds)
    head_delay: float = 0.0
    chunk: int = 65536
    # What the job may see.
    total: int = None           # expected lParam of every PROGRESS (None: not fixed)
    n_exact: int = None         # bytes written, when the fault fixes them
    n_min: int = 0
    n_max: int = None
    interrupts: bool = False    # a reset: 114 or 117 are allowed too
    shifted: bool = False       # the file does not begin with the body

    def download(self):
        return Download(body=self.body, status=self.status, reason=self.reason,
                        content_length=self.content_length,
                        extra_headers=list(self.extra_headers), raw_head=self.raw_head,
                        holds=[(offset, TimedGate(seconds, 'stall at %d' % offset))
                               for offset, seconds in self.stalls],
                        reset_at=self.reset_at, close_at=self.close_at, chunk=self.chunk,
                        delay=self.head_delay)

    @property
    def held_to(self):
        """The length that the body is held to: a Content-Length of digits
        alone that the job can read and that fits 32 bits; else None."""
        if self.shifted:
            return None
        if self.content_length == 'auto':
            return len(self.body)
        text = str(self.content_length) if self.content_length is not None else ''
        if (text.isascii() and text.isdigit() and len(text) <= MAX_LENGTH_TEXT
                and int(text) < 2 ** 32):
            return int(text)
        return None

    @property
    def stall_seconds(self):
        return self.head_delay + sum(seconds for _, seconds in self.stalls)


@dataclasses.dataclass
class ReportFault:
    kind: str                   # ok, refuse, error, stall
    status: int = 200
    body_length: int = 0
    seconds: float = 0.0

    def answer(self):
        if self.kind == 'refuse':
            return ReportAnswer(refuse=True)
        hold = TimedGate(self.seconds, 'report stall') if self.kind == 'stall' else None
        return ReportAnswer(status=self.status, body=b'e' * self.body_length, hold=hold)

    def __str__(self):
        return {'ok': 'ok', 'refuse': 'refuse', 'stall': 'stall %.1fs' % self.seconds,
                'error': '%d+%dB' % (self.status, self.body_length)}[self.kind]


@dataclasses.dataclass
class InstallerFault:
    category: str               # 0, 150, ..., large, none, key-only, qword, binary...
    kind: str                   # what LVTEST_INSTALLER says, in short
    setting: str                # LVTEST_INSTALLER
    result: int                 # the attempt's result once it has run
    delay_ms: int = 0

    def env(self):
        env = {'LVTEST_INSTALLER': self.setting}
        if self.delay_ms:
            env['LVTEST_INSTALLER_DELAY_MS'] = str(self.delay_ms)
        return env


@dataclasses.dataclass
class Plan:
    seed: int
    program: str                # 'jobhost' or 'lvdownload'
    fault: DownloadFault
    reports: list               # two ReportFaults: start and result report
    installer: InstallerFault

    @property
    def time_limit(self):
        base = 60 if self.program == 'lvdownload' else 30
        return (base + self.fault.stall_seconds + self.installer.delay_ms / 1000
                + sum(r.seconds for r in self.reports))

    def describe(self):
        return '%s %s (%s); reports %s/%s; installer %s%s' % (
            self.program, self.fault.kind, self.fault.detail, self.reports[0],
            self.reports[1], self.installer.kind,
            ' +%dms' % self.installer.delay_ms if self.installer.delay_ms else '')


def length_value(text):
    """The expected total that the job takes from a Content-Length text."""
    if len(text) > MAX_LENGTH_TEXT:
        return FALLBACK_TOTAL
    total = 0
    for byte in text.encode('latin-1'):
        signed = byte - 256 if byte >= 128 else byte
        total = (total * 10 + signed - 48) % 2 ** 32
    return total


def junk_line(rng):
    """A header line that is not a usable header. Never empty, never starting
    with a NUL or a blank (Wine would take the first as the end of the head
    and the second as a continuation), never holding CR or LF."""
    first = bytes([rng.choice(b'!#$%&*+-.0123456789?@ABCXYZ^_`abcxyz|~\x01\x7f\x80\xa0\xfe\xff')])
    length = rng.randint(0, 120)
    rest = bytes(rng.choice([b for b in range(256) if b not in (10, 13)]) for _ in range(length))
    shape = rng.choice(('no colon', 'empty name', 'junk name', 'raw'))
    if shape == 'no colon':
        rest = rest.replace(b':', b'.')
    elif shape == 'empty name':
        return b':' + rest
    elif shape == 'junk name':
        rest = rest.replace(b':', b'.') + b': ' + rest[::-1]
    line = first + rest
    if line[:14].lower() == b'content-length':
        line = b'x' + line
    return line


def make_download_fault(rng, kind, installer):
    body = installer.body
    detail = ''
    if rng.random() < 0.3 and kind not in ('empty-body',):
        body = body + rng.randbytes(rng.randint(1, 400000))
        detail = 'padded to %d, ' % len(body)
    size = len(body)
    fault = DownloadFault(kind=kind, detail='', body=body, installer=True, total=size,
                          n_exact=size, n_max=size, chunk=rng.choice((1460, 4096, 32768, 65536)))
    if kind == 'clean':
        detail += 'no fault'
    elif kind == 'reset':
        fault.reset_at = rng.randint(0, size)
        fault.n_exact, fault.n_max, fault.interrupts = None, fault.reset_at, True
        detail += 'reset at %d of %d' % (fault.reset_at, size)
    elif kind == 'stall-reset':
        # The reset comes while the job waits in a read.
        offset = rng.randint(1, size - 1)
        seconds = round(rng.uniform(0.3, 1.5), 2)
        fault.stalls, fault.reset_at = [(offset, seconds)], offset
        fault.n_exact, fault.n_max, fault.interrupts = None, offset, True
        detail += 'stall %.2fs, then reset at %d' % (seconds, offset)
    elif kind == 'stall':
        fault.stalls = sorted((rng.randint(0, size), round(rng.uniform(0.1, 2.0), 2))
                              for _ in range(rng.randint(1, 3)))
        if rng.random() < 0.3:
            fault.head_delay = round(rng.uniform(0.1, 1.5), 2)
        detail += 'head delay %.2fs, stalls %s' % (
            fault.head_delay, ', '.join('%.2fs at %d' % (s, o) for o, s in fault.stalls))
    elif kind == 'length-short':
        length = rng.randint(0, size - 1)
        fault.content_length, fault.total = length, length
        fault.n_exact, fault.n_min = None, length
        detail += 'Content-Length %d for %d bytes' % (length, size)
    elif kind == 'length-long':
        length = size + rng.randint(1, 3000000)
        fault.content_length, fault.total = length, length
        detail += 'Content-Length %d for %d bytes' % (length, size)
    elif kind == 'length-garbage':
        alphabet = rng.choice(('0123456789abcxyzABC', '0123456789-+.', '0123456789', 'ox9Q#*'))
        text = ''.join(rng.choice(alphabet) for _ in range(rng.choice(
            (rng.randint(1, 12), rng.randint(28, 40)))))
        if text.isdigit():
            text += 'k'
        fault.content_length, fault.total = text, length_value(text)
        fault.n_exact = None
        detail += 'Content-Length %r' % text
    elif kind == 'no-length':
        fault.content_length, fault.total = None, FALLBACK_TOTAL
        detail += 'no Content-Length'
    elif kind == 'junk-headers':
        lines = [junk_line(rng) for _ in range(rng.randint(1, 30))]
        where = rng.randint(0, len(lines))
        lines.insert(where, b'Content-Length: %d' % size)
        fault.raw_head = b'\r\n'.join([b'HTTP/1.0 200 OK'] + lines)
        detail += '%d junk header lines' % (len(lines) - 1)
    elif kind == 'no-status-line':
        first = rng.choice((b'', b'Content-Length: %d' % size, b'HTTX/1.0 200 OK',
                            b'<html><body>', b'200 OK', b'\x01\x02\x03 junk'))
        more = rng.choice(([], [b'Content-Length: %d' % size],
                           [b'Content-Type: text/html', b'Content-Length: %d' % size]))
        fault.raw_head = b'\r\n'.join([first] + more)
        # Wine takes the first line for a status line that it cannot read,
        # and all that follows it, the blank line included, for the body.
        fault.n_exact = len(fault.raw_head) + 4 + size - len(first) - 2
        fault.n_max, fault.total, fault.shifted = fault.n_exact, FALLBACK_TOTAL, True
        detail += 'head %r' % fault.raw_head[:40]
    elif kind == 'oversized-head':
        target = rng.randint(20000, 60000)
        if rng.random() < 0.5:
            fault.extra_headers = ['X-Padding: ' + 'p' * target]
        else:
            width = rng.randint(40, 400)
            fault.extra_headers = ['X-Padding-%d: %s' % (i, 'q' * width)
                                   for i in range(target // (width + 16))]
        detail += '%d header lines, %d bytes' % (
            len(fault.extra_headers), sum(len(h) + 2 for h in fault.extra_headers))
    elif kind == 'empty-body':
        fault.body, fault.installer = b'', False
        fault.content_length = rng.choice(('auto', None, '0'))
        fault.total = FALLBACK_TOTAL if fault.content_length is None else 0
        fault.n_exact, fault.n_max = 0, 0
        detail = 'empty body, Content-Length %s' % fault.content_length
    elif kind == 'error-status':
        fault.status, fault.reason = rng.choice(((400, 'Bad Request'), (403, 'Forbidden'),
                                                 (404, 'Not Found'), (410, 'Gone'),
                                                 (500, 'Internal Server Error'),
                                                 (503, 'Service Unavailable')))
        if rng.random() < 0.7:
            page = (b'<html><head><title>%d</title></head><body>' % fault.status
                    + b'error page ' * rng.randint(1, 5000) + b'</body></html>\n')
            fault.body, fault.installer = page, False
            fault.total = fault.n_exact = fault.n_max = len(page)
            detail = '%d with a page of %d bytes' % (fault.status, len(page))
        else:
            detail += '%d with the installer' % fault.status
    elif kind == 'close-early':
        fault.close_at = rng.randint(0, size - 1)
        fault.content_length = rng.choice(('auto', None))
        if fault.content_length is None:
            fault.total = FALLBACK_TOTAL
        fault.n_exact = fault.n_max = fault.close_at
        detail += 'closed after %d of %d, Content-Length %s' % (
            fault.close_at, size, fault.content_length)
    else:
        raise ValueError(kind)
    fault.detail = detail
    return fault


def make_report_fault(rng):
    draw = rng.random()
    if draw < 0.5:
        return ReportFault('ok')
    if draw < 0.65:
        return ReportFault('refuse')
    if draw < 0.85:
        return ReportFault('error', status=rng.choice((301, 400, 404, 500, 503)),
                           body_length=rng.choice((0, 100, 40000, 100000)))
    return ReportFault('stall', seconds=round(rng.uniform(0.1, 1.5), 2))


def make_installer_fault(rng):
    kind = rng.choices(('0', '150', '151', '152', '7', 'large', 'none', 'key-only', 'qword',
                        'binary4', 'binary-short', 'binary-long'),
                       weights=(30, 5, 5, 5, 5, 3, 8, 5, 7, 10, 5, 4))[0]
    if kind in ('0', '150', '151', '152', '7'):
        fault = InstallerFault(kind, kind, kind, int(kind))
    elif kind == 'large':
        value = rng.choice((65536 + 117, 2 ** 31, 2 ** 32 - 1))
        fault = InstallerFault(kind, '%d' % value, '%d' % value, value)
    elif kind in ('none', 'key-only'):
        fault = InstallerFault(kind, kind, kind, 122)
    elif kind == 'qword':
        value = rng.choice((0, 151, 2 ** 40))
        fault = InstallerFault(kind, 'qword %d' % value, 'qword:%d' % value, 122)
    elif kind == 'binary4':
        data = rng.choice((bytes(4), bytes([151, 0, 0, 0]), bytes([150, 0, 0, 0]),
                           rng.randbytes(4)))
        fault = InstallerFault(kind, 'binary %s' % data.hex(), 'binary:' + data.hex(),
                               int.from_bytes(data, 'little'))
    else:
        data = rng.randbytes(rng.randint(1, 3) if kind == 'binary-short' else rng.randint(5, 8))
        fault = InstallerFault(kind, 'binary %s' % data.hex(), 'binary:' + data.hex(), 122)
    if rng.random() < 0.3:
        fault.delay_ms = rng.randint(50, 1500)
    return fault


def attempt_seeds(seed, attempts):
    """The attempts' own seeds. A seed tells its fault kind (by its tens,
    modulo the number of kinds) and its program (0 as last digit: the real
    downloader, which every tenth attempt runs); each block of attempts as
    long as the list of kinds covers every kind once."""
    rng = random.Random(seed)
    seeds = []
    order = []
    for i in range(attempts):
        if not order:
            order = list(range(len(KINDS)))
            rng.shuffle(order)
        kind = order.pop()
        digit = 0 if i % 10 == 9 else rng.randint(1, 9)
        seeds.append((rng.getrandbits(40) * len(KINDS) + kind) * 10 + digit)
    return seeds


def make_plan(seed, installer):
    rng = random.Random(seed)
    kind = KINDS[(seed // 10) % len(KINDS)]
    return Plan(seed=seed, program='lvdownload' if seed % 10 == 0 else 'jobhost',
                fault=make_download_fault(rng, kind, installer),
                reports=[make_report_fault(rng), make_report_fault(rng)],
                installer=make_installer_fault(rng))


# --- Running an attempt ---------------------------------------------------------------

@dataclasses.dataclass
class Outcome:
    plan: Plan
    result: int = None
    written: int = None
    seconds: float = 0.0
    problems: list = dataclasses.field(default_factory=list)

    @property
    def failed(self):
        return bool(self.problems)


def report_fields(request):
    return dict(urllib.parse.parse_qsl(request.query, keep_blank_values=True))


def run_attempt(wine, plan, installer, collector=None):
    """Runs one attempt of `plan` and checks it; returns its Outcome. Its
    reports go on to `collector` (an address) when one is given."""
    outcome = Outcome(plan)
    web = LoopbackWeb(collector=collector)
    download = plan.fault.download()
    answers = [r.answer() for r in plan.reports]
    web.download = download
    web.queue_report_answer(*answers)
    started = time.monotonic()
    events = None
    try:
        if plan.program == 'jobhost':
            events = _run_jobhost(wine, plan, web, outcome)
        else:
            _run_downloader(wine, plan, web, outcome)
    except (subprocess.TimeoutExpired, TimeoutError) as error:
        outcome.problems.append('hang: no end within %.0fs (%s)' % (plan.time_limit, error))
        wine.kill_wine_processes()
    finally:
        for gate in [g for _, g in download.holds] + [a.hold for a in answers if a.hold]:
            gate.release()
        outcome.seconds = time.monotonic() - started
        web.close()
    if outcome.result is not None:
        check_requests(plan, web.recorder.all(), outcome)
        check_result(plan, installer, events, outcome)
    check_leftovers(wine, outcome)
    return outcome


def _run_jobhost(wine, plan, web, outcome):
    completed = wine.run(paths.test_program('jobhost'), proxy=web.proxy_url,
                         extra_env=plan.installer.env(), timeout=plan.time_limit)
    events = parse_events(completed.stdout)
    if completed.returncode != 0:
        outcome.problems.append('job host exit code %d' % completed.returncode)
    if 'Unhandled' in completed.stderr or 'page fault' in completed.stderr:
        outcome.problems.append('crash: ' + completed.stderr.strip()[:300])
    kinds = [e[0] for e in events]
    if kinds.count('FINISHED') != 1 or kinds[-2:] != ['FINISHED', 'EXIT']:
        outcome.problems.append('not exactly one FINISHED, last: %r' % events[-6:])
        return events
    code = events[-2][1]
    if events[-1] != ('EXIT', code):
        outcome.problems.append('thread exit code %r for FINISHED %d' % (events[-1], code))
    progress = [e for e in events if e[0] == 'PROGRESS']
    if kinds[:len(progress)] != ['PROGRESS'] * len(progress) or \
            kinds[len(progress):-2] not in ([], ['INSTALLING']):
        outcome.problems.append('events out of order: %r' % kinds)
    counts = [0] + [p[1] for p in progress]
    if not all(0 < b - a <= CHUNK for a, b in zip(counts, counts[1:])):
        outcome.problems.append('chunk sizes out of range: %r' % counts[:12])
    totals = {p[2] for p in progress}
    if len(totals) > 1 or (plan.fault.total is not None and progress
                           and totals != {plan.fault.total}):
        outcome.problems.append('expected totals %r, want %r' % (sorted(totals),
                                                                 plan.fault.total))
    outcome.result, outcome.written = code, counts[-1]
    return events


def _error_view(wine):
    state = ui.state(wine)
    return state if state is not None and {ui.IDOK, ui.IDCANCEL} <= state.visible_ids() else None


def _run_downloader(wine, plan, web, outcome):
    process = wine.start_program(paths.LVDOWNLOAD, proxy=web.proxy_url, extra_env=plan.installer.env())
    try:
        requests = web.recorder.wait_count('report', 2, timeout=plan.time_limit)
        code = int(report_fields(requests[-1]).get('error') or 0)
        if code == 0:
            if not ui.wait_gone(wine, 30):
                outcome.problems.append('the window stayed after a success')
        else:
            state = wait_until(lambda: _error_view(wine), timeout=30, what='the error view')
            if state.message != MESSAGES.get(code, ''):   # other codes show no text
                outcome.problems.append('error view shows %r for %d' % (state.message, code))
            if not ui.click(wine, ui.IDCANCEL) or not ui.wait_gone(wine, 30):
                outcome.problems.append('Cancel did not close the window')
        returncode = process.wait(30)
        if returncode != 0:
            outcome.problems.append('lvdownload exit code %d' % returncode)
        outcome.result = code
        outcome.written = int(report_fields(requests[-1]).get('totalbytes', -1))
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(10)
            wine.kill_wine_processes()


def check_requests(plan, requests, outcome):
    kinds = [r.kind for r in requests]
    if kinds != ['report', 'download', 'report']:
        outcome.problems.append('requests %r' % kinds)
        return
    start, download, result = requests
    if not download.path.endswith('/' + paths.OBJECT_PATH):
        outcome.problems.append('download of %r' % download.target)
    if report_fields(start).get('action') != 'update':
        outcome.problems.append('start report %r' % start.target)
    fields = report_fields(result)
    code, written = outcome.result, outcome.written
    if code is None:
        return
    want = ('success', '') if code == 0 else ('failure', str(code))
    if (fields.get('action'), fields.get('error')) != want:
        outcome.problems.append('result report says %s/%s for %d' % (
            fields.get('action'), fields.get('error'), code))
    if fields.get('totalbytes') != str(written):
        outcome.problems.append('result report says %s bytes, %d written' % (
            fields.get('totalbytes'), written))


def allowed_results(plan, installer, written):
    """The results that the fault allows, given the bytes written."""
    fault = plan.fault
    allowed = set()
    if fault.held_to is not None and written < fault.held_to:
        # Short of its length, however the body stopped: interrupted.
        return {114, 117} if fault.interrupts and written == 0 else {117}
    if fault.interrupts:
        if written == 0:
            allowed.add(114)
        allowed.add(117)
    startable = fault.installer and not fault.shifted and installer.startable(written)
    allowed.add(plan.installer.result if startable else RUN_INSTALLER)
    return allowed


def check_result(plan, installer, events, outcome):
    fault, code, written = plan.fault, outcome.result, outcome.written
    if code not in allowed_results(plan, installer, written):
        outcome.problems.append('result %d not allowed after %d bytes (allowed %s)' % (
            code, written, sorted(allowed_results(plan, installer, written))))
    if fault.n_exact is not None and code not in (114, 117) and written != fault.n_exact:
        outcome.problems.append('%d bytes written, want %d' % (written, fault.n_exact))
    if fault.n_max is not None and written > fault.n_max:
        outcome.problems.append('%d bytes written, more than the %d sent' % (
            written, fault.n_max))
    if code not in (114, 117) and written < fault.n_min:
        outcome.problems.append('%d bytes written, fewer than %d' % (written, fault.n_min))
    if fault.kind == 'stall-reset' and code == 117:
        # The read that the reset ends held the chunk in progress, unless
        # Wine handed the reset over as a quiet end after the bytes sent.
        if written not in (fault.reset_at // CHUNK * CHUNK, fault.reset_at):
            outcome.problems.append('117 after %d bytes, want the %d of whole chunks' % (
                written, fault.reset_at // CHUNK * CHUNK))
    if events is not None:
        installing = ('INSTALLING',) in events
        if installing != (code not in (114, 117)):
            outcome.problems.append('INSTALLING %s with result %d' % (
                'sent' if installing else 'missing', code))


def check_leftovers(wine, outcome):
    left = wine.leftover_temp_files()
    if left:
        outcome.problems.append('left in the temporary directory: %r' % [
            os.path.basename(p) for p in left])
        wine.clean_temp()
    if wine.key_exists(INSTALL_KEY):
        outcome.problems.append('install-state key left behind')
        wine.reg('delete', INSTALL_KEY, '/f')


# --- The soak ---------------------------------------------------------------------------

@dataclasses.dataclass
class Summary:
    seed: int
    outcomes: list
    seconds: float

    @property
    def failures(self):
        return [o for o in self.outcomes if o.failed]

    def count(self, key):
        return collections.Counter(key(o) for o in self.outcomes)

    def table(self):
        lines = ['', 'Soak seed %s: %d attempts (%d lvdownload.exe, %d job host), '
                 '%d failed, %.0fs' % (
                     self.seed, len(self.outcomes),
                     sum(o.plan.program == 'lvdownload' for o in self.outcomes),
                     sum(o.plan.program == 'jobhost' for o in self.outcomes),
                     len(self.failures), self.seconds), '']
        lines += _grouped('download fault', self.outcomes, lambda o: o.plan.fault.kind)
        lines += _grouped('start report answer', self.outcomes,
                          lambda o: o.plan.reports[0].kind)
        lines += _grouped('result report answer', self.outcomes,
                          lambda o: o.plan.reports[1].kind)
        lines += _grouped('installer stores', self.outcomes, lambda o: o.plan.installer.category)
        lines += _grouped('program', self.outcomes, lambda o: o.plan.program)
        lines.append('%-22s %8s' % ('result code', 'attempts'))
        for code, n in sorted(self.count(lambda o: o.result).items(),
                              key=lambda item: (item[0] is None, item[0] or 0)):
            lines.append('%-22s %8d' % ('none' if code is None else code, n))
        lines.append('')
        if self.failures:
            lines.append('Failures (rerun one with --only SEED):')
            for o in self.failures:
                lines.append('  seed %d: %s' % (o.plan.seed, o.plan.describe()))
                for problem in o.problems:
                    lines.append('      ' + problem)
        else:
            lines.append('No failures.')
        return '\n'.join(lines)


def _grouped(title, outcomes, key):
    groups = collections.defaultdict(list)
    for o in outcomes:
        groups[key(o)].append(o)
    lines = ['%-22s %8s %6s  %s' % (title, 'attempts', 'failed', 'results')]
    for name in sorted(groups):
        members = groups[name]
        results = collections.Counter('-' if o.result is None else str(o.result) for o in members)
        lines.append('%-22s %8d %6d  %s' % (
            name, len(members), sum(o.failed for o in members),
            ' '.join('%s:%d' % item for item in sorted(results.items()))))
    lines.append('')
    return lines


def prepare(wine):
    wine.restore_temp_dir()
    wine.clean_temp()
    wine.reg('delete', INSTALL_KEY, '/f')


def run_soak(wine, seed, attempts=200, only=None, log=print, collector=None):
    """Runs the attempts of `seed` (or the one attempt `only`) in `wine`;
    returns the Summary. The reports go on to `collector` (a Collector)."""
    installer = Installer()
    seeds = [only] if only is not None else attempt_seeds(seed, attempts)
    prepare(wine)
    started = time.monotonic()
    outcomes = []
    for number, attempt_seed in enumerate(seeds, 1):
        plan = make_plan(attempt_seed, installer)
        outcome = run_attempt(wine, plan, installer, collector and collector.address)
        outcomes.append(outcome)
        if log:
            log('%4d seed %-16d %-7s %5.1fs  %s' % (
                number, attempt_seed, 'FAILED' if outcome.failed else 'ok',
                outcome.seconds, plan.describe()
                + ' -> %s' % ('-' if outcome.result is None else outcome.result)))
            for problem in outcome.problems:
                log('          ' + problem)
    return Summary(seed if only is None else 'only %d' % only, outcomes,
                   time.monotonic() - started)


def check_collector(collector, outcomes):
    """Stops the collector; the problems of its store against what the soak
    saw, none when every attempt's start and result are there."""
    collector.stop()
    codes = [code for kind, code in collector.rows(
        "SELECT kind, code FROM reports WHERE kind != 'start' ORDER BY id")]
    seen = [o.result for o in outcomes if o.result is not None]
    problems = []
    if collector.rows("SELECT count(*) FROM reports WHERE kind = 'start'") != [(len(outcomes),)]:
        problems.append('collector: not one start report per attempt')
    if sorted(codes) != sorted(seen):
        problems.append('collector: result codes %s, the soak saw %s' % (
            collections.Counter(codes), collections.Counter(seen)))
    if collector.rows('SELECT count(*) FROM malformed') != [(0,)]:
        problems.append('collector: malformed queries')
    return problems


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--seed', type=int, default=None)
    parser.add_argument('--attempts', type=int, default=200)
    parser.add_argument('--only', type=int, default=None, help='rerun one attempt by its seed')
    parser.add_argument('--quiet', action='store_true', help='only the summary')
    options = parser.parse_args(argv)
    seed = options.seed if options.seed is not None else int.from_bytes(os.urandom(4), 'big')
    paths.require(paths.LVDOWNLOAD, paths.test_program('jobhost'),
                  paths.test_program('testinstaller'), paths.test_program('uidriver'))
    if options.only is None:
        print('Soak seed %d, %d attempts on %s' % (seed, options.attempts, host.describe()),
              flush=True)
    wine = session_or_exit(os.environ.get('LV_SESSION_NAME', 'soak'))
    built = os.path.exists(paths.LVCOLLECT)
    db = os.path.join(paths.BUILD, 'soak-reports.db')
    for stale in (db, db + '-wal', db + '-shm'):
        if os.path.exists(stale):
            os.remove(stale)
    with (Collector(db) if built else contextlib.nullcontext()) as collector:
        try:
            summary = run_soak(wine, seed, options.attempts, options.only,
                               log=None if options.quiet else lambda line: print(line, flush=True),
                               collector=collector)
        finally:
            wine.close()
        print(summary.table())
        problems = check_collector(collector, summary.outcomes) if collector else []
    if not built:
        print('lvcollect is not built (make native): the reports were not collected')
    for problem in problems:
        print(problem)
    return 1 if summary.failures or problems else 0


if __name__ == '__main__':
    sys.exit(main())
