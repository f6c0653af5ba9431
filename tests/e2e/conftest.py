"""Fixtures of the end-to-end tests under Wine.

`wine` is one Wine session (own prefix, wineserver and Xvfb) for the whole
run; every test starts with an empty temporary directory, no install-state
key and the default temporary directory, and ends with every program it
started stopped.

The tests run on the build this host can run (harness/host.py). Tests marked
`smoke64` are the set that also runs on the 64-bit build where the whole
suite runs on the 32-bit one (tools/run-tests). Where the host runs no 32-bit
code, those and the tests marked `guest32`, which only a 32-bit program can
pass, run on the 32-bit build in a Debian guest (tools/guest-test).
"""
import os
import shutil
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from harness import host, paths, signing       # noqa: E402
from harness.job import INSTALL_KEY, altered, installer_body  # noqa: E402
from harness.web import Collector, LoopbackWeb, Recorder  # noqa: E402
from harness.wine import (MODES_OF_32_BIT_PROGRAMS, WineSession, WineUnavailable,  # noqa: E402
                          loopback_port_80)


def pytest_configure(config):
    config.addinivalue_line('markers', 'smoke64: also run on the 64-bit build where the '
                                       'suite runs on the 32-bit one')
    config.addinivalue_line('markers', 'guest32: needs a 32-bit program; runs in the guest '
                                       'with the smoke set where the host runs no 32-bit code')


def pytest_report_header(config):
    return 'Wine tests run on ' + host.describe()


def pytest_terminal_summary(terminalreporter):
    terminalreporter.write_line('Wine tests ran on ' + host.describe())


@pytest.fixture(scope='session')
def wine():
    for program in (paths.LVDOWNLOAD, paths.test_program('jobhost')):
        if not os.path.exists(program):
            pytest.exit('build the Windows tree first (make win32): %s is missing' % program)
    try:
        session = WineSession(name=os.environ.get('LV_SESSION_NAME', 'e2e'))
    except WineUnavailable as problem:
        pytest.exit(str(problem), returncode=1)
    yield session
    session.close()


@pytest.fixture(autouse=True)
def clean_state(wine):
    wine.restore_temp_dir()
    wine.clean_temp()
    wine.reg('delete', INSTALL_KEY, '/f')
    yield
    wine.stop_all()
    wine.restore_temp_dir()


@pytest.fixture
def windows_version(wine):
    """windows_version(mode) switches the prefix to a Windows version mode
    for the rest of the test; the prefix goes back to win7 after it."""
    def switch(mode):
        if mode in MODES_OF_32_BIT_PROGRAMS and paths.WINE_BUILD == 'win64':
            pytest.skip('the %s mode needs a 32-bit program under Wine, and %s%s'
                        % (mode, host.limit(), '; it runs in the guest (tools/guest-test)'
                           if host.guest() == 'guest' else ''))
        wine.set_windows_version(mode)
    yield switch
    wine.set_windows_version('win7')


@pytest.fixture
def web():
    """Download server and report sink on an ephemeral loopback port; pass
    web.proxy_url as the proxy so that every host reaches it."""
    server = LoopbackWeb()
    yield server
    server.close()


@pytest.fixture
def collector(tmp_path):
    """lvcollect on an ephemeral loopback port with a fresh store; set
    web.collector = collector.address to pass the reports on to it."""
    if not os.path.exists(paths.LVCOLLECT):
        pytest.exit('build the native tree first (make native): %s is missing' % paths.LVCOLLECT)
    with Collector(str(tmp_path / 'reports.db')) as running:
        yield running


@pytest.fixture(scope='session')
def signed_installers(tmp_path_factory):
    """The test installer as served: unsigned, signed with throwaway
    certificates under the vendor's name, another name and a name that only
    begins with the vendor's, and the vendor's copy with one byte changed
    after signing."""
    bodies = {'unsigned': installer_body()}
    for case, name in (('vendor', signing.SIGNER), ('other', 'Lumenvast Other Vendor'),
                       ('longer name', signing.SIGNER + ' Ltd')):
        folder = tmp_path_factory.mktemp('signed')
        program = folder / 'installer.exe'
        shutil.copy(paths.test_program('testinstaller'), program)
        run = signing.sign(signing.make_authority(folder, name), [program])
        assert run.returncode == 0, run.stderr
        with open(signing.signed_name(program), 'rb') as f:
            bodies[case] = f.read()
    bodies['tampered'] = altered(bodies['vendor'])
    return bodies


class DirectWeb:
    """Servers on port 80 of the loopback builds' two addresses, sharing one
    recorder. Leave one out to make its connections refused. With `tls`
    (an ssl.SSLContext, or web.PLAIN_INSIDE) they listen on port 443 and
    speak TLS; `download_tls` gives the download server another one; the
    recorder may be shared with other servers."""

    def __init__(self, download=True, report=True, tls=None, download_tls=None, recorder=None):
        self.recorder = recorder or Recorder()
        port = 443 if tls else 80
        self.download_server = (LoopbackWeb(paths.LOOPBACK_DOWNLOAD_ADDRESS, port, self.recorder,
                                            listen_tls=download_tls or tls)
                                if download else None)
        self.report_server = (LoopbackWeb(paths.LOOPBACK_REPORT_ADDRESS, port, self.recorder,
                                          listen_tls=tls)
                              if report else None)

    def close(self):
        for server in (self.download_server, self.report_server):
            if server:
                server.close()


@pytest.fixture
def direct_web():
    """Factory: direct_web(download=True, report=True, ...) -> DirectWeb."""
    made = []

    def make(*args, **options):
        web = DirectWeb(*args, **options)
        made.append(web)
        return web

    with loopback_port_80():
        yield make
        for web in made:
            web.close()
