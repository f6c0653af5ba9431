"""A private PostgreSQL server for the tests: Debian's own initdb and pg_ctl
on a fresh cluster in a temporary directory, listening on a free loopback
port only, stopped and removed by close().

PostgreSQL refuses to run as root, so when the tests run as root the
cluster belongs to the `postgres` user (which Debian's package creates) and
its directory is made in /tmp, where that user can reach it (pytest's own
temporary directories are private to root)."""
import glob
import os
import pwd
import re
import shutil
import socket
import struct
import subprocess
import tempfile
import threading
import time

import psycopg2

SERVER_USER = 'postgres'
START_TIMEOUT = 60       # seconds that pg_ctl waits for the server to start or stop


def bin_dir():
    """The newest installed server's programs, e.g. /usr/lib/postgresql/15/bin."""
    found = glob.glob('/usr/lib/postgresql/*/bin/initdb')
    if not found:
        raise RuntimeError('PostgreSQL is not installed: run tools/setup-host')
    newest = max(found, key=lambda p: int(re.search(r'/postgresql/(\d+)/', p).group(1)))
    return os.path.dirname(newest)


def free_port():
    with socket.socket() as sock:
        sock.bind(('127.0.0.1', 0))
        return sock.getsockname()[1]


class PostgresServer:
    """One cluster with trust authentication for its superuser `postgres`,
    on 127.0.0.1 only. stop() and start() keep its data and its port, as a
    database host that restarts."""

    def __init__(self):
        self.bin = bin_dir()
        self.dir = tempfile.mkdtemp(prefix='lv-postgres-')
        self.data = os.path.join(self.dir, 'data')
        self.log = os.path.join(self.dir, 'server.log')
        self.running = False
        self._databases = 0
        self.as_user = []
        if os.geteuid() == 0:
            account = pwd.getpwnam(SERVER_USER)
            os.chown(self.dir, account.pw_uid, account.pw_gid)
            self.as_user = ['runuser', '-u', SERVER_USER, '--']
        try:
            self._run('initdb', '-D', self.data, '-U', 'postgres', '--auth=trust', '-E', 'UTF8',
                      '--no-sync', '--no-instructions')
            self.port = free_port()
            with open(os.path.join(self.data, 'postgresql.conf'), 'a') as conf:
                conf.write("listen_addresses = '127.0.0.1'\nport = %d\n"
                           "unix_socket_directories = '%s'\n" % (self.port, self.dir))
            self.start()
        except BaseException:
            self.close()
            raise

    def _run(self, program, *args):
        command = self.as_user + [os.path.join(self.bin, program)] + list(args)
        run = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                             timeout=START_TIMEOUT + 30)
        if run.returncode != 0:
            log = open(self.log).read()[-2000:] if os.path.exists(self.log) else ''
            raise RuntimeError('%s failed: %s\n%s' % (program, run.stdout, log))

    def start(self):
        self._run('pg_ctl', '-D', self.data, '-l', self.log, '-w', '-t', str(START_TIMEOUT), 'start')
        self.running = True

    def stop(self, mode='fast'):
        """'fast' ends every session and shuts down cleanly; 'immediate' is a crash."""
        self._run('pg_ctl', '-D', self.data, '-m', mode, '-w', '-t', str(START_TIMEOUT), 'stop')
        self.running = False

    def uri(self, database='postgres'):
        return 'postgresql://postgres@127.0.0.1:%d/%s' % (self.port, database)

    def create_database(self):
        """A new empty database of this cluster; its URI."""
        self._databases += 1
        name = 'reports_%d' % self._databases
        connection = psycopg2.connect(self.uri())
        try:
            connection.autocommit = True
            with connection.cursor() as cursor:
                cursor.execute('CREATE DATABASE %s' % name)
        finally:
            connection.close()
        return self.uri(name)

    def dump(self, uri):
        """pg_dump's plain SQL of a database, as bytes: every row it holds."""
        return subprocess.run([os.path.join(self.bin, 'pg_dump'), '--no-password', uri],
                              stdout=subprocess.PIPE, check=True, timeout=120).stdout

    def close(self):
        if self.running:
            self.stop('immediate')
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def rows(uri, sql):
    """The rows of a query, texts and byte strings as bytes (as the SQLite
    store's rows are read)."""
    connection = psycopg2.connect(uri)
    try:
        with connection.cursor() as cursor:
            cursor.execute(sql)
            return [tuple(bytes(v) if isinstance(v, memoryview) else
                          v.encode() if isinstance(v, str) else v for v in row)
                    for row in cursor.fetchall()]
    finally:
        connection.close()


