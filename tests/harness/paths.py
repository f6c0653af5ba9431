"""Where things are: the repository, the build trees and the built programs.

The Windows programs that run under Wine come from the build this host can
run (see host.py): build/win32, or build/win64 where 32-bit code cannot run.
"""
import os

from . import host

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(REPO, 'build')
NATIVE = os.path.join(BUILD, 'native')

# The product that vendors ship, read by the resource checks on every host.
LVDOWNLOAD_WIN32 = os.path.join(BUILD, 'win32', 'lvdownload.exe')
LVDOWNLOAD_WIN64 = os.path.join(BUILD, 'win64', 'lvdownload.exe')

WINE_BUILD = host.wine_build()
WINDOWS = os.path.join(BUILD, WINE_BUILD)
WINDOWS_TESTS = os.path.join(WINDOWS, 'tests')

LVDOWNLOAD = os.path.join(WINDOWS, 'lvdownload.exe')
LVCOLLECT = os.path.join(NATIVE, 'lvcollect')      # the vendor's report collector
LVPROGRESS = os.path.join(WINDOWS, 'lvprogress.exe')


def test_program(name):
    """A program of the Wine build's tests folder, by name without .exe."""
    return os.path.join(WINDOWS_TESTS, name + '.exe')


def require(*programs):
    """Ends a tool with one sentence when a program it runs is not built."""
    for program in programs:
        if not os.path.exists(program):
            raise SystemExit('missing %s: run make %s first' % (
                os.path.relpath(program, REPO), 'lvcollect' if program == LVCOLLECT else WINE_BUILD))


def windows_path(unix_path):
    """The Wine path of a Unix path: Z: is the Unix root in every prefix."""
    return 'Z:' + os.path.abspath(unix_path).replace('/', '\\')


# The default build configuration, as in CMakeLists.txt.
DOWNLOAD_HOST = 'download.tessaframe.com'
OBJECT_PATH = 'pub/lumenvast/default/english/win95nt/8.5.325/installer.foo'
USER_AGENT = 'Lumenvast Downloader'
REPORT_HOST = 'reports.tessaframe.com'
REPORT_AGENT = 'Lumenvast Downloader'
LONG_AGENT = 'Lumenvast Vendor Downloader Agent/8.5.325'   # the longagent builds
MIRROR_HOST = 'mirror.tessaframe.com'      # where the TLS tests redirect a download to
# The longest texts the configuration allows, in the -longest builds: hosts
# made of labels of at most 63 characters, as host names are.
LONGEST_DOWNLOAD_HOST = '.'.join(['d' * 63] * 4) + '.com'          # 259 characters
LONGEST_OBJECT_PATH = 'pub/' + 'o' * 255                           # 259
LONGEST_REPORT_HOST = '.'.join(['r' * 63] * 2 + ['r' * 22])       # 150

# The loopback builds connect directly, without a proxy.
LOOPBACK_DOWNLOAD_ADDRESS = '127.0.0.2'
LOOPBACK_REPORT_ADDRESS = '127.0.0.3'
