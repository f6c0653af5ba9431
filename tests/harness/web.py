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
collector, on a loopback address, and `SlowClients` holds connections to
it open the way a slow or hostile client does. `Nginx` runs Debian's nginx
from a private configuration, as a yardstick or in front of lvcollect;
`tls_front` is one that ends TLS in front of lvcollect, as a vendor's
report host for HTTPS builds does; a `FileOrigin` is one that serves the
installer from disk, behind a `LoopbackWeb` that passes downloads on to it
and can cut them short.

As a proxy, a `LoopbackWeb` also answers CONNECT, for the https:// hosts: given a TLS
certificate for the host (`tls`, `tls_for`), it ends the tunnel itself
with that certificate and serves the plain HTTP inside as it serves any
request, recorded with scheme 'https'; a tunnel named in `pass_through`
is relayed to a real server instead. The CONNECT itself is recorded too,
as a request of kind 'connect'. Given `listen_tls`, it is an https://
server of its own for direct connections. A tunnel or connection in which
the client sent no request inside TLS (it refused the certificate) is
counted in `refused_tls`.
"""
import collections
import dataclasses
import json
import multiprocessing
import os
import pwd
import select
import selectors
import shutil
import signal
import socket
import ssl
import socketserver
import sqlite3
import struct
import subprocess
import tempfile
import threading
import time
import urllib.parse
from typing import List, Optional

from . import paths

REPORT_PATH = '/foo.bar'
MAX_HEAD = 65536
# For LoopbackWeb.tls_for: a tunnel whose far end speaks no TLS, and
# answers in clear at once.
PLAIN_INSIDE = 'plain inside'


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
    origin: (address, port) of a real server (a `FileOrigin`): the request
    goes there in origin form with the client's headers, and its answer is
    passed on, the stops above applying to its body; body and the header
    options are then unused.
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
    origin: Optional[tuple] = None


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
    kind: str            # 'report', 'download' or 'connect'
    method: str
    target: str          # as on the request line
    version: str
    headers: dict        # lower-case names
    host: str            # from the absolute target, else the Host header
    path: str
    query: str
    body_length: int
    listener: str        # address:port that took it
    scheme: str = 'http'     # 'https' inside a tunnel that the server ended with TLS

    @property
    def user_agent(self):
        return self.headers.get('user-agent')

    @property
    def url(self):
        """The request as an absolute URL, as the report composer writes it."""
        return '%s://%s%s%s' % (self.scheme, self.host, self.path,
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

    def plain(self):
        """The requests that came in clear: neither a CONNECT nor inside TLS."""
        return [r for r in self.all() if r.kind != 'connect' and r.scheme != 'https']

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
        self.request.settimeout(120)
        web = self.server.web
        if web.listen_tls is None:
            self._serve(self.request, 'http')
        else:
            self._serve_tls(self.request, web.listen_tls, '%s:%d' % self.server.server_address)

    def _serve(self, sock, scheme):
        """Reads one request and answers it; False when none came."""
        web = self.server.web
        head = b''
        try:
            while b'\r\n\r\n' not in head and len(head) < MAX_HEAD:
                data = sock.recv(4096)
                if not data:
                    return False
                head += data
        except OSError:
            return False
        head, _, rest = head.partition(b'\r\n\r\n')
        raw_head = head
        lines = head.decode('latin-1').split('\r\n')
        parts = lines[0].split(' ')
        if len(parts) != 3:
            return False
        method, target, version = parts
        headers = {}
        for line in lines[1:]:
            name, _, value = line.partition(':')
            headers[name.strip().lower()] = value.strip()
        body_length = len(rest)
        if method == 'CONNECT' and scheme == 'http':
            self._tunnel(sock, target, version, headers)
            return True
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
                         listener='%s:%d' % self.server.server_address, scheme=scheme)
        try:
            if kind == 'report':
                forwarded = web.forward_report(raw_head) if web.collector else None
                self._answer_report(sock, web.next_report_answer(), forwarded)
            else:
                self._answer_download(sock, web.next_download(), raw_head)
        except OSError:
            pass
        return True

    def _tunnel(self, sock, target, version, headers):
        """CONNECT host:port: relayed to a real server, or ended here with
        the host's certificate; refused (502) for a host with neither."""
        web = self.server.web
        host = target.rpartition(':')[0]
        web.recorder.add(kind='connect', method='CONNECT', target=target, version=version,
                         headers=headers, host=target, path='', query='', body_length=0,
                         listener='%s:%d' % self.server.server_address)
        relay_to = web.pass_through.get(target)
        context = web.tls_for.get(host, web.tls)
        if relay_to is None and context is None:
            sock.sendall(b'HTTP/1.0 502 No such tunnel\r\nContent-Length: 0\r\n\r\n')
            return
        sock.sendall(b'HTTP/1.0 200 Connection established\r\n\r\n')
        if relay_to is not None:
            _relay(sock, relay_to)
            return
        self._serve_tls(sock, context, target)

    def _serve_tls(self, sock, context, where):
        """One request inside TLS with `context`'s certificate; `where` (the
        tunnel's target, or the listener) goes into refused_tls when no
        request came."""
        web = self.server.web
        if context == PLAIN_INSIDE:
            sock.sendall(b'HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nplain')
            return
        # A client that refuses the certificate breaks the handshake off, or
        # (Wine) completes it and closes before it sends anything.
        try:
            tls = context.wrap_socket(sock, server_side=True)
        except (ssl.SSLError, OSError):
            served = False
        else:
            try:
                served = self._serve(tls, 'https')
            finally:
                tls.close()
        if not served:
            with web.lock:
                web.refused_tls.append(where)

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

    def _answer_download(self, sock, plan, request_head):
        if plan.delay:
            time.sleep(plan.delay)
        body = plan.body
        if plan.origin is not None:
            head, _, body = exchange(plan.origin, origin_form(request_head)).partition(
                b'\r\n\r\n')
        elif plan.raw_head is not None:
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


