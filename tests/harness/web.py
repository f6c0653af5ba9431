"""Scriptable loopback HTTP servers: the download server and the report sink.

One `LoopbackWeb` answers both kinds of request and tells them apart by
path: "/foo.bar" is a report, anything else a download. It takes requests in
origin form ("GET /path HTTP/1.0", a direct connection) and in absolute form
("GET http://host:80/path HTTP/1.0", through a proxy), so one server on an
ephemeral port stands in for every host when Wine is given
http_proxy=http://127.0.0.1:PORT. For direct connections, run one server per
loopback address on port 80 and give them one `Recorder`.

What a download gets is a `Download` plan; what a report gets is a
`ReportAnswer`. Both can hold part-way at a `Gate` until the test releases it.

Given a collector's address, a `LoopbackWeb` also passes every report on to
it, as a proxy would (origin form, the client's headers), before it
answers: with the collector's own answer when the plan is the plain one,
else as the plan says. `Collector` runs lvcollect, the vendor's report
collector, on a loopback address.
"""
import dataclasses
import json
import signal
import socket
import socketserver
import sqlite3
import struct
import subprocess
import threading
import time
import urllib.parse
from typing import List, Optional

from . import paths

REPORT_PATH = '/foo.bar'
MAX_HEAD = 65536


class Gate:
    """A point where the server waits until the test releases it."""

    def __init__(self, name=''):
        self.name = name
        self._reached = threading.Event()
        self._released = threading.Event()

    def wait_reached(self, timeout=30):
        if not self._reached.wait(timeout):
            raise TimeoutError('the server never reached gate %r' % self.name)

    @property
    def reached(self):
        return self._reached.is_set()

    def release(self):
        self._released.set()

    # Only a test that never releases its gate meets this limit. In the guest
    # under QEMU's emulator on a busy host, more than 120 s passed between a
    # hold and its release while the test worked on the dialog.
    def _pass(self, limit=600):
        self._reached.set()
        self._released.wait(limit)


@dataclasses.dataclass
class Download:
    """How to answer one download request.

    content_length: 'auto' sends the body's length; None sends no header;
    anything else (an int or a text such as '12a') is sent as it is.
    holds: (offset, Gate) pairs: after `offset` body bytes the server waits
    at the gate. reset_at: after that many body bytes the connection is reset
    (RST). close_at: after that many body bytes it is closed normally.
    raw_head: replaces the whole status line and headers (bytes, without the
    blank line that ends them).
    """
    body: bytes = b''
    status: int = 200
    reason: str = 'OK'
    content_length: object = 'auto'
    extra_headers: List[str] = dataclasses.field(default_factory=list)
    holds: list = dataclasses.field(default_factory=list)
    reset_at: Optional[int] = None
    close_at: Optional[int] = None
    raw_head: Optional[bytes] = None
    chunk: int = 65536
    delay: float = 0.0


@dataclasses.dataclass
class ReportAnswer:
    """How to answer one report: status and body, or drop the connection
    without answering (refuse). hold: a Gate at which the answer waits;
    delay: seconds before the answer."""
    status: int = 200
    body: bytes = b''
    refuse: bool = False
    hold: Optional[Gate] = None
    delay: float = 0.0


@dataclasses.dataclass
class Request:
    seq: int
    time: float
    kind: str            # 'report' or 'download'
    method: str
    target: str          # as on the request line
    version: str
    headers: dict        # lower-case names
    host: str            # from the absolute target, else the Host header
    path: str
    query: str
    body_length: int
    listener: str        # address:port that took it

    @property
    def user_agent(self):
        return self.headers.get('user-agent')

    @property
    def url(self):
        """The request as an absolute URL, as the report composer writes it."""
        return 'http://%s%s%s' % (self.host, self.path,
                                  '?' + self.query if self.query else '')


