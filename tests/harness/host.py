"""What this host can run, and so which Windows build the Wine runs use.

Some kernels refuse every i386 Linux program ("Exec format error"), so Wine's
32-bit loader cannot start there and only the 64-bit one runs. The kernel is
asked once per process with the same probe that tools/setup-host asks
(tools/host-runs-32bit), and then the 32-bit loader itself, which may not be
installed.

LV_NO_32BIT=1 makes the harness act as if the host could not run 32-bit
code (to try the 64-bit branch on a host that can); LV_WINE_BUILD=win32 or
win64 picks the build outright.
"""
import functools
import os
import subprocess

LOADER_32 = '/usr/lib/wine/wine'
PROBE_32 = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), 'tools', 'host-runs-32bit')
LOADER_64 = '/usr/lib/wine/wine64'
SETUP_HINT = 'run tools/setup-host (as root or with sudo) to install it'


def _starts(loader):
    try:
        return subprocess.run([loader, '--version'], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=30).returncode == 0
    except OSError:
        return False


@functools.lru_cache(maxsize=None)
def kernel():
    """(runs 32-bit programs, the probe's one line saying so)"""
    probe = subprocess.run([PROBE_32, '--say'], capture_output=True, text=True, timeout=30)
    return probe.returncode == 0, probe.stdout.strip()


@functools.lru_cache(maxsize=None)
def runs_32_bit():
    """True when this kernel runs 32-bit code and Wine's 32-bit loader starts."""
    if os.environ.get('LV_NO_32BIT') == '1':
        return False
    return kernel()[0] and _starts(LOADER_32)


@functools.lru_cache(maxsize=None)
def runs_64_bit():
    return _starts(LOADER_64)


def wine_build():
    """'win32' or 'win64': the build that the Wine runs use on this host."""
    chosen = os.environ.get('LV_WINE_BUILD')
    if chosen in ('win32', 'win64'):
        return chosen
    return 'win32' if runs_32_bit() else 'win64'


def limit():
    """Why the 32-bit build does not run here, for skip reasons and summaries."""
    if os.environ.get('LV_NO_32BIT') == '1':
        return 'LV_NO_32BIT=1 makes this run act as if the host ran no 32-bit code'
    runs, said = kernel()
    if not runs:
        return said
    if not os.path.exists(LOADER_32):
        return 'Wine\'s 32-bit loader (wine32:i386) is not installed on this host'
    return '%s --version fails on this host' % LOADER_32


def wine_problem(build=None):
    """None when Wine can run `build` here, else one sentence that says what
    is wrong and how to mend it."""
    build = build or wine_build()
    if build == 'win32':
        if runs_32_bit():
            return None
        if kernel()[0] and os.environ.get('LV_NO_32BIT') != '1' \
                and not os.path.exists(LOADER_32):
            return ('Wine cannot run the 32-bit build: %s is missing; %s.'
                    % (LOADER_32, SETUP_HINT))
        return ('Wine cannot run the 32-bit build: %s; use the 64-bit build '
                '(unset LV_WINE_BUILD) or a host that runs 32-bit code.' % limit())
    if runs_64_bit():
        return None
    if not os.path.exists(LOADER_64):
        return ('Wine cannot start on this host: %s is missing; %s.'
                % (LOADER_64, SETUP_HINT.replace('install it', 'install wine64')))
    return ('Wine cannot start on this host: %s --version fails; reinstall wine64 '
            'with tools/setup-host.' % LOADER_64)


def guest():
    """Where the 32-bit build's Wine tests run: 'host' where this kernel runs
    32-bit code, else 'guest' (a Debian guest under QEMU, tools/guest-test),
    or 'off' when LV_GUEST=0 leaves the guest out. The kernel alone decides,
    as it decides what tools/setup-host installs for the guest."""
    if os.environ.get('LV_NO_32BIT') != '1' and kernel()[0]:
        return 'host'
    return 'off' if os.environ.get('LV_GUEST') == '0' else 'guest'


def describe(build=None):
    """One line for summaries: which build the Wine runs use, and why."""
    build = build or wine_build()
    if build == 'win32':
        return 'the 32-bit build (build/win32) under Wine\'s 32-bit loader'
    why = ('LV_WINE_BUILD=win64' if os.environ.get('LV_WINE_BUILD') == 'win64'
           else limit())
    return 'the 64-bit build (build/win64) under Wine\'s 64-bit loader, because %s' % why


if __name__ == '__main__':
    # host.py build: prints win32 or win64; host.py guest: prints host,
    # guest or off; host.py check: prints what stops Wine and exits 1, or
    # prints nothing.
    import sys
    if sys.argv[1:] == ['build']:
        print(wine_build())
    elif sys.argv[1:] == ['guest']:
        print(guest())
    elif sys.argv[1:] == ['check']:
        problem = wine_problem()
        if problem:
            sys.exit(problem)
    else:
        sys.exit('usage: host.py build|guest|check')
