"""Figures of lvdownload.exe against its yardsticks (make bench).

  size      the bytes of the program by part, from its PE headers, those
            of a build that pins the installer's digest and of one that
            checks the installer's signer, and those of the copy that make
            sign writes (throwaway certificate)
  transfer  a large download over loopback: the program's transfer phase
            against benchget's floor (the same WinINet calls, reads, writes
            and one SendMessageA per chunk), the floor with a visible bar,
            without the messages and without the writes, native curl, and
            a build that pins the installer's digest (configured here for
            the large body, as a vendor pins one); rounds alternate, and
            the differences say where the time goes
  https     the large download by an HTTPS build (TLS through the proxy's
            tunnel) against the same by the default build over plain HTTP,
            rounds alternating in one Wine session; run inside a private
            mount namespace whose certificate bundle trusts a throwaway
            root, as the TLS tests are
  hash      the speed of the program's SHA-256 under Wine
  publisher the time the publisher check (INSTALLER_SIGNER) takes under
            Wine for the signed test installer and a signed 50 MB file
  memory    peak resident memory of the program's Wine process for a small
            and a large download
  start-up  start to visible dialog, against mindialog (the smallest dialog
            program), under the same Wine
  reports   what one report exchange adds on loopback
  scale     (only with --only scale) lvcollect's reads, store size and
            upgrade at 100 thousand, 1 million and 10 million stored
            reports, and its rate with a connection per report at 64 and
            1,000 connections, beside an earlier build (--beside)
  collector reports per second that lvcollect, the vendor's collector,
            stores on loopback under wrk, into SQLite and into PostgreSQL
            (one collector, and two that share the database), stored rows
            against requests, peak memory and CPU, beside nginx in the same
            run; ordinary reports beside 2,000 slow connections; memory with
            10,000 idle connections; needs no Wine

Everything runs in one private Wine session (own prefix, wineserver, Xvfb)
against one loopback server reached through Wine's http_proxy. These are
figures to read, not tests: nothing here fails on a target. Take them on an
idle machine (uptime load below 1).
"""
import argparse
import concurrent.futures
import datetime
import hashlib
import os
import platform
import re
import shutil
import signal
import socket
import sqlite3
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                'tests'))

from harness import host, languages, paths, signing, tls   # noqa: E402
from harness.job import INSTALL_KEY, installer_body, run_jobhost  # noqa: E402
from harness.postgres import PostgresServer, rows as pg_rows  # noqa: E402
from harness.protocol import origin_form, result_url  # noqa: E402
from harness.web import (Collector, Download, FileOrigin, LoopbackWeb, Nginx, SlowClients,  # noqa: E402
                         exchange, free_port)
from harness.wine import WINE, session_or_exit  # noqa: E402

TARGET_SIZE = 29696
TARGET_RESUME_EXTRA = 1024     # bytes a RESUME build may add
TARGET_RATIO = 1.15             # program's phase / floor's phase
TARGET_MEMORY = 1 << 20         # peak RSS, large download minus small
SERVER_CHUNK = 1 << 20          # the server's sends: keeps its own cost low
MARKER = '/foo.bar?bench=done'  # answered like a report
CAPTION = 'Lumenvast Player'
BENCHGET = paths.test_program('benchget')
MINDIALOG = paths.test_program('mindialog')
HTTPS_PROGRAM = paths.test_program('lvdownload-https')
DOWNLOAD_URL = 'http://%s/%s' % (paths.DOWNLOAD_HOST, paths.OBJECT_PATH)


def mb(n):
    return '%.1f MB' % (n / 1e6)


def median(values):
    return statistics.median(values) if values else float('nan')


def spread(values, unit='s', scale=1.0):
    """median (min to max) of a list, for the tables."""
    if not values:
        return 'n/a'
    return '%.3f %s (%.3f to %.3f, n=%d)' % (median(values) * scale, unit, min(values) * scale,
                                            max(values) * scale, len(values))


# Size ----------------------------------------------------------------------

RESOURCE_TYPES = {2: 'logo (bitmap)', 5: 'dialog template', 6: 'string table', 24: 'manifest'}


def pe_parts(path):
    """(header bytes in the file and used, [(section, file bytes, bytes used)],
    {resource type: bytes}, total file bytes)."""
    with open(path, 'rb') as f:
        data = f.read()
    pe = struct.unpack_from('<I', data, 0x3c)[0]
    if data[pe:pe + 4] != b'PE\0\0':
        raise ValueError('%s is not a PE file' % path)
    sections_count, optional_size = struct.unpack_from('<H12xH', data, pe + 6)
    optional = pe + 24
    if struct.unpack_from('<H', data, optional)[0] != 0x10b:
        raise ValueError('%s is not PE32' % path)
    headers_size = struct.unpack_from('<I', data, optional + 60)[0]
    resource_rva = struct.unpack_from('<I', data, optional + 96 + 2 * 8)[0]
    sections = []
    resource_base = None
    table = optional + optional_size
    for i in range(sections_count):
        name, virtual_size, rva, raw_size, raw_offset = struct.unpack_from(
            '<8sIIII', data, table + 40 * i)
        name = name.rstrip(b'\0').decode()
        sections.append((name, raw_size, min(virtual_size, raw_size) if raw_size else virtual_size))
        if rva == resource_rva:
            resource_base = (rva, raw_offset)
    resources = {}

    def walk(offset, type_id, depth):
        named, ids = struct.unpack_from('<12xHH', data, resource_base[1] + offset)
        for i in range(named + ids):
            name, target = struct.unpack_from('<II', data, resource_base[1] + offset + 16 + 8 * i)
            key = name if depth == 0 else type_id
            if target & 0x80000000:
                walk(target & 0x7fffffff, key, depth + 1)
            else:
                size = struct.unpack_from('<4xI', data, resource_base[1] + target)[0]
                resources[key] = resources.get(key, 0) + size
    if resource_base:
        walk(0, None, 0)
    return (headers_size, table + 40 * sections_count), sections, resources, len(data)


def report_size():
    headers, sections, resources, total = pe_parts(paths.LVDOWNLOAD_WIN32)
    print('Size of %s: %d bytes (target at most %d: %s)' % (
        os.path.relpath(paths.LVDOWNLOAD_WIN32, paths.REPO), total, TARGET_SIZE,
        'met' if total <= TARGET_SIZE else 'MISSED'))
    print('  %-28s %7s %7s' % ('part', 'file', 'used'))
    print('  %-28s %7d %7d' % ('headers', headers[0], headers[1]))
    kinds = {'.text': 'code', '.rdata': 'data', '.data': 'data', '.bss': 'data, memory only',
             '.idata': 'imports', '.rsrc': 'resources'}
    accounted = headers[0]
    for name, raw, used in sections:
        print('  %-28s %7d %7d' % ('%s %s' % (kinds.get(name, 'other'), name), raw, used))
        accounted += raw
        if name == '.rsrc':
            for type_id, size in sorted(resources.items()):
                print('    %-26s %7s %7d' % (RESOURCE_TYPES.get(type_id, 'type %s' % type_id),
                                             '', size))
            print('    %-26s %7s %7d' % ('directory', '', used - sum(resources.values())))
    padding = headers[0] - headers[1] + sum(raw - used for _, raw, used in sections if raw)
    print('  %-28s %7d' % ('of which file-alignment padding', padding))
    if accounted != total:
        print('  %-28s %7d' % ('beyond the sections', total - accounted))
    for name, what in (('lvdownload-pinned', 'pins the installer\'s digest'),
                       ('lvdownload-signer', 'checks the installer\'s signer'),
                       ('lvdownload-https', 'downloads and reports over HTTPS'),
                       ('lvdownload-resume', 'resumes a download (target at most %+d)'
                        % TARGET_RESUME_EXTRA)):
        variant = os.path.join(os.path.dirname(paths.LVDOWNLOAD_WIN32), 'tests', name + '.exe')
        if os.path.exists(variant):
            size = os.path.getsize(variant)
            print('A build that %s (%s): %d bytes, %+d' % (
                what, os.path.relpath(variant, paths.REPO), size, size - total))
    # The language builds, where make languages (or make UI_LANGUAGE=...) built them.
    for language in languages.translated():
        program = language.program(build='win32')
        if os.path.exists(program):
            _, _, parts, size = pe_parts(program)
            print('In %s (%s): %d bytes, %+d; its string table %d bytes, its template %d' % (
                language.name, os.path.relpath(program, paths.REPO), size, size - total,
                parts.get(6, 0), parts.get(5, 0)))
    report_signed_size(total)
    print()
    return total


def report_signed_size(unsigned):
    """The signed copy, as make sign writes it, with a throwaway root and
    code-signing certificate (RSA, 2048 bits), both in the signature, and no
    timestamp."""
    with tempfile.TemporaryDirectory() as folder:
        program = os.path.join(folder, 'lvdownload.exe')
        shutil.copy(paths.LVDOWNLOAD_WIN32, program)
        run = signing.sign(signing.make_authority(folder), [program])
        if run.returncode:
            print('Signed copy: none, %s' % run.stderr.strip())
            return
        signed = os.path.getsize(signing.signed_name(program))
    print('Signed copy (make sign; throwaway RSA-2048 certificate and root, no timestamp): '
          '%d bytes, of which the signature %d (%.1f %%)'
          % (signed, signed - unsigned, 100.0 * (signed - unsigned) / signed))


# Runs under Wine ---------------------------------------------------------------

def make_body(size):
    """The test installer padded with zeros: it still runs, and stores 0."""
    body = installer_body()
    return memoryview(body + b'\0' * (size - len(body)))


# A child's ru_maxrss also counts the memory of the process that forked it:
# the kernel carries the old image's high-water mark across exec, and this
# process holds the large body. So Wine programs are started by a small
# launcher with posix_spawn, which leaves the launcher's own image (printed
# with the figures) as the only floor under the child's figure.
LAUNCHER = """
import os, sys
with open('/proc/self/status') as f:
    own = [int(l.split()[1]) * 1024 for l in f if l.startswith('VmHWM:')][0]
pid = os.posix_spawnp(sys.argv[2], sys.argv[2:], os.environ, file_actions=[
    (os.POSIX_SPAWN_OPEN, 1, sys.argv[1], os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)])
print(pid, flush=True)
_, status, usage = os.wait4(pid, 0)
print(os.waitstatus_to_exitcode(status), usage.ru_maxrss * 1024, own,
      usage.ru_utime + usage.ru_stime, flush=True)
"""


