"""The collector's Debian package (make deb: debhelper, then lintian, which
must find no error and no warning) as a vendor gets it: what it holds, and
how it behaves on a Debian 12 system that runs systemd as its init, with no
build tools and no network, in a QEMU guest (tools/service-guest boots it
once for the module; tools/service-guest-job acts in it and writes down
what it saw). Needs no Wine; LV_GUEST=0 leaves the guest out."""
import glob
import json
import os
import re
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from harness import paths        # noqa: E402

DEB_DIR = os.path.join(paths.BUILD, 'deb')
SERVICE_GUEST = os.path.join(paths.REPO, 'tools', 'service-guest')
SEEN = os.path.join(paths.BUILD, 'service-guest', 'run', 'out')
# The most that systemd-analyze security may rate the unit's exposure.
MOST_EXPOSURE = 2.0

DEBS = sorted(glob.glob(os.path.join(DEB_DIR, 'lvcollect_*_amd64.deb')))
if not DEBS:
    pytest.skip('build/deb holds no package (make deb)', allow_module_level=True)
DEB = DEBS[-1]


def changelog_version():
    with open(os.path.join(paths.REPO, 'debian', 'changelog')) as f:
        return re.match(r'lvcollect \(([^)]+)\)', f.readline()).group(1)


@pytest.fixture(scope='module')
def unpacked(tmp_path_factory):
    root = tmp_path_factory.mktemp('deb')
    subprocess.run(['dpkg-deb', '-x', DEB, str(root)], check=True)
    return root


def test_package_holds_the_service_its_manual_and_only_runtime_libraries(unpacked):
    """The version is debian/changelog's, in the name, the control data and
    the binary alike; the package holds the binary, its manual page made
    from its own --help, the unit and the flags' file, and depends only on
    libraries."""
    version = changelog_version()
    assert os.path.basename(DEB) == 'lvcollect_%s_amd64.deb' % version
    field = lambda name: subprocess.run(['dpkg-deb', '-f', DEB, name], capture_output=True,
                                        text=True, check=True).stdout.strip()
    assert field('Version') == version
    binary = str(unpacked / 'usr/sbin/lvcollect')
    assert subprocess.run([binary, '--version'], capture_output=True, text=True,
                          check=True).stdout == 'lvcollect %s\n' % version
    for part in ('lib/systemd/system/lvcollect.service', 'etc/default/lvcollect',
                 'usr/share/man/man8/lvcollect.8.gz', 'usr/share/doc/lvcollect/copyright'):
        assert (unpacked / part).exists(), part
    depends = [d.strip().split()[0] for d in field('Depends').split(',')]
    assert depends and all(name.startswith('lib') for name in depends), depends

    # Every option that --help names is in the manual page.
    help_text = subprocess.run([binary, '--help'], capture_output=True, text=True,
                               check=True).stdout
    manual = subprocess.run(['zcat', str(unpacked / 'usr/share/man/man8/lvcollect.8.gz')],
                            capture_output=True, text=True, check=True).stdout
    options = set(re.findall(r'^  (--[a-z-]+)', help_text, re.M))
    assert len(options) >= 10
    assert {o for o in options if '\\-\\-' + o[2:].replace('-', '\\-') not in manual} == set()

    # The flags' file names the store in the state directory, on loopback.
    with open(unpacked / 'etc/default/lvcollect') as f:
        flags = re.search(r'^OPTIONS="([^"]*)"', f.read(), re.M).group(1).split()
    assert flags[flags.index('--listen') + 1].startswith('127.0.0.1:')
    assert flags[flags.index('--db') + 1].startswith('/var/lib/lvcollect/')


@pytest.fixture(scope='module')
def seen():
    """Boots the guest once; what it saw, by name."""
    if os.environ.get('LV_GUEST') == '0':
        pytest.skip('LV_GUEST=0 leaves the guest out')
    run = subprocess.run([SERVICE_GUEST], stdin=subprocess.DEVNULL, timeout=3600)
    assert run.returncode == 0, 'tools/service-guest failed; see its output above'

    def read(name):
        with open(os.path.join(SEEN, name), errors='replace') as f:
            return f.read().strip()
    return read


def status(answer):
    return int(answer.split(' ')[1]) if answer.startswith('HTTP/') else None


def test_installed_service_listens_stores_and_restarts(seen):
    """dpkg -i on a system with only the runtime libraries: the service is
    enabled and started on loopback, under a user of its own without
    privileges; a report is answered and stored, SIGTERM stops it cleanly
    (its closing line in the journal), and after systemctl restart the
    store still holds the first report beside the second."""
    assert (seen('install.rc'), seen('enabled-after-install'), seen('active-after-install')) == \
        ('0', 'enabled', 'active')
    assert status(seen('answer1.http')) == 200
    first = json.loads(seen('summary1.json'))
    assert (first['started'], first['failed']) == (1, {})
    process = dict(line.split(':\t', 1) for line in seen('process-status').splitlines())
    uid = process['Uid'].split()[0]
    assert uid != '0' and process['NoNewPrivs'] == '1' and process['Seccomp'] == '2'
    assert int(process['CapEff'], 16) == 0 and int(process['CapBnd'], 16) == 0

    assert (seen('restart.rc'), seen('active-after-restart')) == ('0', 'active')
    assert 'lvcollect: answered 1 reports and 0 malformed queries, all stored' in seen('journal.txt')
    assert status(seen('answer2.http')) == 200
    second = json.loads(seen('summary2.json'))
    assert (second['started'], second['failed']) == (1, {'117': 1})
    # The administrator's reads as root, as the README has them, left the
    # store's files to the service.
    assert {line.split()[0] for line in seen('store-owners').splitlines()} == {uid}


def test_unit_is_rated_at_most_two_by_systemd_analyze_security(seen):
    rated = re.search(r'Overall exposure level for lvcollect\.service: ([0-9.]+)', seen('security.txt'))
    assert rated, seen('security.txt')
    print('systemd-analyze security lvcollect.service: %s' % rated.group(1))
    assert float(rated.group(1)) <= MOST_EXPOSURE


def test_removal_stops_it_and_purge_keeps_the_store(seen):
    """dpkg -r stops the service and keeps the configuration; dpkg -P
    removes the configuration (the flags and the root-only environment)
    and leaves the store."""
    assert (seen('remove.rc'), seen('active-after-remove')) == ('0', 'inactive')
    assert seen('config-after-remove').splitlines() == ['/etc/default/lvcollect',
                                                        '/etc/lvcollect/environment']
    assert seen('purge.rc') == '0'
    assert seen('config-after-purge').count('No such file or directory') == 2
    assert 'reports.db' in seen('store-after-purge').split()
