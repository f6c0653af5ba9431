import os
import pytest
import test_dialog as d
from test_dialog import gate, body, windows_look  # noqa: F401

N = int(os.environ.get('REPRO_RUNS', '50'))


@pytest.mark.parametrize('i', range(N))
def test_single(wine, web, gate, body, i):
    d.test_single_instance(wine, web, gate, body)


@pytest.mark.parametrize('i', range(N))
def test_look(windows_look, web, gate, body, i):
    d.test_windows_look_gives_two_pixels_per_dialog_unit_and_a_caption(windows_look, web, gate, body)
