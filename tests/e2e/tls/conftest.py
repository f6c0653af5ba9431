"""Fixtures of the TLS tests: an HTTPS build under Wine against the
harness's proxy, which ends every tunnel with throwaway certificates
(harness/tls.py).

Wine trusts only the host's bundle, so tools/run-tls-tests runs these tests
in a private mount namespace whose bundle also holds a root made for the
run; they are collected only in such a run (LV_TLS_RUN=1). Where that
namespace is not permitted, the run says why and every test is skipped
with that reason.
"""
import os
import sys

import pytest

E2E = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, E2E)     # the helpers of the end-to-end tests

from harness import paths, tls      # noqa: E402

if os.environ.get('LV_TLS_RUN') != '1':
    collect_ignore_glob = ['test_*.py']

# Every name the tests reach over TLS: through the proxy, and directly.
HOSTS = [paths.DOWNLOAD_HOST, paths.REPORT_HOST, paths.MIRROR_HOST,
         paths.LOOPBACK_DOWNLOAD_ADDRESS, paths.LOOPBACK_REPORT_ADDRESS]


@pytest.fixture(scope='session', autouse=True)
def authority():
    """The run's root, which the bundle that Wine reads holds."""
    problem = os.environ.get('LV_TLS_UNAVAILABLE')
    if problem:
        pytest.skip(problem)
    found = tls.authority_in(os.environ['LV_TLS_AUTHORITY'])
    if not tls.trusted_here(found.root):
        pytest.skip('Wine does not trust the run\'s root here: run these tests with '
                    'tools/run-tls-tests, which puts it into a private namespace\'s bundle')
    return found


@pytest.fixture(scope='session')
def certificates(authority, tmp_path_factory):
    """Server contexts, by case: 'trusted' names every host and chains to
    the run's root; the others are each wrong in one way."""
    stranger = tls.make_authority(tmp_path_factory.mktemp('untrusted'), 'Throwaway Untrusted Root')
    return {
        'trusted': authority.server_context('trusted', HOSTS),
        'untrusted root': stranger.server_context('untrusted', HOSTS),
        'other name': authority.server_context('other-name', ['elsewhere.example']),
        'expired': authority.server_context('expired', HOSTS, expired=True),
    }