def origin_form(head):
    """A request head (without its blank line) as a proxy passes it on: the
    request line in origin form, the client's headers."""
    line, _, headers = head.partition(b'\r\n')
    method, target, version = line.split(b' ')
    if target.startswith(b'http://'):
        target = target[target.index(b'/', len(b'http://')):]
    return b' '.join((method, target, version)) + b'\r\n' + headers + b'\r\n\r\n'


def _send_range(sock, body, start, end, chunk):
    while start < end:
        piece = body[start:min(end, start + chunk)]
        sock.sendall(piece)
        start += len(piece)
    return start


def _relay(client, address):
    """Passes bytes both ways between the client and a server at `address`
    until either side closes."""
    with socket.create_connection(address, timeout=30) as server:
        sockets = [client, server]
        while True:
            readable, _, _ = select.select(sockets, [], [], 120)
            if not readable:
                return
            for source in readable:
                data = source.recv(65536)
                if not data:
                    return
                (server if source is client else client).sendall(data)


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

    def __init__(self, address='127.0.0.1', port=0, recorder=None, collector=None,
                 listen_tls=None):
        if not address.startswith('127.'):
            raise ValueError('test servers listen on loopback only')
        self.collector = collector      # (address, port) that reports are passed on to
        self.recorder = recorder or Recorder()
        self.tls = None                 # ssl.SSLContext that ends every tunnel, or None
        self.tls_for = {}               # host -> ssl.SSLContext for that host's tunnels
        self.pass_through = {}          # 'host:port' -> (address, port) to relay the tunnel to
        self.listen_tls = listen_tls    # every connection is TLS with this context (or PLAIN_INSIDE)
        self.refused_tls = []           # tunnels (CONNECT target) or listeners (address:port)
                                        # where the client sent no request inside TLS
        self.lock = threading.Lock()
        self.download = Download()
        self.report_answer = ReportAnswer()
        self._downloads = []
        self._report_answers = []
        self._server = _Server((address, port), _Handler)
        self._server.web = self
        self.address, self.port = self._server.server_address
        self._thread = threading.Thread(target=self._server.serve_forever, daemon=True)
        self._thread.start()

    @property
    def proxy_url(self):
        return 'http://%s:%d' % (self.address, self.port)

    def queue_download(self, *plans):
        with self.lock:
            self._downloads.extend(plans)

    def queue_report_answer(self, *answers):
        with self.lock:
            self._report_answers.extend(answers)

    def next_download(self):
        with self.lock:
            return self._downloads.pop(0) if self._downloads else self.download

    def next_report_answer(self):
        with self.lock:
            return self._report_answers.pop(0) if self._report_answers else self.report_answer

    def forward_report(self, head):
        """Passes a report on to the collector as a proxy does: the request
        line in origin form, the client's headers. Returns the collector's
        whole answer, or None when it could not be reached."""
        try:
            return exchange(self.collector, origin_form(head), timeout=10)
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
    in `db`: a SQLite file, or a PostgreSQL URI (harness/postgres.py); with
    admin=True also its admin listener on any free loopback port
    (admin_address). stop() ends it as a vendor would (SIGTERM: it stores
    what is queued) and returns its closing line. On PostgreSQL each one
    has a spool of its own in a temporary directory, unless `options` name
    one."""

    def __init__(self, db, address='127.0.0.1', port=0, options=(), admin=False, log=None):
        if not address.startswith('127.'):
            raise ValueError('test servers listen on loopback only')
        self.db = db
        # Standard error to the file `log` (appended), when given.
        self._log = open(log, 'ab') if log else None
        admin_options = ['--admin-listen', '127.0.0.1:0'] if admin else []
        self._spool_dir = None
        if db.startswith('postgresql://') and '--spool' not in options:
            self._spool_dir = tempfile.mkdtemp(prefix='lvspool-')
            admin_options += ['--spool', os.path.join(self._spool_dir, 'lvcollect.spool')]
        self.process = subprocess.Popen(
            [paths.LVCOLLECT, 'serve', '--listen', '%s:%d' % (address, port), '--db', db]
            + admin_options + list(options),
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self._log, text=True)
        self.admin_address = self._address('lvcollect: admin listening on ') if admin else None
        self.address = self._address('lvcollect: listening on ')

    def _address(self, prefix):
        line = self.process.stdout.readline()
        if not line.startswith(prefix):
            self.process.kill()
            self.process.wait(10)
            raise RuntimeError('lvcollect did not start: %r' % line)
        host, _, port = line.split()[-1].rpartition(':')
        return host, int(port)

    def stop(self, exit_code=0, signal_number=signal.SIGTERM):
        """Ends the server; returns the line in which it counts what it did.
        It exits with 1 when some answered reports could not be stored."""
        if self.process.poll() is None:
            self.process.send_signal(signal_number)
        out, _ = self.process.communicate(timeout=60)
        self._remove_spool()
        assert self.process.returncode == exit_code, out
        return out.strip()

    def _remove_spool(self):
        if self._log:
            self._log.close()
            self._log = None
        if self._spool_dir:
            shutil.rmtree(self._spool_dir, ignore_errors=True)
            self._spool_dir = None

    def admin_get(self, path, method='GET'):
        """(status, headers as a dict of lower-case names, body) of one
        request to the admin listener."""
        answer = exchange(self.admin_address,
                          b'%s %s HTTP/1.0\r\nHost: monitor\r\n\r\n' % (method.encode(), path.encode()))
        head, _, body = answer.partition(b'\r\n\r\n')
        lines = head.decode('latin-1').split('\r\n')
        headers = dict((name.strip().lower(), value.strip()) for name, _, value in
                       (line.partition(':') for line in lines[1:]))
        return int(lines[0].split(' ')[1]), headers, body

    def metrics(self):
        """GET /metrics, as {sample name with its labels: value}."""
        status, _, body = self.admin_get('/metrics')
        assert status == 200, body
        samples = {}
        for line in body.decode().splitlines():
            if line and not line.startswith('#'):
                name, _, value = line.rpartition(' ')
                samples[name] = float(value)
        return samples

    def summary(self):
        """lvcollect summary --json, as a dict."""
        out = subprocess.run([paths.LVCOLLECT, 'summary', '--db', self.db, '--json'],
                             stdout=subprocess.PIPE, check=True, timeout=60).stdout
        return json.loads(out)

    def rows(self, sql):
        """The rows of a query on the store, texts as bytes."""
        if self.db.startswith('postgresql://'):
            from . import postgres      # only the PostgreSQL tests need its driver
            return postgres.rows(self.db, sql)
        with sqlite3.connect(self.db) as db:
            db.text_factory = bytes
            return db.execute(sql).fetchall()

    def execute(self, sql):
        """Runs a statement that changes the store."""
        if self.db.startswith('postgresql://'):
            from . import postgres
            return postgres.execute(self.db, sql)
        with sqlite3.connect(self.db) as db:
            db.execute(sql)

    def __enter__(self):
        return self

    def kill(self):
        """SIGKILL, as a crash or the kernel's out-of-memory killer ends it:
        its spool, if any, stays."""
        self.process.kill()
        self.process.wait(10)

    def __exit__(self, *exc):
        if self.process.poll() is None:
            self.kill()
        self._remove_spool()


class SlowClients:
    """`count` connections to a loopback server, each sending `request` a
    few bytes at a time (`step` bytes every `interval` seconds) and never
    finishing it: as soon as the server cuts one off, it is opened again.
    They run in a child process, so that the caller's own timing is not
    disturbed, and stop by themselves after `seconds` at most.

        with SlowClients(address, 200, 20, request) as slow:
            slow.wait_open()        # every connection opened once
            ...
        slow.figures                # {'opened': ..., 'cut': ...}
    """

    def __init__(self, address, count, seconds, request, step=2, interval=0.5):
        if not address[0].startswith('127.'):
            raise ValueError('test clients connect to loopback only')
        self.figures = None
        self._stop = multiprocessing.Event()
        self._open = multiprocessing.Event()
        self._results = multiprocessing.Queue()
        self._process = multiprocessing.Process(
            target=_slow_clients, daemon=True,
            args=(address, count, seconds, request, step, interval, self._stop, self._open,
                  self._results))

    def wait_open(self, timeout=60):
        if not self._open.wait(timeout):
            raise TimeoutError('the slow clients did not open their connections')

    def __enter__(self):
        self._process.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        try:
            self.figures = self._results.get(timeout=60)
        finally:
            self._process.join(10)
            if self._process.is_alive():
                self._process.kill()
                self._process.join(10)


def _slow_clients(address, count, seconds, request, step, interval, stop, opened, results):
    selector = selectors.DefaultSelector()
    sent = {}                   # socket: bytes of the request sent so far
    figures = {'opened': 0, 'cut': 0}

    def open_one():
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setblocking(False)
        try:
            sock.connect(address)
        except (BlockingIOError, InterruptedError):
            pass
        except OSError:         # no port left for the moment: the next round retries
            sock.close()
            return
        sent[sock] = 0
        selector.register(sock, selectors.EVENT_READ)
        figures['opened'] += 1

    def cut(sock):
        selector.unregister(sock)
        sock.close()
        del sent[sock]
        figures['cut'] += 1

    end = time.monotonic() + seconds
    # Opened in batches, each let through the listen queue before the next.
    while len(sent) < count and time.monotonic() < end and not stop.is_set():
        for _ in range(min(500, count - len(sent))):
            open_one()
        time.sleep(0.05)
    opened.set()
    next_step = time.monotonic()
    while time.monotonic() < end and not stop.is_set():
        for key, _ in selector.select(max(0.0, min(next_step - time.monotonic(), 0.1))):
            try:
                data = key.fileobj.recv(4096)
            except (BlockingIOError, InterruptedError):
                continue
            except OSError:
                data = b''
            if not data:
                cut(key.fileobj)
        if time.monotonic() < next_step:
            continue
        next_step += interval
        for sock in list(sent):
            at = sent[sock]
            try:
                sock.send(request[at:at + step])
                # Never the last bytes: the request stays unfinished.
                sent[sock] = (at + step) % (len(request) - 4)
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                cut(sock)
        while len(sent) < count:
            before = len(sent)
            open_one()
            if len(sent) == before:
                break
    for sock in sent:
        sock.close()
    results.put(figures)


class Nginx:
    """Debian's nginx on loopback, run as root from a private configuration
    in `directory` (its log, pid and temporary files there too). `servers`
    is the text of the http block's server sections; the access log is
    directory/access.log. stop() ends it and waits."""

    def __init__(self, directory, servers, workers=1, port=None):
        os.makedirs(directory, exist_ok=True)
        self.directory = directory
        self.access_log = os.path.join(directory, 'access.log')
        conf = os.path.join(directory, 'nginx.conf')
        with open(conf, 'w') as f:
            f.write(NGINX_CONF % {'dir': directory, 'workers': workers, 'servers': servers})
        self.process = subprocess.Popen(
            ['nginx', '-e', os.path.join(directory, 'error.log'), '-p', directory, '-c', conf],
            stdin=subprocess.DEVNULL)
        if port and not _await_listening(self.process, port, 10):
            self.stop()
            raise RuntimeError('nginx did not start: %s'
                               % _tail(os.path.join(directory, 'error.log')))

    def pids(self):
        """The master and its workers."""
        try:
            with open('/proc/%d/task/%d/children' % (self.process.pid, self.process.pid)) as f:
                return [self.process.pid] + [int(pid) for pid in f.read().split()]
        except OSError:
            return [self.process.pid]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(15)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(10)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class FileOrigin(Nginx):
    """Debian's nginx serving the files under `root` on a free loopback
    port, as a vendor's download host does: its own ranges, ETag and
    Last-Modified. `address` is what a `Download`'s origin takes; answers()
    reads its log, one Answer per request. `settings`: more directives for
    its server block (max_ranges 0;, say)."""

    Answer = collections.namedtuple('Answer', 'path status bytes range if_range')

    def __init__(self, directory, settings=''):
        self.root = os.path.join(directory, 'files')
        os.makedirs(self.root, exist_ok=True)
        self.address = ('127.0.0.1', free_port())
        super().__init__(directory, FILE_ORIGIN % {'port': self.address[1], 'root': self.root,
                                                   'settings': settings},
                         port=self.address[1])

    def put(self, path, data, mtime=None):
        """Serves `data` at `path` (no leading slash), modified at `mtime`."""
        name = os.path.join(self.root, path)
        os.makedirs(os.path.dirname(name), exist_ok=True)
        with open(name, 'wb') as f:
            f.write(data)
        if mtime is not None:
            os.utime(name, (mtime, mtime))

    def answers(self):
        with open(os.path.join(self.directory, 'origin.log')) as f:
            return [self.Answer(*json.loads(line)) for line in f]


FILE_ORIGIN = """    log_format origin escape=json '["$uri", $status, $body_bytes_sent, "$http_range", "$http_if_range"]';
    server {
        listen 127.0.0.1:%(port)d;
        root %(root)s;
        access_log %(root)s/../origin.log origin;
        %(settings)s
    }
