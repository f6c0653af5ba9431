"""The build refuses a configuration the program could not use, naming the
variable; the checks run alone in CMake's script mode, as the build runs
them."""
import os
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from harness import paths    # noqa: E402

DEFAULTS = {'IDS_SERVER': paths.DOWNLOAD_HOST, 'IDS_OBJECT': paths.OBJECT_PATH,
            'IDS_AGENT': paths.USER_AGENT, 'REPORT_HOST': paths.REPORT_HOST}


def check(**changes):
    values = dict(DEFAULTS, **changes)
    return subprocess.run(['cmake'] + ['-D%s=%s' % item for item in values.items()]
                          + ['-P', os.path.join(paths.REPO, 'cmake', 'check_config.cmake')],
                          capture_output=True, text=True, timeout=30)


EMPTY_SHA256 = 'e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855'


def test_default_configuration_and_a_pin_in_either_case_pass():
    assert check().returncode == 0
    assert check(INSTALLER_SHA256=EMPTY_SHA256.upper()).returncode == 0


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
])
def test_unusable_text_is_refused_by_name(name, value):
    result = check(**{name: value})
    assert result.returncode != 0
    assert name in result.stderr, result.stderr