class Recorder:
    """Every request, in arrival order, across any number of servers."""

    def __init__(self):
        self._lock = threading.Condition()
        self._requests = []

    def add(self, **fields):
        with self._lock:
            request = Request(seq=len(self._requests), time=time.monotonic(), **fields)
            self._requests.append(request)
            self._lock.notify_all()
            return request

    def all(self):
        with self._lock:
            return list(self._requests)

    def reports(self):
        return [r for r in self.all() if r.kind == 'report']

    def downloads(self):
        return [r for r in self.all() if r.kind == 'download']

    def wait_for(self, predicate, timeout=30, what='the expected requests'):
        """Waits until predicate(list of requests) is true; returns the list."""
        deadline = time.monotonic() + timeout
        with self._lock:
            while not predicate(list(self._requests)):
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError('timed out waiting for %s; got %r' % (
                        what, [(r.kind, r.target[:80]) for r in self._requests]))
                self._lock.wait(left)
            return list(self._requests)

    def wait_count(self, kind, count, timeout=30):
        return self.wait_for(lambda rs: sum(r.kind == kind for r in rs) >= count,
                             timeout, '%d %s request(s)' % (count, kind))


class _Handler(socketserver.BaseRequestHandler):
    def handle(self):
        web = self.server.web
        sock = self.request
        sock.settimeout(120)
        head = b''
        try:
            while b'\r\n\r\n' not in head and len(head) < MAX_HEAD:
                data = sock.recv(4096)
                if not data:
                    return
                head += data
        except OSError:
            return
        head, _, rest = head.partition(b'\r\n\r\n')
        raw_head = head
        lines = head.decode('latin-1').split('\r\n')
        parts = lines[0].split(' ')
        if len(parts) != 3:
            return
        method, target, version = parts
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(':')
            headers[name.strip().lower()] = value.strip()
        body_length = len(rest)
        if target.startswith('http://'):
            parsed = urllib.parse.urlsplit(target)
            host, path, query = parsed.netloc, parsed.path, parsed.query
        else:
            path, _, query = target.partition('?')
            host = headers.get('host', '')
        kind = 'report' if path == REPORT_PATH else 'download'
        web.recorder.add(kind=kind, method=method, target=target, version=version,
                         headers=headers, host=host, path=path, query=query,
                         body_length=body_length,
                         listener='%s:%d' % self.server.server_address)
        try:
            if kind == 'report':
                forwarded = web.forward_report(raw_head) if web.collector else None
                self._answer_report(sock, web.next_report_answer(), forwarded)
            else:
                self._answer_download(sock, web.next_download())
        except OSError:
            pass

    def _answer_report(self, sock, answer, forwarded=None):
        if forwarded is not None and answer == ReportAnswer():
            sock.sendall(forwarded)
            return
        if answer.refuse:
            _reset(sock)
            return
        if answer.hold:
            answer.hold._pass()
        if answer.delay:
            time.sleep(answer.delay)
        head = 'HTTP/1.0 %d %s\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n\r\n' % (
            answer.status, 'OK' if answer.status == 200 else 'Error', len(answer.body))
        sock.sendall(head.encode('latin-1') + answer.body)

    def _answer_download(self, sock, plan):
        if plan.delay:
            time.sleep(plan.delay)
        if plan.raw_head is not None:
            head = plan.raw_head
        else:
            lines = ['HTTP/1.0 %d %s' % (plan.status, plan.reason)]
            if plan.content_length == 'auto':
                lines.append('Content-Length: %d' % len(plan.body))
            elif plan.content_length is not None:
                lines.append('Content-Length: %s' % plan.content_length)
            lines.append('Content-Type: application/octet-stream')
            lines.extend(plan.extra_headers)
            head = '\r\n'.join(lines).encode('latin-1')
        sock.sendall(head + b'\r\n\r\n')

        body = plan.body
        stops = sorted([(offset, 'hold', gate) for offset, gate in plan.holds]
                       + ([(plan.reset_at, 'reset', None)] if plan.reset_at is not None else [])
                       + ([(plan.close_at, 'close', None)] if plan.close_at is not None else []),
                       key=lambda s: s[0])
        sent = 0
        for offset, action, gate in stops:
            sent = _send_range(sock, body, sent, min(offset, len(body)), plan.chunk)
            if action == 'hold':
                gate._pass()
            elif action == 'reset':
                _reset(sock)
                return
            else:
                sock.close()
                return
        _send_range(sock, body, sent, len(body), plan.chunk)


def _send_range(sock, body, start, end, chunk):
    while start < end:
        piece = body[start:min(end, start + chunk)]
        sock.sendall(piece)
        start += len(piece)
    return start


