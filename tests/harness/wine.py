"""Wine sessions for the end-to-end tests.

A `WineSession` owns a private prefix (a copy of the template prefix in
build/wineprefix, or build/wineprefix64 for the 64-bit build), a persistent
wineserver and an Xvfb display of its own, so that several sessions can run
side by side. Programs run with the session's environment; http_proxy is set
only when a test passes a proxy.

The 32-bit build runs under the `wine` and `wineserver` commands as
installed; the 64-bit build under Wine's 64-bit loader and server, called by
path, because the commands on PATH pick the 32-bit loader whenever wine32 is
installed.
"""
import contextlib
import fcntl
import glob
import ntpath
import os
import shutil
import signal
import subprocess
import tempfile
import time

from . import host, paths

SESSIONS = os.path.join(paths.BUILD, 'test-sessions')
BASE_ENV_DROP = ('http_proxy', 'HTTP_PROXY', 'https_proxy', 'HTTPS_PROXY',
                 'no_proxy', 'NO_PROXY', 'all_proxy', 'ALL_PROXY')
# build: (WINEARCH, loader, server, template prefix)
FLAVOURS = {
    'win32': ('win32', 'wine', 'wineserver', os.path.join(paths.BUILD, 'wineprefix')),
    'win64': ('win64', host.LOADER_64, '/usr/lib/wine/wineserver64',
              os.path.join(paths.BUILD, 'wineprefix64')),
}
ARCH, WINE, WINESERVER, TEMPLATE_PREFIX = FLAVOURS[paths.WINE_BUILD]
# Wine's own fonts, from Debian's fonts-wine. Debian's Wine looks for them
# only in the prefix's Fonts folder, which its wineboot leaves empty.
WINE_FONTS = '/usr/share/wine/fonts'
# What Windows shows at 96 DPI: a dialog unit of the "System" font is 2 by 2
# pixels, the classic grey face that the logo was drawn for.
WINDOWS_DPI = 96
CLASSIC_BUTTON_FACE = '192 192 192'
# Wine's System font for code page 932 (jvgasys.fon) has no kana or kanji;
# in a double-byte code page Wine draws a font's missing characters from
# the fonts linked to "Microsoft Sans Serif", "MS UI Gothic" first, as
# Japanese Windows does. Debian's VL Gothic stands in for it.
CJK_FONT = ('VL Gothic', '/usr/share/fonts/truetype/vlgothic/VL-Gothic-Regular.ttf',
            'fonts-vlgothic')
# Wine puts only 32-bit processes in these modes; a 64-bit one stays at 6.1.
MODES_OF_32_BIT_PROGRAMS = ('win98', 'win2k', 'winxp')
# A new prefix takes seconds here, but more than two minutes in the guest
# under QEMU's emulator, and more than five when the host is busy.
WINEBOOT_LIMIT = 900


class WineUnavailable(RuntimeError):
    """Wine cannot start here; the message says why and what to do."""


def _base_env(locale=None):
    env = {k: v for k, v in os.environ.items() if k not in BASE_ENV_DROP}
    if locale:
        # Wine takes the language and the ANSI code page from the locale
        # (the glibc locale need not be installed for that, but Wine reads
        # non-ASCII Unix file names only in one that is); LANGUAGE would
        # pick Wine's own messages apart from it.
        env['LANG'] = env['LC_ALL'] = locale
        env.pop('LANGUAGE', None)
    env['WINEDEBUG'] = '-all'
    env['WINEDLLOVERRIDES'] = 'mscoree,mshtml='
    env['WINEARCH'] = ARCH
    if ARCH == 'win64':
        env['WINELOADER'] = WINE
    return env