def cpu_seconds(pid):
    with open('/proc/%d/stat' % pid) as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf('SC_CLK_TCK')


def run_measured(bench, program, args=(), extra_env=None):
    """Runs `wine program args` through the launcher and returns what was
    measured: start and end times, the output, the exit code, ru_maxrss,
    the launcher's own peak, the pid as /proc showed it, the highest VmHWM
    seen there, and the CPU seconds of the process, of the session's
    wineserver and of its X server over the run."""
    output = os.path.join(bench.wine.dir, 'bench.out')
    launcher = subprocess.Popen(
        [sys.executable, '-S', '-c', LAUNCHER, output, WINE, program] + list(args),
        env=bench.wine.environment(bench.web.proxy_url, extra_env), stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    servers = [cpu_seconds(pid) for pid in bench.server_pids]
    try:
        pid = int(launcher.stdout.readline())
        started = time.monotonic()
        identity, hwm = watch_proc(pid, launcher)
        ended = time.monotonic()
        code, maxrss, own, cpu = launcher.stdout.read().split()
    finally:
        if launcher.poll() is None:
            launcher.kill()
        launcher.wait()
        launcher.stdout.close()
    server_cpu, x_cpu = (cpu_seconds(pid) - before
                         for pid, before in zip(bench.server_pids, servers))
    with open(output) as f:
        text = f.read()
    return {'started': started, 'ended': ended, 'output': text, 'code': int(code),
            'maxrss': int(maxrss), 'launcher': int(own), 'identity': identity, 'hwm': hwm,
            'cpu': float(cpu), 'server_cpu': server_cpu, 'x_cpu': x_cpu}


def watch_proc(pid, launcher):
    """What /proc says of the pid until the launcher ends: its command line
    and executable (last seen) and the highest VmHWM."""
    identity = None
    hwm = 0
    while launcher.poll() is None:
        try:
            with open('/proc/%d/cmdline' % pid, 'rb') as f:
                command = f.read().replace(b'\0', b' ').decode('latin-1').strip()
            exe = os.readlink('/proc/%d/exe' % pid)
            with open('/proc/%d/status' % pid) as f:
                for line in f:
                    if line.startswith('VmHWM:'):
                        hwm = max(hwm, int(line.split()[1]) * 1024)
            identity = 'pid %d: %s (executable %s)' % (pid, command, exe)
        except OSError:
            pass
        time.sleep(0.02)
    return identity, hwm


def session_wineserver(wine):
    """The pid of the session's own wineserver."""
    for entry in os.listdir('/proc'):
        if not entry.isdigit():
            continue
        try:
            if not os.readlink('/proc/%s/exe' % entry).startswith('/usr/lib/wine/wineserver'):
                continue
            with open('/proc/%s/environ' % entry, 'rb') as f:
                if b'WINEPREFIX=' + wine.prefix.encode() + b'\0' in f.read():
                    return int(entry)
        except OSError:
            continue
    raise RuntimeError('the session\'s wineserver was not found')


class Bench:
    def __init__(self, wine, web):
        self.wine = wine
        self.web = web
        self.server_pids = (session_wineserver(wine), wine.xvfb.process.pid)

    def _new_requests(self, first):
        return self.web.recorder.all()[first:]

    def product(self, body, program=paths.LVDOWNLOAD):
        """One whole run of lvdownload.exe; times from the server's view."""
        self.wine.clean_temp()
        self.web.queue_download(Download(body=body, chunk=SERVER_CHUNK))
        first = len(self.web.recorder.all())
        run = run_measured(self, program, extra_env={'LVTEST_INSTALLER': '0'})
        # An HTTPS build's tunnels come before its requests.
        requests = [r for r in self._new_requests(first) if r.kind != 'connect']
        kinds = [r.kind for r in requests]
        if run['code'] != 0 or kinds != ['report', 'download', 'report']:
            raise RuntimeError('a run ended with %d after the requests %r' % (
                run['code'], [r.target for r in requests]))
        start_report, download, result_report = requests
        fields = dict(urllib.parse.parse_qsl(result_report.query))
        if fields.get('action') != 'success' or fields.get('totalbytes') != str(len(body)):
            raise RuntimeError('the run did not succeed: %s' % result_report.query)
        run.update(phase=result_report.time - download.time,
                   report_gap=download.time - start_report.time,
                   to_start_report=start_report.time - run['started'])
        return run

    def benchget(self, mode, body):
        """One run of benchget floor, bar, bare or discard: download to marker."""
        self.web.queue_download(Download(body=body, chunk=SERVER_CHUNK))
        first = len(self.web.recorder.all())
        run = run_measured(self, BENCHGET, [mode, paths.DOWNLOAD_HOST, paths.OBJECT_PATH, MARKER])
        requests = self._new_requests(first)
        words = run['output'].split()
        kinds = [r.kind for r in requests]
        expected = ['report', 'download', 'report']
        if run['code'] or kinds != expected or words[1:2] != [str(len(body))]:
            raise RuntimeError('benchget %s failed: %r' % (mode, run['output']))
        start_marker, download, end_marker = requests
        run.update(phase=end_marker.time - download.time, chunks=int(words[3]),
                   report_gap=download.time - start_marker.time,
                   first_exchange=float(words[5]) / 1000, inside=float(words[7]) / 1000,
                   exchange=float(words[9]) / 1000)
        return run

    def yardsticks(self):
        """benchget repaint and channel: 100 changes of a visible bar's
        position, 100 settings that change nothing, and the progress
        channel's work of one transfer, in seconds."""
        words = run_measured(self, BENCHGET, ['repaint'])['output'].split()
        words += run_measured(self, BENCHGET, ['channel'])['output'].split()
        return float(words[1]) / 1000, float(words[3]) / 1000, float(words[5]) / 1000

    def curl(self, body):
        self.web.queue_download(Download(body=body, chunk=SERVER_CHUNK))
        target = os.path.join(self.wine.dir, 'curl.out')
        started = time.monotonic()
        subprocess.run(['curl', '-sS', '--http1.0', '-x', self.web.proxy_url, '-A',
                        paths.USER_AGENT, '-o', target, DOWNLOAD_URL], check=True, timeout=600)
        wall = time.monotonic() - started
        size = os.path.getsize(target)
        os.remove(target)
        if size != len(body):
            raise RuntimeError('curl got %d bytes' % size)
        return {'phase': wall}

    def start_up(self, program, body):
        """Start of the program to its dialog being visible, as benchget's
        watcher (polling every 5 ms) sees it."""
        self.wine.clean_temp()
        watcher = self.wine.start(BENCHGET, ['watch', CAPTION, '60'], stdout=subprocess.PIPE,
                                  text=True)
        if watcher.stdout.readline().strip() != 'READY':
            raise RuntimeError('the watcher did not start')
        self.web.queue_download(Download(body=body, chunk=SERVER_CHUNK))
        started = time.monotonic()
        process = self.wine.start(program, proxy=self.web.proxy_url,
                                  extra_env={'LVTEST_INSTALLER': '0'})
        line = watcher.stdout.readline().strip()
        seen = time.monotonic()
        process.wait(120)
        watcher.wait(60)
        watcher.stdout.close()
        if line != 'VISIBLE':
            raise RuntimeError('%s showed no dialog' % program)
        return seen - started


# Sections -------------------------------------------------------------------------

RESUME_SIZE = 20_000_000
RESUME_CUT = RESUME_SIZE * 4 // 5 + 7


def resume_section(wine, web, args):
    """A 20 MB download cut at 80 %, then Try Again, in the job hosts of the
    default and the RESUME build (the same job code as their programs),
    alternating, against Debian's nginx behind the cutting proxy: the body
    bytes of both attempts, and the time from the start to the
    second attempt's end. Bytes are the bodies' that reached the job."""
    rounds = max(args.rounds, 5) if not args.quick else 1
    print('Try Again after a break: %s cut at %s, %d alternating rounds' % (
        mb(RESUME_SIZE), mb(RESUME_CUT), rounds))
    figures = {'jobhost': [], 'jobhost-resume': []}
    with tempfile.TemporaryDirectory(prefix='lv-bench-resume-') as folder, \
            FileOrigin(folder) as origin:
        origin.put(paths.OBJECT_PATH, make_body(RESUME_SIZE))
        for _ in range(rounds):
            for variant in figures:
                wine.clean_temp()
                before = len(origin.answers())
                web.queue_download(Download(origin=origin.address, close_at=RESUME_CUT,
                                            chunk=SERVER_CHUNK),
                                   Download(origin=origin.address, chunk=SERVER_CHUNK))
                started = time.monotonic()
                run = run_jobhost(wine, proxy=web.proxy_url, variant=variant, attempts=2,
                                  extra_env={'LVTEST_INSTALLER': '0'}, timeout=600)
                seconds = time.monotonic() - started
                results = [e[1] for e in run.events if e[0] == 'FINISHED']
                if results[-1:] != [0]:
                    raise RuntimeError('%s ended with %r' % (variant, results))
                # The proxy cut the first body at RESUME_CUT: what reached
                # the downloader.
                first, second = origin.answers()[before:]
                wire = min(first.bytes, RESUME_CUT) + second.bytes
                figures[variant].append((wire, seconds))
    for variant, runs in figures.items():
        print('  %-16s %s on the wire, %s' % (
            variant, mb(median([w for w, _ in runs])), spread([t for _, t in runs])))
    print()

def https_section(args):
    """Runs the HTTPS figures in a private mount namespace whose bundle,
    the one Wine reads, trusts a root made for the run (tools/run-tls-tests
    does the same for the TLS tests)."""
    with tempfile.TemporaryDirectory(prefix='lvdownload-bench-tls-') as folder:
        authority = tls.make_authority(folder)
        bundle = tls.bundle_with(authority.root, os.path.join(folder, 'bundle.crt'))
        problem = tls.namespace_problem(bundle)
        if problem:
            print('HTTPS against plain HTTP: not measured, %s\n' % problem)
            return
        inner = [sys.executable, os.path.abspath(__file__), '--https-inside', folder,
                 '--rounds', str(args.rounds), '--size', str(args.size)]
        subprocess.run(['unshare', '-m', 'sh', '-c',
                        'mount --bind "$1" "$2" && shift 2 && exec "$@"', 'sh', bundle,
                        tls.HOST_BUNDLE] + inner, check=True)


def https_inside(args):
    """The large download, rounds alternating: the default build over plain
    HTTP through the proxy, and the HTTPS build through the proxy's tunnel,
    which the server ends with a certificate of the run's root."""
    authority = tls.authority_in(args.https_inside)
    wine = session_or_exit('bench-tls')
    web = LoopbackWeb()
    web.tls = authority.server_context('bench', [paths.DOWNLOAD_HOST, paths.REPORT_HOST])
    try:
        wine.reg('delete', INSTALL_KEY, '/f')
        bench = Bench(wine, web)
        big = make_body(args.size)
        small = make_body(len(installer_body()))
        variants = [('plain HTTP', paths.LVDOWNLOAD), ('HTTPS', HTTPS_PROGRAM)]
        for _, program in variants:          # warm-up: first loads of the prefix
            bench.product(small, program)
        runs = {name: [] for name, _ in variants}
        print('HTTPS against plain HTTP: %s over loopback, %d rounds, alternating' % (
            mb(args.size), args.rounds))
        for r in range(args.rounds):
            for name, program in variants[r % 2:] + variants[:r % 2]:
                figures = bench.product(big, program)
                runs[name].append(figures)
                print('  round %d  %-12s %.3f s' % (r + 1, name, figures['phase']), flush=True)
    finally:
        web.close()
        wine.close()
    phase = {name: [f['phase'] for f in figures] for name, figures in runs.items()}
    m = {name: median(values) for name, values in phase.items()}
    print('\nTransfer phase of %s: medians at the server, from the download request (inside' %
          mb(args.size))
    print('the tunnel for HTTPS) to the result report; CPU: seconds of the whole run in the')
    print('process + wineserver + X server; before: from the start report to the download')
    print('request, that is the report\'s answer and the download\'s connection (and handshake).')
    print('The server\'s own TLS runs in this process, on the same two cores.')
    for name, figures in runs.items():
        cpu = [median([f[k] for f in figures]) for k in ('cpu', 'server_cpu', 'x_cpu')]
        print('  %-12s %-38s %10s  CPU %.2f + %.2f + %.2f  before %.1f ms' % (
            name, spread(phase[name]), '%.1f MB/s' % (args.size / 1e6 / m[name]), *cpu,
            median([f['report_gap'] for f in figures]) * 1000))
    pairs = [h / p for h, p in zip(phase['HTTPS'], phase['plain HTTP'])]
    print('  HTTPS / plain HTTP = %.3f from the medians; per round %s\n' % (
        m['HTTPS'] / m['plain HTTP'], ' '.join('%.2f' % q for q in pairs)))


def pinned_program(body):
    """The downloader built as a vendor pins an installer, here the large
    body, in a tree of its own (build/bench-pinned-BUILD)."""
    tree = os.path.join(paths.BUILD, 'bench-pinned-' + paths.WINE_BUILD)
    toolchain = {'win32': 'mingw-i686.cmake', 'win64': 'mingw-x86_64.cmake'}[paths.WINE_BUILD]
    digest = hashlib.sha256(body).hexdigest()
    print('Building a downloader pinned to the large body (%s...) in %s' % (
        digest[:16], os.path.relpath(tree, paths.REPO)), flush=True)
    subprocess.run(['cmake', '-S', paths.REPO, '-B', tree,
                    '-DCMAKE_TOOLCHAIN_FILE=' + os.path.join(paths.REPO, 'cmake', toolchain),
                    '-DCMAKE_BUILD_TYPE=Release', '-DINSTALLER_SHA256=' + digest],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', tree, '--target', 'lvdownload', '-j2'], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(tree, 'lvdownload.exe')


def transfer_section(bench, args):
    big = make_body(args.size)
    small = make_body(len(installer_body()))
    pinned = pinned_program(big)
    variants = [
        ('program', lambda: bench.product(big)),
        ('program, pinned', lambda: bench.product(big, pinned)),
        ('floor', lambda: bench.benchget('floor', big)),
        ('floor + bar', lambda: bench.benchget('bar', big)),
        ('bare', lambda: bench.benchget('bare', big)),
        ('discard', lambda: bench.benchget('discard', big)),
        ('curl', lambda: bench.curl(big)),
        ('program, installer only', lambda: bench.product(small)),
        ('floor, installer only', lambda: bench.benchget('floor', small)),
    ]
    runs = {name: [] for name, _ in variants}
    print('Transfer: %s over loopback, %d rounds, the order rotating each round' % (
        mb(args.size), args.rounds))
    for r in range(args.rounds):
        order = variants[r % len(variants):] + variants[:r % len(variants)]
        for name, run in order:
            figures = run()
            runs[name].append(figures)
            print('  round %d  %-24s %.3f s' % (r + 1, name, figures['phase']), flush=True)
        runs.setdefault('yardsticks', []).append(bench.yardsticks())
    return runs


def summarise_transfer(runs, args):
    yardsticks = runs.pop('yardsticks')
    phase = {name: [f['phase'] for f in figures] for name, figures in runs.items()}
    m = {name: median(values) for name, values in phase.items()}
    # CPU seconds of whole runs: the Windows process, the session's
    # wineserver and its X server. Less disturbed by other load than wall
    # time; differences between runs of one program cancel start and exit.
    cpu = {name: [median([f[k] for f in figures]) for k in ('cpu', 'server_cpu', 'x_cpu')]
           for name, figures in runs.items() if 'cpu' in figures[0]}
    c = {name: sum(parts) for name, parts in cpu.items()}
    chunks = runs['floor'][0]['chunks']
    print('\nTransfer of %s (%d chunks): medians at the server from the download request' % (
        mb(args.size), chunks))
    print('to the result report (program) or the marker (benchget); curl: its wall time.')
    print('CPU: seconds of the whole run in the process + wineserver + X server.')
    print('  %-24s %-38s %10s  %5s' % ('', 'phase, median (min to max)', 'rate', 'floor'))
    for name, values in phase.items():
        rate = '' if 'only' in name else '%.1f MB/s' % (args.size / 1e6 / m[name])
        parts = ('CPU %.2f + %.2f + %.2f' % tuple(cpu[name])) if name in cpu else ''
        print('  %-24s %-38s %10s  x%.2f  %s' % (name, spread(values), rate,
                                                m[name] / m['floor'], parts))
    ratio = m['program'] / m['floor']
    print('  program / floor = %.3f, from the medians (target at most %.2f: %s)' % (
        ratio, TARGET_RATIO, 'met' if ratio <= TARGET_RATIO else 'MISSED'))
    pin = [p - q for p, q in zip(phase['program, pinned'], phase['program'])]
    print('  the pin adds %.3f s, %.1f us/chunk (pinned - program, medians); per round %s' % (
        m['program, pinned'] - m['program'],
        (m['program, pinned'] - m['program']) / chunks * 1e6,
        ' '.join('%+.3f' % d for d in pin)))
    # Other load only ever adds time: the fastest runs and the rounds taken
    # pairwise are checks on the medians.
    rounds = [p / f for p, f in zip(phase['program'], phase['floor'])]
    print('  program / floor = %.3f from the fastest runs; per round %s, median %.3f' % (
        min(phase['program']) / min(phase['floor']), ' '.join('%.2f' % r for r in rounds),
        median(rounds)))

    def row(what, wall, cpu_seconds, how):
        print('  %-42s %6.3f s %6.1f us/chunk  CPU %6.3f s %6.1f us/chunk  (%s)' % (
            what, wall, wall / chunks * 1e6, cpu_seconds, cpu_seconds / chunks * 1e6, how))

    def diff(a, b):
        return m[a] - m[b], c.get(a, float('nan')) - c.get(b, float('nan'))
    print('Where the time goes (differences of medians; wall, then CPU):')
    row('a SendMessageA per chunk to another thread', *diff('floor', 'bare'), 'floor - bare')
    row('WriteFile of the chunks', *diff('bare', 'discard'), 'bare - discard')
    print('  %-42s %6.3f s %6.1f us/chunk  (discard - curl)' % (
        'WinINet reads under Wine beyond curl', m['discard'] - m['curl'],
        (m['discard'] - m['curl']) / chunks * 1e6))
    print('  program - floor, made of:')
    fixed = diff('program, installer only', 'floor, installer only')
    bar = diff('floor + bar', 'floor')
    channel = median([y[2] for y in yardsticks])
    total = diff('program', 'floor')
    row('  installer step and other fixed costs', *fixed, 'the same, installer-only body')
    row('  the bar: GetDlgItem, PBM_SETPOS, painting', *bar, 'floor + bar - floor')
    print('  %-42s %6.3f s (benchget channel)' % ('  the progress channel', channel))
    row('  the rest', total[0] - fixed[0] - bar[0] - channel,
        total[1] - fixed[1] - bar[1] - channel, 'what is left')
    row('  in all', *total, 'program - floor')
    print('  the bar alone: %.2f ms per change of position, %.3f ms per setting that changes '
          'nothing (benchget repaint); %.2f ms per change from the transfers' % (
              median([y[0] for y in yardsticks]) * 10, median([y[1] for y in yardsticks]) * 10,
              bar[0] * 10))
    print('  floor inside Wine, open to file deleted: %s' % spread(
        [f['inside'] for f in runs['floor']]))
    print()
    return ratio


def memory_section(bench, args, large_runs):
    small = make_body(args.memory_size)
    print('Memory: peak resident memory of the Wine process (os.wait4 ru_maxrss)')
    small_runs = []
    for r in range(args.rounds):
        small_runs.append(bench.product(small))
        print('  round %d  %s  %.1f MiB' % (r + 1, mb(args.memory_size),
                                           small_runs[-1]['maxrss'] / 2**20), flush=True)
    print('  measured %s' % large_runs[0]['identity'])
    print('  the launcher\'s own peak, a floor under every figure: %s' % spread(
        [f['launcher'] / 2**20 for f in small_runs + large_runs], 'MiB'))
    rows = ((args.memory_size, small_runs), (args.size, large_runs))
    for size, figures in rows:
        print('  %-10s maxrss %s   VmHWM seen %s' % (
            mb(size), spread([f['maxrss'] / 2**20 for f in figures], 'MiB'),
            spread([f['hwm'] / 2**20 for f in figures], 'MiB')))
    difference = (median([f['maxrss'] for f in large_runs])
                  - median([f['maxrss'] for f in small_runs]))
    print('  difference %.0f KiB (target under %d KiB: %s)\n' % (
        difference / 1024, TARGET_MEMORY // 1024,
        'met' if difference < TARGET_MEMORY else 'MISSED'))
    return small_runs


def hash_section(bench, args):
    print('Hash: the program\'s SHA-256 over %s in 32,768-byte chunks, inside Wine' % (
        mb(args.size)))
    rates = []
    for _ in range(args.rounds):
        output = run_measured(bench, BENCHGET, ['sha256', '%g' % (args.size / 1e6)])['output']
        rates.append(float(output.split()[1]))
    print('  %s\n' % spread(rates, 'MB/s'))


PUBLISHER_ROUNDS = 7
LARGE_SIGNED_SIZE = 50_000_000


def publisher_section(bench, args):
    """The signer build's check, as benchget runs the product's code of it,
    on the test installer and on it padded to 50 MB, each signed as a
    vendor signs (tools/sign.py, throwaway certificate under the tests'
    signer name)."""
    print('Publisher check (WinVerifyTrust and the signer\'s name), inside Wine, %d rounds '
          'each; the first loads WINTRUST cold' % PUBLISHER_ROUNDS)
    with tempfile.TemporaryDirectory() as folder:
        authority = signing.make_authority(folder)
        for label, size in (('test installer', len(installer_body())),
                            ('50 MB', LARGE_SIGNED_SIZE)):
            program = os.path.join(folder, 'installer-%d.exe' % size)
            with open(program, 'wb') as f:
                f.write(make_body(size))
            run = signing.sign(authority, [program])
            if run.returncode:
                print('  %-16s not signed: %s' % (label, run.stderr.strip()))
                continue
            signed = signing.signed_name(program)
            output = run_measured(bench, BENCHGET, ['publisher', paths.windows_path(signed),
                                                    str(PUBLISHER_ROUNDS)])['output'].split()
            times = [float(t) for t in output[1:output.index('RESULT')]]
            print('  %-16s %9d bytes  %s, first %.1f ms, answer %s' % (
                label, os.path.getsize(signed), spread(times[1:], 'ms'), times[0],
                output[-1]))
    print()


def start_up_section(bench, args):
    body = make_body(len(installer_body()))
    times = {paths.LVDOWNLOAD: [], MINDIALOG: []}
    print('Start-up: start to visible dialog, %d rounds alternating' % args.startup_rounds)
    for r in range(args.startup_rounds):
        for program in (list(times) if r % 2 == 0 else list(times)[::-1]):
            times[program].append(bench.start_up(program, body))
    names = {paths.LVDOWNLOAD: 'lvdownload.exe', MINDIALOG: 'mindialog.exe'}
    for program, values in times.items():
        print('  %-16s %s' % (names[program], spread(values, 'ms', 1000)))
    print('  lvdownload - mindialog = %.1f ms\n' % (
        (median(times[paths.LVDOWNLOAD]) - median(times[MINDIALOG])) * 1000))


def reports_section(product_runs, benchget_runs):
    """A report exchange blocks the job's thread from the moment it opens its
    handles until it has closed them. The server sees only the request's
    arrival, which splits the exchange into a half before (opening, the
    connection, the request going out) and a half after (the answer, its
    reading, the closing). Between the start report's arrival and the
    download request's arrival lie the start report's second half, three
    catalogue loads and the download request's first half, which is made of
    the same WinINet calls as a report's first half: so that gap is about one
    whole exchange, the time the start report adds before the download.
    benchget makes the same pair of requests with nothing else going on in
    its process and also times its exchanges from the inside."""
    ms = 'ms'
    print('Reports (answered at once, empty body):')
    print('  start report -> download request, the program   %s' % spread(
        [f['report_gap'] for f in product_runs], ms, 1000))
    print('  first marker -> download request, benchget      %s' % spread(
        [f['report_gap'] for f in benchget_runs], ms, 1000))
    print('  benchget\'s first exchange, timed inside Wine   %s' % spread(
        [f['first_exchange'] for f in benchget_runs], ms, 1000))
    print('  benchget\'s last exchange, timed inside Wine    %s' % spread(
        [f['exchange'] for f in benchget_runs], ms, 1000))
    print('  program start -> start report arrives           %s' % spread(
        [f['to_start_report'] for f in product_runs], ms, 1000))
    print()


# The collector -------------------------------------------------------------

TARGET_COLLECTOR_RATE = 15000   # stored reports per second, nothing lost
TARGET_POSTGRES_SHARE = 0.80    # one collector on PostgreSQL / on SQLite
WRK_THREADS = 2
# wrk's own way (connections kept alive), and the downloader's: one
# connection per report.
COLLECTOR_LOADS = (('keep-alive', []), ('connection per report', ['-H', 'Connection: close']))
# A round of a load, in this order: (store, collectors, wrk connections in
# all); nginx runs under the same wrk before the first setup of each count
# of connections. Two collectors (a fleet) share one PostgreSQL database,
# each under its own wrk with half the threads and connections.
COLLECTOR_SETUPS = (('SQLite', 1, 16), ('PostgreSQL', 1, 16), ('PostgreSQL', 2, 16),
                    ('SQLite', 1, 64), ('PostgreSQL', 1, 64))
COLLECTOR_DIR = os.path.join(paths.BUILD, 'bench-collector')
# The slow-connection case: so many connections trickle request heads
# (2 bytes every 0.5 s, reopened when cut off) while one client sends
# ordinary reports, one connection each, for SLOW_SECONDS.
SLOW_CONNECTIONS = 2000
SLOW_SECONDS = 12
TARGET_SLOW_P99 = 0.100         # seconds, ordinary reports beside the slow connections
IDLE_CONNECTIONS = 10000
TARGET_IDLE_MEMORY = 200e6      # resident bytes with IDLE_CONNECTIONS open
# nginx as the yardstick: a fixed answer, its access log written, Debian's
# default of one worker per core, and lvcollect's limits.
NGINX_WORKERS = 'auto'
NGINX_SERVER = """    server {
        listen 127.0.0.1:%d backlog=4096;
        client_header_timeout 5s;
        keepalive_timeout 5s;
        keepalive_requests 1000;
        location / { default_type text/plain; return 200 "ok\\n"; }
    }"""
WRK_UNITS = {'us': 1e-6, 'ms': 1e-3, 's': 1.0, 'm': 60.0}


def report_target():
    """A failure report of the default build on XP: a typical query."""
    return origin_form(result_url((5, 1, 2), 117, 1048576, 40), paths.REPORT_HOST)


def report_request():
    return ('GET %s HTTP/1.0\r\nHost: %s\r\nUser-Agent: %s\r\n\r\n' % (
        report_target(), paths.REPORT_HOST, paths.REPORT_AGENT)).encode('latin-1')


def run_wrk(port, seconds, extra, threads, connections):
    url = 'http://127.0.0.1:%d%s' % (port, report_target())
    wrk = subprocess.Popen(['wrk', '-t%d' % threads, '-c%d' % connections, '--latency',
                            '-d%ds' % seconds, '-H', 'User-Agent: ' + paths.REPORT_AGENT] + extra
                           + [url], stdout=subprocess.PIPE, text=True)
    out = wrk.stdout.read()
    _, _, usage = os.wait4(wrk.pid, 0)
    completed, duration = re.search(r'(\d+) requests in ([\d.]+)s', out).groups()
    errors = re.search(r'Non-2xx or 3xx responses: (\d+)', out)
    socket_errors = re.search(r'Socket errors: (.*)', out)
    latency = {int(share): float(value) * WRK_UNITS[unit] for share, value, unit in
               re.findall(r'^\s+(50|99)%\s+([\d.]+)(us|ms|s|m)\s*$', out, re.M)}
    return {'completed': int(completed), 'seconds': float(duration),
            'rate': float(re.search(r'Requests/sec:\s+([\d.]+)', out).group(1)),
            'non_2xx': int(errors.group(1)) if errors else 0,
            'socket_errors': socket_errors.group(1) if socket_errors else 'none',
            'p50': latency.get(50, float('nan')), 'p99': latency.get(99, float('nan')),
            'wrk_cpu': usage.ru_utime + usage.ru_stime}


def fresh_collector_dir():
    shutil.rmtree(COLLECTOR_DIR, ignore_errors=True)
    os.makedirs(COLLECTOR_DIR)
    return os.path.join(COLLECTOR_DIR, 'reports.db')


class Build:
    """One lvcollect program, named by the commit of the tree it was built
    in; `spool`: whether it takes --spool (a collector on PostgreSQL then
    gets its own spool file, so that two in one directory do not refuse
    each other)."""

    def __init__(self, path):
        self.path = os.path.abspath(path)
        tree = os.path.dirname(os.path.dirname(os.path.dirname(self.path)))
        commit = subprocess.run(['git', '-C', tree, 'describe', '--always', '--dirty=+'],
                                capture_output=True, text=True)
        self.name = 'lvcollect ' + (commit.stdout.strip() if commit.returncode == 0 else path)
        # The full usage: on stdout for --help since the package's manual page,
        # on stderr before.
        usage = subprocess.run([self.path, '--help'], capture_output=True, text=True)
        self.spool = '--spool' in usage.stdout + usage.stderr


def admin_metrics(address):
    """The admin listener's /metrics, as {sample name with its labels: value}."""
    answer = exchange(address, b'GET /metrics HTTP/1.0\r\nHost: monitor\r\n\r\n')
    samples = {}
    for line in answer.partition(b'\r\n\r\n')[2].decode().splitlines():
        if line and not line.startswith('#'):
            name, _, value = line.rpartition(' ')
            samples[name] = float(value)
    return samples


def histogram(metrics, name):
    """[(upper bound in seconds, cumulative count)] of a histogram, summed
    over the collectors' metrics; [] where a build has none."""
    bounds = {}
    for samples in metrics:
        for sample, value in samples.items():
            if sample.startswith(name + '_bucket{le="'):
                bound = float(sample.split('"')[1])       # "+Inf" reads as inf
                bounds[bound] = bounds.get(bound, 0) + value
    return sorted(bounds.items())


def quantile_bound(buckets, share):
    """The smallest bucket bound at or under which `share` of the counts lie."""
    total = buckets[-1][1] if buckets else 0
    for bound, count in buckets:
        if total and count >= share * total:
            return bound
    return float('nan')


def listening(process, prefix):
    line = process.stdout.readline()
    if not line.startswith(prefix):
        raise RuntimeError('lvcollect did not start: %r' % line)
    host_, _, port = line.split()[-1].rpartition(':')
    return host_, int(port)


class PeakMemory:
    """The highest VmHWM of a process, read from /proc until it ends. Not
    ru_maxrss: a child's counts the memory of this process, which forked it
    (see LAUNCHER above), and this one holds every round's figures."""

    INTERVAL = 0.05

    def __init__(self, pid):
        self.peak = 0
        self._pid = pid
        self._thread = threading.Thread(target=self._watch, daemon=True)
        self._thread.start()

    def _watch(self):
        while True:
            try:
                with open('/proc/%d/status' % self._pid) as f:
                    found = re.search(r'VmHWM:\s+(\d+) kB', f.read())
            except OSError:
                return
            if not found:           # a zombie: it has exited
                return
            self.peak = max(self.peak, int(found.group(1)) * 1024)
            time.sleep(self.INTERVAL)

    def result(self):
        self._thread.join()
        return self.peak


def closing_figure(pattern, closing):
    found = re.search(pattern, closing)
    return int(found.group(1)) if found else 0


def collector_run(build, seconds, extra, store, collectors, connections, postgres):
    """One run of wrk against fresh collectors of `build` on a fresh store,
    each under its own wrk with its share of the threads and connections;
    its figures."""
    db = fresh_collector_dir()
    if store != 'SQLite':
        db = postgres.create_database()
    servers, addresses, peaks = [], [], []
    for i in range(collectors):
        command = [build.path, 'serve', '--listen', '127.0.0.1:0', '--db', db,
                   '--admin-listen', '127.0.0.1:0']
        if store != 'SQLite' and build.spool:
            command += ['--spool', os.path.join(COLLECTOR_DIR, 'lvcollect-%d.spool' % i)]
        servers.append(subprocess.Popen(command, stdout=subprocess.PIPE, text=True))
        peaks.append(PeakMemory(servers[-1].pid))
        admin = listening(servers[-1], 'lvcollect: admin listening on ')
        addresses.append((admin, listening(servers[-1], 'lvcollect: listening on ')))
    with concurrent.futures.ThreadPoolExecutor(collectors) as pool:
        runs = list(pool.map(lambda a: run_wrk(a[1][1], seconds, extra, WRK_THREADS // collectors,
                                               connections // collectors), addresses))
    metrics = [admin_metrics(admin) for admin, _ in addresses]
    stopped = time.monotonic()
    for server in servers:
        server.send_signal(signal.SIGTERM)
    closings = [server.stdout.read() for server in servers]
    usages, exits = [], []
    for server in servers:
        _, status, usage = os.wait4(server.pid, 0)
        usages.append(usage)
        exits.append(os.waitstatus_to_exitcode(status))
    f = {'drain': time.monotonic() - stopped,
         'completed': sum(r['completed'] for r in runs), 'seconds': max(r['seconds'] for r in runs),
         'rate': sum(r['rate'] for r in runs), 'non_2xx': sum(r['non_2xx'] for r in runs),
         'socket_errors': '; '.join(r['socket_errors'] for r in runs if r['socket_errors'] != 'none')
                          or 'none',
         'peak_rss': max(peak.result() for peak in peaks),
         'p50': max(r['p50'] for r in runs), 'p99': max(r['p99'] for r in runs),
         'wrk_cpu': sum(r['wrk_cpu'] for r in runs),
         'batches': sum(m.get('lvcollect_store_batch_seconds_count', 0) for m in metrics),
         'batch_seconds': sum(m.get('lvcollect_store_batch_seconds_sum', 0) for m in metrics),
         'wait_seconds': sum(m.get('lvcollect_answer_wait_seconds_sum', 0) for m in metrics),
         'waits': histogram(metrics, 'lvcollect_answer_wait_seconds')}
    if store == 'SQLite':
        with sqlite3.connect(db) as sqlite:
            f['rows'] = sqlite.execute('SELECT count(*) FROM reports').fetchone()[0]
    else:
        f['rows'] = pg_rows(db, 'SELECT count(*) FROM reports')[0][0]
    f.update({
        'answered': sum(closing_figure(r'answered (\d+) reports', c) for c in closings),
        'backlog': max(closing_figure(r'at most (\d+) reports waited', c) for c in closings),
        'exit': max(exits),
        'cpu': sum(u.ru_utime + u.ru_stime for u in usages),
    })
    return f


def nginx_yardstick():
    """Debian's nginx from a private configuration on a free loopback port."""
    port = free_port()
    directory = os.path.join(COLLECTOR_DIR, 'nginx')
    shutil.rmtree(directory, ignore_errors=True)
    return Nginx(directory, NGINX_SERVER % port, workers=NGINX_WORKERS, port=port), port


def nginx_run(seconds, extra, connections):
    nginx, port = nginx_yardstick()
    with nginx:
        f = run_wrk(port, seconds, extra, WRK_THREADS, connections)
    with open(nginx.access_log) as log:
        f['logged'] = sum(1 for _ in log)
    return f


def resident(pids):
    total = 0
    for pid in pids:
        with open('/proc/%d/status' % pid) as f:
            total += int(re.search(r'VmRSS:\s+(\d+) kB', f.read()).group(1)) * 1024
    return total


def established(port):
    with open('/proc/net/tcp') as table:
        return sum(1 for line in table.readlines()[1:]
                   if int(line.split()[1].split(':')[1], 16) == port and line.split()[3] == '01')


def report_latencies(port, seconds):
    """Ordinary reports one after another, each on its own connection, for
    `seconds`: the time of each exchange, and how many failed."""
    latencies, failed = [], 0
    request = report_request()
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        started = time.monotonic()
        try:
            answer = exchange(('127.0.0.1', port), request)
            if answer.split(b' ', 2)[1:2] != [b'200']:
                failed += 1
        except OSError:
            failed += 1
        latencies.append(time.monotonic() - started)
        time.sleep(0.02)
    return sorted(latencies), failed


def slow_case(port):
    with SlowClients(('127.0.0.1', port), SLOW_CONNECTIONS, SLOW_SECONDS + 60,
                     report_request()) as slow:
        slow.wait_open()
        time.sleep(1)
        latencies, failed = report_latencies(port, SLOW_SECONDS)
    return latencies, failed, slow.figures


def idle_case(port, pids):
    """Resident memory of the server before and with IDLE_CONNECTIONS open
    that have sent nothing, all opened within the idle limit (5 s)."""
    before = resident(pids)
    socks = []
    try:
        while len(socks) < IDLE_CONNECTIONS:
            for _ in range(min(500, IDLE_CONNECTIONS - len(socks))):
                sock = socket.socket()
                sock.setblocking(False)
                try:
                    sock.connect(('127.0.0.1', port))
                except BlockingIOError:
                    pass
                socks.append(sock)
            time.sleep(0.05)
        deadline = time.monotonic() + 3
        while established(port) < IDLE_CONNECTIONS and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(0.5)
        return before, resident(pids), established(port)
    finally:
        for sock in socks:
            sock.close()


def percentile(values, share):
    return values[min(len(values) - 1, int(len(values) * share))]


def ms(seconds):
    return seconds * 1e3


def throughput_section(args, builds):
    print('Collector: lvcollect on loopback under wrk -t%d --latency for %d s, %d round(s) per load;'
          % (WRK_THREADS, args.collector_seconds, args.collector_rounds))
    print('  each round beside nginx %s (%s workers: fixed answer, access log) under the same wrk'
          % (nginx_version(), NGINX_WORKERS))
    print('  in the same minute; builds: %s.' % ', '.join(b.name for b in builds))
    print('  %-22s %-38s %3s %8s %9s %7s %7s %8s %8s %9s %5s %7s %8s %8s %8s %6s %11s' % (
        'load', 'server', 'c', 'wrk done', 'answers/s', 'p50 ms', 'p99 ms', 'answered', 'rows',
        'stored/s', 'lost', 'batch', 'batch ms', 'wait ms', 'peak RSS', 'backlog', 'CPU us/rep'))
    figures = {}        # (load, server, setup) -> [figures of each round]
    with PostgresServer() as postgres:
        for name, extra in COLLECTOR_LOADS:
            for _ in range(args.collector_rounds):
                yardsticks = set()
                for store, collectors, connections in COLLECTOR_SETUPS:
                    if connections not in yardsticks:
                        yardsticks.add(connections)
                        n = nginx_run(args.collector_seconds, extra, connections)
                        figures.setdefault((name, 'nginx', connections), []).append(n)
                        print('  %-22s %-38s %3d %8d %9.0f %7.2f %7.2f %8s %8s %9s %5s %7s %8s %8s %8s %6s %11s%s' % (
                            name, 'nginx', connections, n['completed'], n['rate'], ms(n['p50']),
                            ms(n['p99']), '', '%d logged' % n['logged'], '', '', '', '', '', '', '',
                            '     + %4.1f' % (n['wrk_cpu'] / max(1, n['completed']) * 1e6),
                            '' if not n['non_2xx'] and n['socket_errors'] == 'none' else
                            '  non-2xx %d, socket errors %s' % (n['non_2xx'], n['socket_errors'])))
                    setup = store if collectors == 1 else '%s x%d' % (store, collectors)
                    for build in builds:
                        f = collector_run(build, args.collector_seconds, extra, store, collectors,
                                          connections, postgres)
                        f['stored_rate'] = f['rows'] / (f['seconds'] + f['drain'])
                        figures.setdefault((name, build.name, (setup, connections)), []).append(f)
                        problems = []
                        if f['rows'] != f['answered'] or f['exit'] != 0:
                            problems.append('LOST %d answered reports, exit %d'
                                            % (f['answered'] - f['rows'], f['exit']))
                        if not 0 <= f['answered'] - f['completed'] <= connections:
                            problems.append('answered %d, wrk completed %d' % (f['answered'], f['completed']))
                        if f['non_2xx'] or f['socket_errors'] != 'none':
                            problems.append('non-2xx %d, socket errors %s' % (f['non_2xx'], f['socket_errors']))
                        batches = max(1, f['batches'])
                        print('  %-22s %-38s %3d %8d %9.0f %7.2f %7.2f %8d %8d %9.0f %5d %7.1f %8.2f %8s %5.1f MB %6d %5.1f + %4.1f%s' % (
                            name, '%s %s' % (build.name, setup), connections, f['completed'], f['rate'],
                            ms(f['p50']), ms(f['p99']), f['answered'], f['rows'], f['stored_rate'],
                            f['answered'] - f['rows'], f['rows'] / batches,
                            ms(f['batch_seconds'] / batches),
                            '%.2f' % ms(f['wait_seconds'] / batches) if f['waits'] else '-',
                            f['peak_rss'] / 1e6, f['backlog'], f['cpu'] / max(1, f['rows']) * 1e6,
                            f['wrk_cpu'] / max(1, f['rows']) * 1e6,
                            '  ' + '; '.join(problems) if problems else ''))
    print('  c: wrk\'s connections in all; answers/s, p50 and p99 (the time from a request\'s')
    print('  first byte out to its answer read): wrk\'s own figures; backlog: the most reports')
    print('  that waited at once to be stored; batch: reports per committed transaction, and')
    print('  the mean time of its commit; wait ms: the mean, over the batches, of the time from')
    print('  a batch\'s first report to its commit, the longest that one of its answers waited')
    print('  (both from the collector\'s histograms on /metrics; "-": a build that answers')
    print('  before it stores, and has no such histogram).')
    print('  PostgreSQL: a private server of this machine\'s PostgreSQL (its defaults, durable')
    print('  commits) on the same two cores; x2: two collectors on one database, each under a')
    print('  wrk of half the threads and connections; peak RSS: the larger collector\'s VmHWM; p50')
    print('  and p99: the larger of the two wrks\'.')
    print('  CPU us/rep: CPU microseconds per stored report of lvcollect + of wrk.')
    print('  rows = answered: every answered report stored; answered - wrk done: requests in')
    print('  flight when wrk stopped (at most one a connection), answered but not counted by wrk.')

    def med(key, server, setup, load):
        return statistics.median(f[key] for f in figures[load, server, setup])

    def waits(server, setup, load):
        """The answer-wait histogram of every round together."""
        merged = {}
        for f in figures[load, server, setup]:
            for bound, count in f['waits']:
                merged[bound] = merged.get(bound, 0) + count
        return sorted(merged.items())

    print('  Medians of the rounds:')
    print('  %-22s %-38s %3s %9s %8s %7s %7s %13s %15s' % (
        'load', 'server', 'c', 'answers/s', 'of nginx', 'p50 ms', 'p99 ms', 'added p50/p99',
        'wait p50/p99 <='))
    first = builds[0].name
    for name, _ in COLLECTOR_LOADS:
        for store, collectors, connections in COLLECTOR_SETUPS:
            setup = (store if collectors == 1 else '%s x%d' % (store, collectors), connections)
            theirs = med('rate', 'nginx', connections, name)
            for build in builds:
                ours = med('rate', build.name, setup, name)
                added = ''
                if build.name != first:
                    added = '%6.2f %6.2f' % tuple(
                        ms(med(q, build.name, setup, name) - med(q, first, setup, name))
                        for q in ('p50', 'p99'))
                histogram_ = waits(build.name, setup, name)
                wait = ('%7g %7g' % tuple(ms(quantile_bound(histogram_, q)) for q in (0.5, 0.99))
                        if histogram_ else '')
                print('  %-22s %-38s %3d %9.0f %8.2f %7.2f %7.2f %13s %15s' % (
                    name, '%s %s' % (build.name, setup[0]), connections, ours, ours / theirs,
                    ms(med('p50', build.name, setup, name)), ms(med('p99', build.name, setup, name)),
                    added, wait))
        for connections in sorted({c for _, _, c in COLLECTOR_SETUPS}):
            print('  %-22s %-38s %3d %9.0f %8s %7.2f %7.2f' % (
                name, 'nginx', connections, med('rate', 'nginx', connections, name), '1.00',
                ms(med('p50', 'nginx', connections, name)), ms(med('p99', 'nginx', connections, name))))
    print('  added: p50 and p99 beyond those of %s, the first build, in the same load;' % first)
    print('  wait: the bucket bounds (ms) under which half and 99 % of the batches\' longest')
    print('  waits for an answer lay, every round together.')
    ours = builds[-1].name
    for name, _ in COLLECTOR_LOADS:
        for connections in sorted({c for s, n, c in COLLECTOR_SETUPS if s == 'SQLite' and n == 1}):
            share = med('rate', ours, ('SQLite', connections), name) / med('rate', 'nginx', connections, name)
            print('  %s, %d connections: %s on SQLite answers %.2f of nginx\'s rate (target at least 1: %s)'
                  % (name, connections, ours, share, 'met' if share >= 1 else 'MISSED'))
    if len(builds) > 1:
        for name, _ in COLLECTOR_LOADS:
            for store, collectors, connections in COLLECTOR_SETUPS:
                setup = (store if collectors == 1 else '%s x%d' % (store, collectors), connections)
                share = med('rate', ours, setup, name) / med('rate', first, setup, name)
                # The builds run back to back in each round: a round's own ratio
                # is blind to the machine's drift between rounds.
                paired = statistics.median(
                    o['rate'] / f['rate'] for o, f in zip(figures[name, ours, setup],
                                                          figures[name, first, setup]))
                print('  %s, %s, %d connections: %s answers %.2f of %s\'s rate (target at least %.2f: %s);'
                      ' the rounds\' own ratios: median %.2f' % (
                          name, setup[0], connections, ours, share, first, TARGET_INGEST_SHARE,
                          'met' if share >= TARGET_INGEST_SHARE else 'MISSED', paired))
    if 'keep-alive' not in dict(COLLECTOR_LOADS) or ('SQLite', 1, 16) not in COLLECTOR_SETUPS:
        print()
        return
    best = {setup: max(f['stored_rate'] for f in figures['keep-alive', ours, setup])
            for setup in (('SQLite', 16), ('PostgreSQL', 16), ('PostgreSQL x2', 16))}
    sqlite = best['SQLite', 16]
    print('  best stored/s with 16 connections kept alive: SQLite %.0f (target at least %d: %s),'
          % (sqlite, TARGET_COLLECTOR_RATE, 'met' if sqlite >= TARGET_COLLECTOR_RATE else 'MISSED'))
    share = best['PostgreSQL', 16] / sqlite
    print('  PostgreSQL %.0f, %.0f%% of SQLite (target at least %.0f%%: %s), two collectors %.0f\n' % (
        best['PostgreSQL', 16], 100 * share, 100 * TARGET_POSTGRES_SHARE,
        'met' if share >= TARGET_POSTGRES_SHARE else 'MISSED', best['PostgreSQL x2', 16]))


def collector_section(args):
    builds = [Build(path) for path in args.beside] + [Build(paths.LVCOLLECT)]
    for i, build in enumerate(builds):
        if [b.name for b in builds].count(build.name) > 1:
            build.name += ' #%d' % (i + 1)
    throughput_section(args, builds)
    if args.throughput_only:
        return

    print('Slow connections: %d trickling request heads (2 bytes every 0.5 s, reopened when cut'
          % SLOW_CONNECTIONS)
    print('  off) while ordinary reports go one after another, a connection each, for %d s'
          % SLOW_SECONDS)
    print('  %-10s %8s %8s %10s %10s %10s %14s' % (
        'server', 'reports', 'failed', 'median', 'p99', 'max', 'slow cut off'))
    slow_p99 = {}
    for name in ('lvcollect', 'nginx'):
        if name == 'lvcollect':
            with Collector(fresh_collector_dir()) as collector:
                latencies, failed, figures = slow_case(collector.address[1])
                collector.stop()
        else:
            nginx, port = nginx_yardstick()
            with nginx:
                latencies, failed, figures = slow_case(port)
        slow_p99[name] = percentile(latencies, 0.99)
        print('  %-10s %8d %8d %7.1f ms %7.1f ms %7.1f ms %14d' % (
            name, len(latencies), failed, statistics.median(latencies) * 1e3,
            slow_p99[name] * 1e3, latencies[-1] * 1e3, figures['cut']))
    print('  lvcollect p99 %.1f ms (target at most %.0f ms: %s)\n' % (
        slow_p99['lvcollect'] * 1e3, TARGET_SLOW_P99 * 1e3,
        'met' if slow_p99['lvcollect'] <= TARGET_SLOW_P99 else 'MISSED'))

    print('Idle connections: resident memory with %d connections open that sent nothing'
          % IDLE_CONNECTIONS)
    print('  %-10s %12s %12s %12s %14s' % ('server', 'before', 'with them', 'per conn.', 'established'))
    memory = {}
    for name in ('lvcollect', 'nginx'):
        if name == 'lvcollect':
            with Collector(fresh_collector_dir()) as collector:
                before, during, open_ = idle_case(collector.address[1], [collector.process.pid])
                collector.stop()
        else:
            nginx, port = nginx_yardstick()
            with nginx:
                time.sleep(0.5)
                before, during, open_ = idle_case(port, nginx.pids())
        memory[name] = during
        print('  %-10s %9.1f MB %9.1f MB %9.0f B %14d' % (
            name, before / 1e6, during / 1e6, (during - before) / max(1, open_), open_))
    print('  lvcollect with them %.1f MB (target under %.0f MB: %s)\n' % (
        memory['lvcollect'] / 1e6, TARGET_IDLE_MEMORY / 1e6,
        'met' if memory['lvcollect'] < TARGET_IDLE_MEMORY else 'MISSED'))


# The collector at the product's scale ----------------------------------------

SCALE_SIZES = (100_000, 1_000_000, 10_000_000)
SCALE_DAYS = 7
TARGET_READ_SECONDS = 0.100     # summary and dashboard at 10 million reports
# The downloader's way at the fleet's edge: a connection per report, at
# these many connections, old and new builds alternating round by round.
SCALE_INGEST_SETUPS = (('SQLite', 1, 64), ('PostgreSQL', 1, 64), ('PostgreSQL', 2, 64),
                       ('SQLite', 1, 1000), ('PostgreSQL', 1, 1000))
TARGET_INGEST_SHARE = 0.90      # new build's rate / old build's, at least
SCALE_DIR = os.path.join(paths.BUILD, 'bench-scale')
# The first collector's tables, as it made them, to measure the old build's
# reads and the upgrade on the same reports.
FIRST_SQLITE_TABLES = """
CREATE TABLE old.reports (id INTEGER PRIMARY KEY, received_ms INTEGER NOT NULL, client TEXT NOT NULL,
 user_agent TEXT NOT NULL, kind TEXT NOT NULL CHECK (kind IN ('start', 'success', 'failure', 'cancel')),
 code INTEGER NOT NULL, seconds INTEGER, bytes INTEGER, current_url TEXT, os_major INTEGER NOT NULL,
 os_minor INTEGER NOT NULL, os_line TEXT NOT NULL CHECK (os_line IN ('nt', 'win')), query TEXT NOT NULL);
CREATE TABLE old.malformed (id INTEGER PRIMARY KEY, received_ms INTEGER NOT NULL, client TEXT NOT NULL,
 user_agent TEXT NOT NULL, reason TEXT NOT NULL, query TEXT NOT NULL);
PRAGMA old.user_version = 1;
"""
FIRST_POSTGRES_TABLES = """
CREATE TABLE reports (id bigint GENERATED ALWAYS AS IDENTITY, received_ms bigint NOT NULL,
 client bytea NOT NULL, user_agent bytea NOT NULL,
 kind text NOT NULL CHECK (kind IN ('start', 'success', 'failure', 'cancel')), code bigint NOT NULL,
 seconds bigint, bytes bigint, current_url bytea, os_major bigint NOT NULL, os_minor bigint NOT NULL,
 os_line text NOT NULL CHECK (os_line IN ('nt', 'win')), query bytea NOT NULL);
CREATE TABLE malformed (id bigint GENERATED ALWAYS AS IDENTITY, received_ms bigint NOT NULL,
 client bytea NOT NULL, user_agent bytea NOT NULL, reason text NOT NULL, query bytea NOT NULL);
CREATE TABLE stored_batches (collector text NOT NULL, batch bigint NOT NULL, reports bigint NOT NULL,
 malformed bigint NOT NULL, stored_ms bigint NOT NULL, PRIMARY KEY (collector, batch));
CREATE TABLE schema_version (version integer NOT NULL);
INSERT INTO schema_version VALUES (1);
"""
REPORT_COLUMNS = ('received_ms, %s, user_agent, kind, code, seconds, bytes, current_url, os_major, os_minor,'
                  ' os_line, query')


def timed_peak(command):
    """Wall seconds and peak resident bytes of one command (GNU time's %M,
    whose own image, a few hundred kB, is the floor)."""
    started = time.monotonic()
    run = subprocess.run(['/usr/bin/time', '-f', '%M'] + command, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True)
    seconds = time.monotonic() - started
    if run.returncode != 0:
        raise RuntimeError('%s failed: %s' % (' '.join(command), run.stderr[-500:]))
    return seconds, int(run.stderr.strip().splitlines()[-1]) * 1024


def sqlite_size(path):
    return sum(os.path.getsize(path + s) for s in ('', '-wal') if os.path.exists(path + s))


def first_sqlite_copy(new, old):
    """The reports of a store of this build, in a file of the first
    collector's tables (the hash standing for the address)."""
    if os.path.exists(old):
        os.remove(old)
    with sqlite3.connect(new) as db:
        db.execute("ATTACH DATABASE ? AS old", (old,))
        db.executescript(FIRST_SQLITE_TABLES)
        db.execute('INSERT INTO old.reports (%s) SELECT %s FROM reports ORDER BY id'
                   % (REPORT_COLUMNS % 'client', REPORT_COLUMNS % 'client_hash'))
        db.execute('INSERT INTO old.malformed (received_ms, client, user_agent, reason, query)'
                   ' SELECT received_ms, client_hash, user_agent, reason, query FROM malformed ORDER BY id')
        db.commit()
        db.execute('DETACH DATABASE old')


def first_postgres_copy(server, new):
    """The same in a new database of the server."""
    import psycopg2
    old = server.create_database()
    pipe_read, pipe_write = os.pipe()
    source, target = psycopg2.connect(new), psycopg2.connect(old)
    try:
        with target, target.cursor() as cursor:
            cursor.execute(FIRST_POSTGRES_TABLES)
        for table, columns, selected in (
                ('reports', REPORT_COLUMNS % 'client', REPORT_COLUMNS % "convert_to(client_hash, 'UTF8')"),
                ('malformed', 'received_ms, client, user_agent, reason, query',
                 "received_ms, convert_to(client_hash, 'UTF8'), user_agent, reason, query")):
            with tempfile.TemporaryFile() as buffer:
                with source.cursor() as cursor:
                    cursor.copy_expert('COPY (SELECT %s FROM %s ORDER BY received_ms, id) TO STDOUT (FORMAT binary)'
                                       % (selected, table), buffer)
                buffer.seek(0)
                with target, target.cursor() as cursor:
                    cursor.copy_expert('COPY %s (%s) FROM STDIN (FORMAT binary)' % (table, columns), buffer)
        with target.cursor() as cursor:
            target.autocommit = True
            cursor.execute('VACUUM ANALYZE')
    finally:
        os.close(pipe_read)
        os.close(pipe_write)
        source.close()
        target.close()
    return old


def postgres_size(uri):
    return pg_rows(uri, 'SELECT pg_database_size(current_database())')[0][0]


def upgrade_seconds(program, db):
    """From the start of the new build on the first collector's store to
    its listening, which is the upgrade's time; then it stops."""
    started = time.monotonic()
    server = subprocess.Popen([program, 'serve', '--listen', '127.0.0.1:0', '--keep-days', '0', '--db', db,
                               '--spool', os.path.join(SCALE_DIR, 'upgrade.spool')] if db.startswith('postgresql')
                              else [program, 'serve', '--listen', '127.0.0.1:0', '--keep-days', '0', '--db', db],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    listening(server, 'lvcollect: listening on ')
    seconds = time.monotonic() - started
    server.send_signal(signal.SIGTERM)
    server.communicate(timeout=60)
    return seconds


def scale_reads_section(args, builds):
    old, new = builds[0], builds[-1]
    print('Collector at scale: reads of stores filled through the store\'s own code (lvcollect fill:')
    print('  a start report an attempt and a result for 98 in 100, 80 % successes, seven Windows')
    print('  versions, six languages, an address an attempt, over %d days); the first collector\'s'
          % SCALE_DAYS)
    print('  (%s) reads the same reports in its own tables; medians of %d rounds, the builds'
          % (old.name, args.scale_rounds))
    print('  alternating; peak RSS by GNU time. Upgrade: the first start of %s on those tables.'
          % new.name)
    print('  %-10s %10s %10s %9s %10s %10s %10s %10s %10s %10s %10s %10s' % (
        'store', 'reports', 'fill/s', 'MB', 'MB/M att.', 'old summ.', 'old RSS', 'summary', 'RSS',
        'dashboard', 'RSS', 'upgrade/M'))
    results = {}
    with PostgresServer() as postgres:
        for size in args.scale_sizes:
            for store in ('SQLite', 'PostgreSQL'):
                shutil.rmtree(SCALE_DIR, ignore_errors=True)
                os.makedirs(SCALE_DIR)
                db = os.path.join(SCALE_DIR, 'reports.db') if store == 'SQLite' else postgres.create_database()
                started = time.monotonic()
                subprocess.run([new.path, 'fill', '--db', db, '--reports', str(size), '--days', str(SCALE_DAYS)],
                               check=True, stdout=subprocess.DEVNULL)
                fill_rate = size / (time.monotonic() - started)
                if store == 'SQLite':
                    with sqlite3.connect(db) as c:
                        c.execute('PRAGMA wal_checkpoint(TRUNCATE)')
                    on_disk = sqlite_size(db)
                    old_db = os.path.join(SCALE_DIR, 'first.db')
                    first_sqlite_copy(db, old_db)
                else:
                    on_disk = postgres_size(db)
                    old_db = first_postgres_copy(postgres, db)
                attempts = pg_rows(db, "SELECT count(*) FROM reports WHERE kind = 'start'")[0][0] \
                    if store != 'SQLite' else sqlite3.connect(db).execute(
                        "SELECT count(*) FROM reports WHERE kind = 'start'").fetchone()[0]
                rounds = {'old': [], 'summary': [], 'dashboard': []}
                page = os.path.join(SCALE_DIR, 'dashboard.html')
                for _ in range(args.scale_rounds):
                    if size <= args.scale_old_up_to:
                        rounds['old'].append(timed_peak([old.path, 'summary', '--db', old_db]))
                    rounds['summary'].append(timed_peak([new.path, 'summary', '--db', db]))
                    rounds['dashboard'].append(timed_peak([new.path, 'dashboard', '--db', db, '--out', page]))
                upgrade = upgrade_seconds(new.path, old_db)
                med = {k: (statistics.median(s for s, _ in v), max(m for _, m in v)) if v else (float('nan'), 0)
                       for k, v in rounds.items()}
                results[store, size] = med
                print('  %-10s %10d %10.0f %9.0f %10.0f %9.3fs %7.1f MB %8.1fms %7.1f MB %8.1fms %7.1f MB %9.1fs' % (
                    store, size, fill_rate, on_disk / 1e6, on_disk / 1e6 / (attempts / 1e6),
                    med['old'][0], med['old'][1] / 1e6, med['summary'][0] * 1e3, med['summary'][1] / 1e6,
                    med['dashboard'][0] * 1e3, med['dashboard'][1] / 1e6, upgrade / (size / 1e6)), flush=True)
    print('  MB/M att.: the store on disk per million attempts (a start each, most with a result);')
    print('  summary and dashboard: wall time of the whole command, start to exit, with its peak RSS;')
    print('  old summ.: the first collector\'s summary on the same reports ("nan": not measured at')
    print('  that size); upgrade/M: seconds of the first start on its tables, per million reports.')
    largest = max(args.scale_sizes)
    for store in ('SQLite', 'PostgreSQL'):
        worst = max(results[store, largest]['summary'][0], results[store, largest]['dashboard'][0])
        print('  %s, %d reports: summary and dashboard within %.0f ms (target under %.0f ms: %s)' % (
            store, largest, worst * 1e3, TARGET_READ_SECONDS * 1e3,
            'met' if worst < TARGET_READ_SECONDS else 'MISSED'))
    print()


EXPIRY_REPORTS = 1_000_000
EXPIRY_KEEP_DAYS = 3            # of a store of SCALE_DAYS days: about 4 days go


def expiry_run(program, db, keep_days, seconds_at_most, old_rows):
    """A collector on `db` with --keep-days `keep_days`, ordinary reports
    sent one after another (a connection each) until `old_rows()` is 0 or
    for `seconds_at_most`: the seconds that took, the reports' latencies,
    and the store batches' mean time from /metrics."""
    command = [program, 'serve', '--listen', '127.0.0.1:0', '--admin-listen', '127.0.0.1:0',
               '--keep-days', str(keep_days), '--db', db]
    if db.startswith('postgresql'):
        command += ['--spool', os.path.join(SCALE_DIR, 'expiry.spool')]
    server = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    admin = listening(server, 'lvcollect: admin listening on ')
    port = listening(server, 'lvcollect: listening on ')[1]
    started = time.monotonic()
    latencies = []
    request = report_request()
    while time.monotonic() - started < seconds_at_most:
        sent = time.monotonic()
        exchange(('127.0.0.1', port), request)
        latencies.append(time.monotonic() - sent)
        if len(latencies) % 25 == 0 and old_rows() == 0:
            break
        time.sleep(0.02)
    took = time.monotonic() - started
    metrics = admin_metrics(admin)
    server.send_signal(signal.SIGTERM)
    server.communicate(timeout=60)
    batches = max(1, metrics.get('lvcollect_store_batch_seconds_count', 0))
    return took, sorted(latencies), metrics.get('lvcollect_store_batch_seconds_sum', 0) / batches


def scale_expiry_section(args):
    new = Build(paths.LVCOLLECT)
    print('Expiry: a store of %d reports over %d days, a collector started with --keep-days %d'
          % (EXPIRY_REPORTS, SCALE_DAYS, EXPIRY_KEEP_DAYS))
    print('  (about 4 days go) while ordinary reports go one after another, a connection each, 20 ms')
    print('  apart; beside the same with --keep-days 0 for as long. %s.' % new.name)
    print('  %-10s %-14s %10s %10s %10s %10s %10s %12s' % (
        'store', 'keep-days', 'seconds', 'reports', 'p50 ms', 'p99 ms', 'max ms', 'batch ms'))
    with PostgresServer() as postgres:
        for store in ('SQLite', 'PostgreSQL'):
            shutil.rmtree(SCALE_DIR, ignore_errors=True)
            os.makedirs(SCALE_DIR)
            db = os.path.join(SCALE_DIR, 'reports.db') if store == 'SQLite' else postgres.create_database()
            subprocess.run([new.path, 'fill', '--db', db, '--reports', str(EXPIRY_REPORTS), '--days',
                            str(SCALE_DAYS)], check=True, stdout=subprocess.DEVNULL)
            cutoff = (int(time.time() * 1000) // 86400000 - EXPIRY_KEEP_DAYS) * 86400000
            query = 'SELECT count(*) FROM reports WHERE received_ms < %d' % cutoff

            def old_rows():
                if store == 'SQLite':
                    with sqlite3.connect(db) as c:
                        return c.execute(query).fetchone()[0]
                return pg_rows(db, query)[0][0]
            before = old_rows()
            took, latencies, batch = expiry_run(new.path, db, EXPIRY_KEEP_DAYS, 600, old_rows)
            left = old_rows()
            print('  %-10s %-14s %10.1f %10d %10.2f %10.2f %10.2f %12.3f  (%d old reports, %d left)' % (
                store, str(EXPIRY_KEEP_DAYS), took, len(latencies), ms(statistics.median(latencies)),
                ms(percentile(latencies, 0.99)), ms(latencies[-1]), ms(batch), before, left), flush=True)
            took0, latencies, batch = expiry_run(new.path, db, 0, took, lambda: 1)
            print('  %-10s %-14s %10.1f %10d %10.2f %10.2f %10.2f %12.3f' % (
                store, '0 (none go)', took0, len(latencies), ms(statistics.median(latencies)),
                ms(percentile(latencies, 0.99)), ms(latencies[-1]), ms(batch)), flush=True)
    print()


def scale_section(args):
    builds = [Build(path) for path in args.beside] + [Build(paths.LVCOLLECT)]
    for i, build in enumerate(builds):
        if [b.name for b in builds].count(build.name) > 1:
            build.name += ' #%d' % (i + 1)
    if args.scale_expiry_only:
        scale_expiry_section(args)
        return
    if not args.scale_ingest_only:
        scale_reads_section(args, builds)
    if len(builds) > 1 and not args.scale_reads_only:
        global COLLECTOR_SETUPS, COLLECTOR_LOADS
        COLLECTOR_SETUPS = SCALE_INGEST_SETUPS
        COLLECTOR_LOADS = (('connection per report', ['-H', 'Connection: close']),)
        args.collector_rounds = args.scale_rounds
        throughput_section(args, builds)


def nginx_version():
    run = subprocess.run(['nginx', '-v'], capture_output=True, text=True)
    return run.stderr.strip().rpartition('/')[2]


def machine():
    model = ''
    with open('/proc/cpuinfo') as f:
        for line in f:
            if line.startswith('model name'):
                model = line.split(':', 1)[1].strip()
                break
    wine = subprocess.run([WINE, '--version'], capture_output=True, text=True).stdout.strip()
    return '%s, %d cores; %s; Linux %s; load %.2f' % (
        model, os.cpu_count(), wine, platform.release(), os.getloadavg()[0])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--rounds', type=int, default=7, help='transfer and memory rounds')
    parser.add_argument('--startup-rounds', type=int, default=11)
    parser.add_argument('--size', type=int, default=200_000_000, help='large download, bytes')
    parser.add_argument('--memory-size', type=int, default=10_000_000,
                        help='small download of the memory figure, bytes')
    parser.add_argument('--quick', action='store_true',
                        help='1 round, 20 MB and 2 MB downloads, 2 start-up rounds')
    parser.add_argument('--collector-rounds', type=int, default=3)
    parser.add_argument('--collector-seconds', type=int, default=10)
    parser.add_argument('--beside', metavar='LVCOLLECT', action='append', default=[],
                        help='another build of lvcollect measured in the same rounds, before '
                        'this tree\'s (its name: the commit of the tree it was built in)')
    parser.add_argument('--throughput-only', action='store_true',
                        help='the collector\'s answers per second alone, without the slow and '
                        'idle connections')
    parser.add_argument('--only', choices=('size', 'transfer', 'https', 'resume', 'hash',
                                           'publisher', 'startup', 'collector', 'scale'),
                        help='one section (transfer includes memory and reports)')
    parser.add_argument('--scale-sizes', type=lambda t: [int(n) for n in t.split(',')],
                        default=list(SCALE_SIZES), help='scale: stored reports, comma-separated')
    parser.add_argument('--scale-rounds', type=int, default=5)
    parser.add_argument('--scale-old-up-to', type=int, default=10_000_000,
                        help='scale: the largest store the first build\'s reads are timed on')
    parser.add_argument('--scale-reads-only', action='store_true')
    parser.add_argument('--scale-ingest-only', action='store_true')
    parser.add_argument('--scale-expiry-only', action='store_true')
    parser.add_argument('--https-inside', metavar='FOLDER', help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.https_inside:
        https_inside(args)
        return
    if args.quick:
        args.rounds, args.startup_rounds = 1, 2
        args.size, args.memory_size = 20_000_000, 2_000_000
        args.collector_rounds, args.collector_seconds = 1, 5
    if args.only in ('collector', 'scale'):
        paths.require(paths.LVCOLLECT)
    else:
        paths.require(paths.LVDOWNLOAD_WIN32, paths.LVDOWNLOAD, BENCHGET, MINDIALOG,
                      paths.LVCOLLECT, HTTPS_PROGRAM)

    print('lvdownload benchmarks, %s' % datetime.date.today().isoformat())
    print('Machine: %s' % machine())
    print('Command: %s' % ' '.join(['tools/bench.py'] + sys.argv[1:]))
    if args.only not in ('collector', 'scale'):
        print('Wine figures of %s' % host.describe())
    print()
    if args.only in (None, 'size'):
        report_size()
    if args.only in (None, 'collector'):
        collector_section(args)
    if args.only in (None, 'https'):
        https_section(args)
    if args.only == 'scale':
        scale_section(args)
    if args.only in ('size', 'collector', 'https', 'scale'):
        print('Load at the end: %.2f' % os.getloadavg()[0])
        return
    wine = session_or_exit('bench')
    web = LoopbackWeb()
    try:
        wine.reg('delete', INSTALL_KEY, '/f')
        bench = Bench(wine, web)
        small = make_body(len(installer_body()))
        bench.product(small)                     # warm-up: first loads of the prefix
        bench.benchget('floor', small)
        if args.only in (None, 'transfer'):
            runs = transfer_section(bench, args)
            summarise_transfer(runs, args)
            small_runs = memory_section(bench, args, runs['program'])
            every = [f for figures in runs.values() for f in figures] + small_runs
            reports_section([f for f in every if 'to_start_report' in f],
                            [f for f in every if 'first_exchange' in f])
        if args.only in (None, 'resume'):
            resume_section(wine, web, args)
        if args.only in (None, 'hash'):
            hash_section(bench, args)
        if args.only in (None, 'publisher'):
            publisher_section(bench, args)
        if args.only in (None, 'startup'):
            start_up_section(bench, args)
    finally:
        web.close()
        wine.close()
    print('Load at the end: %.2f' % os.getloadavg()[0])


if __name__ == '__main__':
    main()
