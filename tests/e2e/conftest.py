"""Fixtures of the end-to-end tests under Wine.

`wine` is one Wine session (own prefix, wineserver and Xvfb) for the whole
run; every test starts with an empty temporary directory, no install-state
key and the default temporary directory, and ends with every program it
started stopped.

The tests run on the build this host can run (harness/host.py). Tests marked
`smoke64` are the set that also runs on the 64-bit build where the whole
suite runs on the 32-bit one (tools/run-tests).
"""
import os
import shutil
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from harness import host, paths, signing       # noqa: E402
from harness.job import INSTALL_KEY, altered, installer_body  # noqa: E402
from harness.web import Collector, LoopbackWeb, Recorder  # noqa: E402
from harness.wine import WineSession, WineUnavailable, loopback_port_80  # noqa: E402

# Wine puts only 32-bit processes in these modes; a 64-bit one stays at 6.1.
MODES_OF_32_BIT_PROGRAMS = ('win98', 'win2k', 'winxp')


def pytest_configure(config):
    config.addinivalue_line('markers', 'smoke64: also run on the 64-bit build where the '
                                       'suite runs on the 32-bit one')


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
            pytest.skip('the %s mode needs a 32-bit program under Wine, and %s'
                        % (mode, host.limit()))
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
    recorder. Leave one out to make its connections refused."""

    def __init__(self, download=True, report=True):
        self.recorder = Recorder()
        self.download_server = (LoopbackWeb(paths.LOOPBACK_DOWNLOAD_ADDRESS, 80, self.recorder)
                                if download else None)
        self.report_server = (LoopbackWeb(paths.LOOPBACK_REPORT_ADDRESS, 80, self.recorder)
                              if report else None)

    def close(self):
        for server in (self.download_server, self.report_server):
            if server:
                server.close()


@pytest.fixture
def direct_web():
    """Factory: direct_web(download=True, report=True) -> DirectWeb."""
    made = []

    def make(download=True, report=True):
        web = DirectWeb(download, report)
        made.append(web)
        return web

    with loopback_port_80():
        yield make
        for web in made:
            web.close()