def ensure_template_prefix():
    """Makes the build's template prefix once, without crash dialogs."""
    problem = host.wine_problem()
    if problem:
        raise WineUnavailable(problem)
    os.makedirs(paths.BUILD, exist_ok=True)
    with open(os.path.join(paths.BUILD, '.wineprefix.lock'), 'w') as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        marker = os.path.join(TEMPLATE_PREFIX, '.lv-ready')
        if os.path.exists(marker):
            return
        shutil.rmtree(TEMPLATE_PREFIX, ignore_errors=True)
        env = _base_env()
        env['WINEPREFIX'] = TEMPLATE_PREFIX
        env.pop('DISPLAY', None)
        subprocess.run([WINE, 'wineboot', '-i'], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=WINEBOOT_LIMIT)
        for key, name, kind, value in (
                (r'HKCU\Software\Wine\WineDbg', 'ShowCrashDialog', 'REG_DWORD', '0'),):
            subprocess.run([WINE, 'reg', 'add', key, '/v', name, '/t', kind, '/d', value, '/f'],
                           env=env, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run([WINESERVER, '-w'], env=env, timeout=120)
        open(marker, 'w').close()


class Xvfb:
    """A private X display; the display number is chosen by Xvfb itself."""

    def __init__(self, size='1024x768x24'):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ['Xvfb', '-displayfd', str(write_end), '-screen', '0', size, '-nolisten', 'tcp'],
            pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b''
        while not number.endswith(b'\n'):
            data = os.read(read_end, 16)
            if not data:
                raise RuntimeError('Xvfb did not start')
            number += data
        os.close(read_end)
        self.display = ':' + number.decode().strip()

    def screenshot(self, path):
        subprocess.run(['import', '-display', self.display, '-window', 'root', path],
                       check=True, timeout=30)

    def stop(self):
        self.process.terminate()
        self.process.wait(10)


def session_or_exit(name, display=None, locale=None):
    """For the tools: a session, or an exit with the sentence that says why
    Wine cannot start here and how to mend it."""
    try:
        return WineSession(name=name, display=display, locale=locale)
    except WineUnavailable as problem:
        raise SystemExit(str(problem))


class WineSession:
    """locale: the Unix locale its programs run in (de.UTF-8, ja.UTF-8 ...),
    which gives them their language and ANSI code page; by default the
    caller's."""

    def __init__(self, name='session', display=None, locale=None):
        ensure_template_prefix()
        os.makedirs(SESSIONS, exist_ok=True)
        self.dir = tempfile.mkdtemp(prefix=name + '-', dir=SESSIONS)
        self.prefix = os.path.join(self.dir, 'prefix')
        subprocess.run(['cp', '-a', TEMPLATE_PREFIX, self.prefix], check=True)
        self.xvfb = None
        if display is None:
            self.xvfb = Xvfb()
            display = self.xvfb.display
        self.display = display
        self.locale = locale
        self.env = _base_env(locale)
        self.env['WINEPREFIX'] = self.prefix
        self.env['DISPLAY'] = display
        self._processes = []
        subprocess.run([WINESERVER, '-p'], env=self.env, check=True)
        self._start_background_processes()
        self.default_temp_windows = self.run_output(['cmd', '/c', 'echo %TEMP%']).strip()
        self.temp_dir = self.unix_path(self.default_temp_windows)
        self.default_temp_dir = self.temp_dir

    def _start_background_processes(self):
        # Wine's own (explorer, services) started here have no pipes to
        # inherit from a test's program.
        subprocess.run([WINE, 'wineboot'], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)

    # Running programs ----------------------------------------------------

    def environment(self, proxy=None, extra=None):
        env = dict(self.env)
        if proxy:
            env['http_proxy'] = proxy
        env.update(extra or {})
        return env

    def start(self, program, args=(), proxy=None, extra_env=None, **popen_args):
        """Starts `wine program args...` and returns the Popen."""
        popen_args.setdefault('stdin', subprocess.DEVNULL)
        popen_args.setdefault('stdout', subprocess.DEVNULL)
        popen_args.setdefault('stderr', subprocess.DEVNULL)
        process = subprocess.Popen([WINE, program] + list(args),
                                   env=self.environment(proxy, extra_env), **popen_args)
        self._processes.append(process)
        return process

    def run(self, program, args=(), proxy=None, extra_env=None, timeout=60):
        """Runs a program to its end; returns a CompletedProcess with text
        output."""
        return self._run([WINE, program] + list(args), self.environment(proxy, extra_env),
                         timeout)

    def run_output(self, args, timeout=60):
        return self._run([WINE] + list(args), self.env, timeout).stdout

    def _run(self, argv, env, timeout):
        # Output goes to files, not pipes: Wine's own background processes,
        # started by the first program of a prefix, inherit the descriptors
        # and would hold a pipe open long after the program has ended.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            process = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                       stderr=err)
            try:
                process.wait(timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(10)
                raise
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(argv, process.returncode,
                                               out.read().decode('latin-1'),
                                               err.read().decode('latin-1'))

    def start_exact(self, command_line, proxy=None, extra_env=None, **popen_args):
        """Starts a Windows command line exactly as written (Wine would quote
        and escape Unix arguments on its own), through wintool, which waits
        for the program and writes down its exit code as Windows gives it:
        a WindowsProcess."""
        fd, path = tempfile.mkstemp(suffix='.cmd.txt', dir=self.dir)
        with os.fdopen(fd, 'wb') as f:
            f.write(command_line.encode('latin-1'))
        # Its own process group, which the program joins: kill() ends both.
        popen_args.setdefault('process_group', 0)
        program = (command_line[1:].partition('"')[0] if command_line.startswith('"')
                   else command_line.partition(' ')[0])
        return WindowsProcess(
            self.start(paths.test_program('wintool'), ['spawn', paths.windows_path(path)],
                       proxy=proxy, extra_env=extra_env, **popen_args), path + '.exit',
            ntpath.basename(program))

    def start_program(self, program, args=(), proxy=None, extra_env=None, **popen_args):
        """Starts a program whose exit code the test reads: a WindowsProcess.
        Arguments are quoted only when they hold a blank."""
        words = [paths.windows_path(program) if os.path.isabs(program) else program] + list(args)
        return self.start_exact(' '.join('"%s"' % w if ' ' in w else w for w in words),
                                proxy=proxy, extra_env=extra_env, **popen_args)

    def stop_all(self):
        """Ends every program this session started and is still running."""
        for process in self._processes:
            if process.poll() is None:
                try:
                    # wintool and the program it started are a group.
                    if os.getpgid(process.pid) == process.pid:
                        os.killpg(process.pid, signal.SIGKILL)
                    else:
                        process.kill()
                except ProcessLookupError:
                    pass
                process.wait(10)
        self._processes = []

    def kill_wine_processes(self):
        """Kills every Windows process of the prefix and restarts its server."""
        self.stop_all()
        subprocess.run([WINESERVER, '-k'], env=self.env, timeout=30)
        subprocess.run([WINESERVER, '-w'], env=self.env, timeout=30)
        subprocess.run([WINESERVER, '-p'], env=self.env, check=True)

    # Paths -----------------------------------------------------------------

    def unix_path(self, windows_path):
        return self._run([WINE, 'winepath.exe', '-u', windows_path],
                         self.env, 30).stdout.strip().rstrip('/')

    def leftover_temp_files(self, directory=None):
        return sorted(glob.glob(os.path.join(directory or self.temp_dir, 'TLV*.[Tt][Mm][Pp]')))

    def clean_temp(self, directory=None):
        directory = directory or self.temp_dir
        for path in self.leftover_temp_files(directory) + glob.glob(
                os.path.join(directory, 'lvtmp.htm')):
            os.remove(path)

    # Registry and settings ----------------------------------------------------

    def reg(self, *args):
        return self._run([WINE, 'reg'] + list(args), self.env, 60)

    def key_exists(self, key):
        return self.reg('query', key).returncode == 0

    def set_temp_dir(self, windows_path):
        """Points TEMP and TMP of the prefix's user at another directory.
        A name outside ASCII (on drive C:) goes in through a UTF-16 file:
        Wine reads the arguments of a command line in the Unix locale's
        character set, which need not be installed."""
        if windows_path.isascii():
            for name in ('TEMP', 'TMP'):
                self.reg('add', r'HKCU\Environment', '/v', name, '/t', 'REG_SZ', '/d',
                         windows_path, '/f')
            self.temp_dir = self.unix_path(windows_path)
            return
        assert windows_path[:3].upper() == 'C:\\', windows_path
        escaped = windows_path.replace('\\', '\\\\')
        text = '\r\n'.join(['Windows Registry Editor Version 5.00', '',
                             r'[HKEY_CURRENT_USER\Environment]',
                             '"TEMP"="%s"' % escaped, '"TMP"="%s"' % escaped, ''])
        name = os.path.join(self.dir, 'temp-dir.reg')
        with open(name, 'wb') as f:
            f.write(b'\xff\xfe' + text.encode('utf-16-le'))
        self.run_output(['regedit', '/S', paths.windows_path(name)])
        self.temp_dir = os.path.join(self.prefix, 'drive_c', *windows_path[3:].split('\\'))

    def restore_temp_dir(self):
        for name in ('TEMP', 'TMP'):
            self.reg('add', r'HKCU\Environment', '/v', name, '/t', 'REG_SZ',
                     '/d', self.default_temp_windows, '/f')
        self.temp_dir = self.default_temp_dir

    def set_windows_version(self, version):
        """win98, win2k, winxp, win7, win10 ..."""
        subprocess.run([WINE, 'winecfg.exe', '-v', version], env=self.env, check=True, timeout=60,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def use_windows_look(self, desktop_size='640x480'):
        """Lays dialogs out and draws them as Windows does, for pictures.

        Without Wine's fonts in the prefix, "System" falls back to a scalable
        font whose dialog unit is about 1.75 pixels across and 1.6 down;
        Wine's raster System font (vgasys.fon) gives Windows' 2 by 2 at 96
        DPI. Plain Xvfb has no window manager to draw captions and frames;
        Wine's virtual desktop draws them itself. Both take effect for the
        programs started after this."""
        if not os.path.isdir(WINE_FONTS):
            raise WineUnavailable('Wine\'s fonts are missing (%s): run tools/setup-host '
                                  'to install fonts-wine.' % WINE_FONTS)
        if self.locale and not os.path.exists(CJK_FONT[1]):
            raise WineUnavailable('The font for Japanese text is missing (%s): run '
                                  'tools/setup-host to install %s.' % (CJK_FONT[1], CJK_FONT[2]))
        fonts = os.path.join(self.prefix, 'drive_c', 'windows', 'Fonts')
        os.makedirs(fonts, exist_ok=True)
        for name in os.listdir(WINE_FONTS):
            target = os.path.join(fonts, name)
            if not os.path.lexists(target):
                os.symlink(os.path.join(WINE_FONTS, name), target)
        for key, name, kind, value in (
                (r'HKCU\Control Panel\Desktop', 'LogPixels', 'REG_DWORD', str(WINDOWS_DPI)),
                (r'HKCU\Control Panel\Colors', 'ButtonFace', 'REG_SZ', CLASSIC_BUTTON_FACE),
                (r'HKCU\Software\Wine\Explorer', 'Desktop', 'REG_SZ', 'Default'),
                (r'HKCU\Software\Wine\Explorer\Desktops', 'Default', 'REG_SZ', desktop_size),
                (r'HKCU\Software\Wine\Fonts\Replacements', 'MS UI Gothic', 'REG_SZ',
                 CJK_FONT[0])):
            if self.reg('add', key, '/v', name, '/t', kind, '/d', value, '/f').returncode:
                raise RuntimeError('could not set %s\\%s' % (key, name))
        # The desktop and the fonts are taken when the prefix's first program
        # starts: start it again.
        self.kill_wine_processes()
        self._start_background_processes()

    def screenshot(self, path):
        if not self.xvfb:
            raise RuntimeError('screenshots need the session\'s own Xvfb')
        os.makedirs(os.path.dirname(path), exist_ok=True)
        self.xvfb.screenshot(path)

    def close(self):
        self.stop_all()
        subprocess.run([WINESERVER, '-k'], env=self.env, timeout=30)
        if self.xvfb:
            self.xvfb.stop()
        shutil.rmtree(self.dir, ignore_errors=True)


# How long a program's Unix process may take to leave after its Windows
# process has ended: Wine's server kills it after about half a second.
GROUP_EXIT_LIMIT = 10


def _alive_in_group(group, name):
    """Whether a process of the process group called `name` (its Unix
    name: the Windows program's file name, cut to 15 characters) is alive,
    not a zombie. The programs it started itself (an installer, a browser)
    are in the group too, and may rightly outlive it."""
    for entry in os.listdir('/proc'):
        if not entry.isdigit():
            continue
        try:
            with open('/proc/%s/stat' % entry) as f:
                # pid (comm) state ppid pgrp ...; comm may hold blanks.
                head, _, tail = f.read().rpartition(')')
        except OSError:
            continue
        fields = tail.split()
        if (int(fields[2]) == group and fields[0] != 'Z'
                and head.partition('(')[2] == name[:15]):
            return True
    return False


class WindowsProcess:
    """A program started through `wintool spawn`. wait() and poll() answer
    its exit code as Windows gives it (GetExitCodeProcess, all 32 bits),
    which wintool writes down before it ends, not the status of a Unix
    process: Wine's server ends a program's Unix process with SIGKILL when
    it is still tearing down half a second after its last thread ended
    (docs/PLATFORM.md), whatever its exit code. A program that crashes
    gives its exception code (0xC0000005 for an access violation)."""

    def __init__(self, popen, exit_file, name):
        self.popen = popen
        self.exit_file = exit_file
        self.name = name
        self.pid = popen.pid
        self.stdout = popen.stdout

    @property
    def returncode(self):
        return self._code() if self.popen.returncode is not None else None

    def poll(self):
        return None if self.popen.poll() is None else self._code()

    def wait(self, timeout=None):
        self.popen.wait(timeout)
        code = self._code()
        self._wait_group_gone()
        return code

    def communicate(self, timeout=None):
        out, err = self.popen.communicate(timeout=timeout)
        self._code()
        return out, err

    def kill(self):
        """Ends wintool and the program with it."""
        try:
            os.killpg(self.popen.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.popen.wait(10)

    def _wait_group_gone(self, limit=GROUP_EXIT_LIMIT):
        """Waits until the program's Unix process has left too. Its
        Windows process ends before its Unix process has torn down, and a
        program started again in that moment can come to nothing: it showed
        no window, sent no request and ended with 0 in 2 of 50 runs of
        test_single_instance. Wine's server ends a Unix process that stays
        with SIGKILL."""
        deadline = time.monotonic() + limit
        while (_alive_in_group(self.popen.pid, self.name)
               and time.monotonic() < deadline):
            time.sleep(0.02)

    def _code(self):
        try:
            with open(self.exit_file) as f:
                return int(f.read())
        except (OSError, ValueError):
            raise RuntimeError('wintool ended with status %s before it wrote the exit code '
                               'down' % self.popen.returncode) from None


@contextlib.contextmanager
def loopback_port_80():
    """Serialises the tests that listen on port 80 of the loopback builds'
    addresses, across sessions running side by side."""
    with open('/tmp/lvdownload-loopback-80.lock', 'w') as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def wait_until(predicate, timeout=30, interval=0.05, what='condition'):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError('timed out waiting for ' + what)
        time.sleep(interval)