def _reset(sock):
    """Close with RST instead of FIN."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
    sock.close()


class _Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 64


class LoopbackWeb:
    """A download server and report sink on one loopback address and port.

    download / report_answer: the default answers. queue_download /
    queue_report_answer: answers for the next requests, in order, before the
    defaults apply again.
    """

    def __init__(self, address='127.0.0.1', port=0, recorder=None, collector=None):
        if not address.startswith('127.'):
            raise ValueError('test servers listen on loopback only')
        self.collector = collector      # (address, port) that reports are passed on to
        self.recorder = recorder or Recorder()
        self.download = Download()
        self.report_answer = ReportAnswer()
        self._downloads = []
        self._report_answers = []
        self._lock = threading.Lock()
        self._server = _Server((address, port), _Handler)
        self._server.web = self
        self.address, self.port = self._server.server_address
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    @property
    def proxy_url(self):
        return 'http://%s:%d' % (self.address, self.port)

    def queue_download(self, *plans):
        with self._lock:
            self._downloads.extend(plans)

    def queue_report_answer(self, *answers):
        with self._lock:
            self._report_answers.extend(answers)

    def next_download(self):
        with self._lock:
            return self._downloads.pop(0) if self._downloads else self.download

    def next_report_answer(self):
        with self._lock:
            return self._report_answers.pop(0) if self._report_answers else self.report_answer

    def forward_report(self, head):
        """Passes a report on to the collector as a proxy does: the request
        line in origin form, the client's headers. Returns the collector's
        whole answer, or None when it could not be reached."""
        line, _, headers = head.partition(b'\r\n')
        method, target, version = line.split(b' ')
        if target.startswith(b'http://'):
            target = target[target.index(b'/', len(b'http://')):]
        request = b' '.join((method, target, version)) + b'\r\n' + headers + b'\r\n\r\n'
        try:
            with socket.create_connection(self.collector, timeout=10) as sock:
                sock.sendall(request)
                answer = b''
                while True:
                    data = sock.recv(65536)
                    if not data:
                        return answer
                    answer += data
        except OSError:
            return None

    def close(self):
        self._server.shutdown()
        self._server.server_close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Collector:
    """lvcollect serve on a loopback address (port 0: any free one), storing
    in `db`. stop() ends it as a vendor would (SIGTERM: it stores what is
    queued) and returns its closing line."""

    def __init__(self, db, address='127.0.0.1', port=0, options=()):
        if not address.startswith('127.'):
            raise ValueError('test servers listen on loopback only')
        self.db = db
        self.process = subprocess.Popen(
            [paths.LVCOLLECT, 'serve', '--listen', '%s:%d' % (address, port), '--db', db]
            + list(options),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        line = self.process.stdout.readline()
        if not line.startswith('lvcollect: listening on '):
            self.process.kill()
            raise RuntimeError('lvcollect did not start: %r' % line)
        host, _, port = line.split()[-1].rpartition(':')
        self.address = (host, int(port))

    def stop(self):
        """Ends the server; returns the line in which it counts what it did."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        out, _ = self.process.communicate(timeout=30)
        assert self.process.returncode == 0, out
        return out.strip()

    def summary(self):
        """lvcollect summary --json, as a dict."""
        out = subprocess.run([paths.LVCOLLECT, 'summary', '--db', self.db, '--json'],
                             stdout=subprocess.PIPE, check=True, timeout=60).stdout
        return json.loads(out)

    def rows(self, sql):
        """The rows of a query on the store, texts as bytes."""
        with sqlite3.connect(self.db) as db:
            db.text_factory = bytes
            return db.execute(sql).fetchall()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)


def drained(port):
    """True when no established connection to the server on `port` has bytes
    in flight: the server's side has every byte acknowledged, the client's
    side has nothing left unread in its socket."""
    with open('/proc/net/tcp') as table:
        rows = [line.split() for line in table.readlines()[1:]]
    for row in rows:
        local_port = int(row[1].split(':')[1], 16)
        remote_port = int(row[2].split(':')[1], 16)
        send_queue, receive_queue = (int(x, 16) for x in row[4].split(':'))
        if row[3] != '01':          # ESTABLISHED
            continue
        if (local_port == port and send_queue) or (remote_port == port and receive_queue):
            return False
    return True
