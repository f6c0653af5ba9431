"""The build refuses a configuration the program could not use, naming the
variable; the checks run alone in CMake's script mode, as the build runs
them. Set-up asks for 32-bit Wine only where the kernel runs 32-bit code."""
import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from harness import host, paths    # noqa: E402

DEFAULTS = {'IDS_SERVER': paths.DOWNLOAD_HOST, 'IDS_OBJECT': paths.OBJECT_PATH,
            'IDS_AGENT': paths.USER_AGENT, 'REPORT_HOST': paths.REPORT_HOST}


def check(**changes):
    values = dict(DEFAULTS, **changes)
    return subprocess.run(['cmake'] + ['-D%s=%s' % item for item in values.items()]
                          + ['-P', os.path.join(paths.REPO, 'cmake', 'check_config.cmake')],
                          capture_output=True, text=True, timeout=30)


EMPTY_SHA256 = 'e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855'


def test_default_configuration_a_pin_in_either_case_and_a_signer_pass():
    assert check().returncode == 0
    assert check(INSTALLER_SHA256=EMPTY_SHA256.upper()).returncode == 0
    assert check(INSTALLER_SIGNER='Tessaframe Inc.').returncode == 0
    assert check(INSTALLER_SIGNER='T' * 64, INSTALLER_SHA256=EMPTY_SHA256).returncode == 0


@pytest.mark.parametrize('name, value', [
    ('IDS_SERVER', ''), ('IDS_OBJECT', ''), ('IDS_AGENT', ''),     # each attempt would end at once
    ('IDS_OBJECT', '/pub/installer.foo'),                          # the request adds its own "/"
    ('IDS_OBJECT', 'pub/x y.foo'), ('IDS_OBJECT', 'pub/x\ty.foo'),
    ('IDS_OBJECT', 'pub/x\x7f.foo'),
    ('IDS_AGENT', 'a "quoted" agent'), ('IDS_OBJECT', 'pub\\x.foo'),
    ('IDS_OBJECT', 'p' * 260), ('REPORT_HOST', 'r' * 151),
    ('IDS_SERVER', 'download.example.com:80'), ('REPORT_HOST', 'reports.example.com/x'),
    ('INSTALLER_SHA256', EMPTY_SHA256[:63]), ('INSTALLER_SHA256', EMPTY_SHA256 + '0'),
    ('INSTALLER_SHA256', 'g' + EMPTY_SHA256[1:]),
    ('INSTALLER_SIGNER', 'T' * 65), ('INSTALLER_SIGNER', 'M\u00fcller GmbH'),
    ('INSTALLER_SIGNER', 'Tessaframe "Inc."'), ('INSTALLER_SIGNER', 'Tessa\\frame'),
    ('INSTALLER_SIGNER', 'Tessaframe\tInc.'),
])
def test_unusable_text_is_refused_by_name(name, value):
    result = check(**{name: value})
    assert result.returncode != 0
    assert name in result.stderr, result.stderr


def setup_plan(**env):
    run = subprocess.run([os.path.join(paths.REPO, 'tools', 'setup-host'), '--dry-run'],
                         env=dict(os.environ, **env), capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    return dict(line.split(': ', 1) if ': ' in line else (line.rstrip(':'), '')
                for line in run.stdout.splitlines())


def test_setup_asks_for_32_bit_wine_only_where_the_kernel_runs_32_bit_code():
    runs, said = host.kernel()
    plan = setup_plan(LV_NO_32BIT='')
    assert plan['host'] == said
    assert ('wine32:i386' in plan['packages'].split()) == runs
    assert (plan['i386'] != 'not used') == runs
    forced = setup_plan(LV_NO_32BIT='1')
    assert forced['i386'] == 'not used'
    assert not [p for p in forced['packages'].split() + forced['missing'].split() if ':' in p]
    assert set(forced['packages'].split()) == set(plan['packages'].split()) - {'wine32:i386'}
    assert 'wine64' in forced['packages'].split()


def test_the_kernel_probe_agrees_with_wines_32_bit_loader():
    runs, _ = host.kernel()
    if os.path.exists(host.LOADER_32):
        started = subprocess.run([host.LOADER_32, '--version'], capture_output=True,
                                 timeout=60).returncode == 0
        assert started == runs
    assert not [f for f in os.listdir(paths.BUILD) if f.startswith('.i386-probe')]