def execute(uri, sql):
    """Runs a statement and commits it."""
    connection = psycopg2.connect(uri)
    try:
        with connection, connection.cursor() as cursor:
            cursor.execute(sql)
    finally:
        connection.close()


class CommitCutter:
    """A loopback relay to a PostgreSQL server that, once armed, passes the
    next COMMIT on to the server and then breaks the connection before the
    answer comes back: the transaction is in, and the client cannot know.
    Clients reach it with uri(database), which turns encryption off so that
    the relay can read the messages."""

    def __init__(self, server_port):
        self.server_port = server_port
        self.listener = socket.create_server(('127.0.0.1', 0))
        self.port = self.listener.getsockname()[1]
        self.armed = threading.Event()
        self.cut = threading.Event()
        threading.Thread(target=self._accept, daemon=True).start()

    def uri(self, database):
        return ('postgresql://postgres@127.0.0.1:%d/%s?sslmode=disable&gssencmode=disable'
                % (self.port, database))

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(('127.0.0.1', self.server_port))
            answering = threading.Event()     # cleared once the connection is cut
            answering.set()
            threading.Thread(target=self._answers, args=(server, client, answering), daemon=True).start()
            threading.Thread(target=self._requests, args=(client, server, answering), daemon=True).start()

    @staticmethod
    def _read(sock, size):
        data = b''
        while len(data) < size:
            chunk = sock.recv(size - len(data))
            if not chunk:
                raise EOFError
            data += chunk
        return data

    def _requests(self, client, server, answering):
        try:
            # The start-up message has no type byte; every later one has.
            length = self._read(client, 4)
            server.sendall(length + self._read(client, struct.unpack('!i', length)[0] - 4))
            while True:
                head = self._read(client, 5)
                body = self._read(client, struct.unpack('!i', head[1:])[0] - 4)
                commit = head[:1] == b'Q' and body.startswith(b'COMMIT')
                if commit and self.armed.is_set():
                    self.armed.clear()
                    answering.clear()
                    server.sendall(head + body)
                    time.sleep(0.5)         # the server commits meanwhile
                    self.cut.set()
                    break
                server.sendall(head + body)
        except (EOFError, OSError):
            pass
        for sock in (client, server):
            sock.close()

    @staticmethod
    def _answers(server, client, answering):
        try:
            while True:
                data = server.recv(65536)
                if not data or not answering.is_set():
                    break
                client.sendall(data)
        except OSError:
            pass

    def close(self):
        self.listener.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class StallingRelay:
    """A loopback relay to a PostgreSQL server that passes bytes both ways
    until stall(): from then on it takes whatever either side sends and
    passes nothing on, not even a close, as a database host that stops
    answering while its connections stay up; new connections are accepted
    and never answered. resume() ends every connection that the stall held
    (a host that comes back has lost them) and passes bytes again."""

    def __init__(self, server_port):
        self.server_port = server_port
        self.listener = socket.create_server(('127.0.0.1', 0))
        self.port = self.listener.getsockname()[1]
        self.stalled = threading.Event()
        self._lock = threading.Lock()
        self._open = set()          # every socket of the relay's connections
        threading.Thread(target=self._accept, daemon=True).start()

    def uri(self, database):
        return 'postgresql://postgres@127.0.0.1:%d/%s' % (self.port, database)

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            with self._lock:
                self._open.add(client)
            if self.stalled.is_set():
                continue            # held, never answered
            try:
                server = socket.create_connection(('127.0.0.1', self.server_port))
            except OSError:
                self._close(client)
                continue
            with self._lock:
                self._open.add(server)
            threading.Thread(target=self._pump, args=(client, server), daemon=True).start()
            threading.Thread(target=self._pump, args=(server, client), daemon=True).start()

    def _pump(self, source, target):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                if not self.stalled.is_set():
                    target.sendall(data)
        except OSError:
            pass
        if not self.stalled.is_set():
            self._close(source, target)

    def _close(self, *socks):
        with self._lock:
            for sock in socks:
                self._open.discard(sock)
                sock.close()

    def stall(self):
        self.stalled.set()

    def resume(self):
        with self._lock:
            held, self._open = self._open, set()
        for sock in held:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()
        self.stalled.clear()

    def close(self):
        self.listener.close()
        self.resume()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
