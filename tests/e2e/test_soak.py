"""A short run of the fault soak (tools/soak.py, `make soak` runs the long
one): 20 attempts of a fixed seed against misbehaving servers, every fault
kind once or more, two of them through the real downloader (a success and
a failure shown in the error view). Every report also goes on to the
vendor's collector, which must hold every attempt with the code the soak
saw."""
import os
import sys

from harness import paths

sys.path.insert(0, os.path.join(paths.REPO, 'tools'))
import soak  # noqa: E402

SEED = 288


def test_short_soak(wine, collector):
    summary = soak.run_soak(wine, SEED, attempts=20, log=print, collector=collector)
    assert not summary.failures, summary.table()
    assert soak.check_collector(collector, summary.outcomes) == []
    assert set(summary.count(lambda o: o.plan.fault.kind)) == set(soak.KINDS)
    downloader = [o.result for o in summary.outcomes if o.plan.program == 'lvdownload']
    # A success that closed the window, and a body closed short of its
    # length shown as interrupted.
    assert sorted(downloader) == [0, 117]