"""


NGINX_CONF = """daemon off;
user root;
worker_processes %(workers)s;
worker_rlimit_nofile 20000;
pid %(dir)s/nginx.pid;
events { worker_connections 12000; }
http {
    access_log %(dir)s/access.log;
    client_body_temp_path %(dir)s/body;
    proxy_temp_path %(dir)s/proxy;
    fastcgi_temp_path %(dir)s/fastcgi;
    uwsgi_temp_path %(dir)s/uwsgi;
    scgi_temp_path %(dir)s/scgi;
%(servers)s
}
"""


NGINX_TLS_FRONT = """    server {
        listen 127.0.0.1:%(port)d ssl;
        ssl_certificate %(chain)s;
        ssl_certificate_key %(key)s;
        location / {
            proxy_pass http://%(upstream)s;
            proxy_set_header Host $host;
            proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
            %(bind)s
        }
    }
"""


def tls_front(directory, chain, key, upstream, bind=None):
    """nginx ending TLS in front of lvcollect as the README sets it up: on a
    free loopback port (its .address) with the certificate chain and key,
    passing each request on to `upstream` (address, port) with the client's
    address appended to X-Forwarded-For. `bind`: the loopback address it
    connects to the upstream from, so that the collector's peer is told
    apart from the client."""
    port = free_port()
    front = Nginx(str(directory), NGINX_TLS_FRONT % {
        'port': port, 'chain': chain, 'key': key, 'upstream': '%s:%d' % tuple(upstream),
        'bind': 'proxy_bind %s;' % bind if bind else ''}, port=port)
    front.address = ('127.0.0.1', port)
    return front


class Squid:
    """Debian's squid on a loopback port, run as root from a private
    configuration in a directory of its own (made for squid's `proxy` user:
    its logs, pid file and a memory-only cache), in front of one parent
    origin server on loopback, so that it needs no name lookups. `rules` are
    refresh_pattern lines. access_entries() reads its access log."""

    def __init__(self, origin_port, rules=('refresh_pattern . 60 20% 4320',)):
        self.directory = tempfile.mkdtemp(prefix='lvsquid-')
        user = pwd.getpwnam('proxy')
        os.chown(self.directory, user.pw_uid, user.pw_gid)
        self.port = free_port()
        self.access_log = os.path.join(self.directory, 'access.log')
        conf = os.path.join(self.directory, 'squid.conf')
        with open(conf, 'w') as f:
            f.write(SQUID_CONF % {'dir': self.directory, 'port': self.port,
                                  'origin': origin_port, 'rules': '\n'.join(rules)})
        self.process = subprocess.Popen(['squid', '-N', '-f', conf], stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if not _await_listening(self.process, self.port, 30):
            log = _tail(os.path.join(self.directory, 'cache.log'))
            self.stop()
            raise RuntimeError('squid did not start: %s' % log)

    @property
    def proxy_url(self):
        return 'http://127.0.0.1:%d' % self.port

    def access_entries(self):
        """Every logged request as (squid's result code, method, URL)."""
        try:
            with open(self.access_log, encoding='latin-1') as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        entries = []
        for line in lines:
            fields = line.split()
            if len(fields) >= 7:
                entries.append((fields[3].split('/')[0], fields[5], fields[6]))
        return entries

    def get(self, url):
        """One HTTP/1.0 request through squid; its answer's status line."""
        host = urllib.parse.urlsplit(url).netloc
        answer = exchange(('127.0.0.1', self.port),
                          b'GET %s HTTP/1.0\r\nHost: %s\r\n\r\n' % (url.encode(), host.encode()))
        return answer.split(b'\r\n', 1)[0]

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(10)
        shutil.rmtree(self.directory, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


SQUID_CONF = """http_port 127.0.0.1:%(port)d
visible_hostname lvtest
pid_filename %(dir)s/squid.pid
access_log stdio:%(dir)s/access.log squid
strip_query_terms off
cache_log %(dir)s/cache.log
cache_store_log none
coredump_dir %(dir)s
logfile_rotate 0
pinger_enable off
shutdown_lifetime 0 seconds
cache_mem 32 MB
maximum_object_size_in_memory 8 MB
cache_peer 127.0.0.1 parent %(origin)d 0 no-query originserver name=origin
never_direct allow all
http_access allow localhost
http_access deny all
%(rules)s
"""


def _await_listening(process, port, seconds):
    """Whether `process` listens on the loopback port within `seconds`."""
    deadline = time.monotonic() + seconds
    while process.poll() is None and time.monotonic() < deadline:
        try:
            socket.create_connection(('127.0.0.1', port), timeout=1).close()
            return True
        except OSError:
            time.sleep(0.05)
    return False


def _tail(path):
    try:
        with open(path, errors='replace') as f:
            return f.read()[-2000:]
    except OSError:
        return ''


def exchange(address, data, timeout=30):
    """Sends `data` on a new connection; everything that comes back until
    the server closes."""
    with socket.create_connection(address, timeout=timeout) as sock:
        sock.sendall(data)
        answer = b''
        while True:
            received = sock.recv(65536)
            if not received:
                return answer
            answer += received


def free_port():
    """A loopback port that nothing listens on at the moment."""
    with socket.socket() as sock:
        sock.bind(('127.0.0.1', 0))
        return sock.getsockname()[1]


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
