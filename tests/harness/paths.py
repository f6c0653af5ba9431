"""Where things are: the repository, the build trees and the built programs."""
import os

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILD = os.path.join(REPO, 'build')
WIN32 = os.path.join(BUILD, 'win32')
WIN32_TESTS = os.path.join(WIN32, 'tests')
NATIVE = os.path.join(BUILD, 'native')

LVDOWNLOAD = os.path.join(WIN32, 'lvdownload.exe')
LVPROGRESS = os.path.join(WIN32, 'lvprogress.exe')


def test_program(name):
    """A program of build/win32/tests, by name without .exe."""
    return os.path.join(WIN32_TESTS, name + '.exe')


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

# The loopback builds connect directly, without a proxy.
LOOPBACK_DOWNLOAD_ADDRESS = '127.0.0.2'
LOOPBACK_REPORT_ADDRESS = '127.0.0.3'
