"""The progress dialog of the real downloader under Wine, as a user sees it.

The download server holds a download part-way wherever a view has to stay
put; the UI driver reads the controls and works the buttons and keys.
Screenshots of the three views land in build/test-artifacts/.
"""
import os
import subprocess
import time

import pytest

from harness import paths, ui
from harness.catalogue import DAMAGED, MESSAGES, NOT_SIGNED, PINNED_MESSAGES, SIGNER_MESSAGES
from harness.job import altered, installer_body
from harness.web import Download, FileOrigin, Gate
from harness.wine import WineSession, wait_until
from test_installer import Logs

ARTIFACTS = os.path.join(paths.BUILD, 'test-artifacts')

DOWNLOAD_VIEW = {ui.IDC_PROGRESS, ui.IDC_DOWNLOAD_TEXT, ui.IDC_PROMO_TEXT, ui.IDC_LOGO}
INSTALLING_VIEW = {ui.IDC_MESSAGE, ui.IDC_LOGO}
ERROR_VIEW = {ui.IDC_MESSAGE, ui.IDOK, ui.IDCANCEL, ui.IDC_LOGO}

DOWNLOAD_TEXT = ('Tessaframe Lumenvast Player is now downloading. This will take 10-15 minutes '
                 'on a 56k modem. You may browse to other Web pages while downloading.')
PROMO_TEXT = ('Lumenvast Player lets you experience engaging interactive content on '
              'thousands of Web sites.')
INSTALLING = MESSAGES[120]
INTERRUPTED = MESSAGES[117]
# What the error view shows for each code: ids without a text (121, 124, 125,
# and codes beyond 16 bits, which are not taken for their low word) show
# nothing.
CATALOGUE = {**MESSAGES, 121: '', 124: '', 125: '', 0x10000 + 117: ''}

VK_ESCAPE, VK_RETURN, VK_TAB, VK_SPACE = 0x1B, 0x0D, 0x09, 0x20
WM_COMMAND = 0x111
# The job reads whole 32,768-byte chunks, so holds on a chunk boundary give
# a known byte count.
CHUNK = 32768


@pytest.fixture
def gate():
    """Factory of gates, all released at the end so no server thread waits."""
    made = []

    def make(name=''):
        made.append(Gate(name))
        return made[-1]

    yield make
    for g in made:
        g.release()


@pytest.fixture(scope='module')
def body():
    return installer_body()


def start_downloader(wine, web, **env):
    return wine.start_program(paths.LVDOWNLOAD, proxy=web.proxy_url, extra_env=env)


def wait_state(wine, predicate, what):
    def probe():
        state = ui.state(wine)
        return state if state and predicate(state) else None
    return wait_until(probe, timeout=60, what=what)


def in_view(view):
    return lambda state: state.visible_ids() == view


def at_position(position):
    return lambda state: state['progress'] == position


def screenshot(wine, name):
    time.sleep(1)   # let Wine finish painting before the picture
    wine.screenshot(os.path.join(ARTIFACTS, name))


def texts(state):
    return {c['id']: c['text'] for c in state['controls']}


def check_error_view(state, message):
    assert state.visible_ids() == ERROR_VIEW
    assert state.message == message
    assert texts(state)[ui.IDOK] == 'Try Again'
    assert texts(state)[ui.IDCANCEL] == 'Cancel'


def trunc_half(value):
    return int(value / 2) if value >= 0 else -int(-value / 2)


@pytest.mark.smoke64
def test_download_and_installing_views_progress_rule_and_success(wine, web, gate, body):
    held = gate('download')
    offset = 3 * CHUNK
    web.download = Download(body=body, holds=[(offset, held)])
    process = start_downloader(wine, web, LVTEST_INSTALLER_DELAY_MS='4000')
    assert ui.wait_dialog(wine)
    held.wait_reached()
    state = wait_state(wine, at_position(offset * 100 // len(body)), 'the held position')

    assert state.visible_ids() == DOWNLOAD_VIEW
    assert state['visible']
    assert state['caption'] == 'Lumenvast Player'
    assert texts(state)[ui.IDC_DOWNLOAD_TEXT] == DOWNLOAD_TEXT
    assert texts(state)[ui.IDC_PROMO_TEXT] == PROMO_TEXT
    assert texts(state)[ui.IDC_MESSAGE] == 'Error Message'

    # Centred on the desktop window, by the rectangle it keeps.
    d_left, d_top, d_right, d_bottom = state['desktop']
    left, top, right, bottom = state['window']
    assert left == trunc_half(d_left + d_right + left - right)
    assert top == trunc_half(d_top + d_bottom + top - bottom)
    for control in state['controls']:
        c_left, c_top, c_right, c_bottom = control['rect']
        assert left <= c_left < c_right <= right and top <= c_top < c_bottom <= bottom, control
    screenshot(wine, 'dialog-download-view.png')

    # Nothing else moves the bar while the download is held.
    for (done, total), position in [
            ((1000, 3000), 33),
            ((5, 0), 33),                   # no total: left as it was
            ((0, 0), 33),
            ((3000, 2000), 33),             # more than the total: left as it was
            ((2000, 2000), 100),            # equal is accepted
            ((50000000, 60000000), 83),     # the product needs 64 bits
            ((60000001, 60000000), 83),
            ((1, 0xFFFFFFFF), 0),           # both counts are unsigned
            ((0xFFFFFFFF, 0xFFFFFFFF), 100)]:
        ui.send(wine, ui.WMU_PROGRESS, done, total)
        assert ui.state(wine)['progress'] == position, (done, total)

    held.release()
    state = wait_state(wine, in_view(INSTALLING_VIEW), 'the installing view')
    assert state.message == INSTALLING
    assert state['progress'] == 100     # the real download's last chunk
    screenshot(wine, 'dialog-installing-view.png')

    assert process.wait(60) == 0
    assert ui.count(wine) == 0
    reports = web.recorder.reports()
    assert [r.kind for r in web.recorder.all()] == ['report', 'download', 'report']
    assert 'action=success' in reports[-1].query
    assert wine.leftover_temp_files() == []


@pytest.mark.smoke64
def test_interrupted_download_try_again_keys_and_cancel(wine, web, gate, body):
    # First attempt: reset once the client has written `first` bytes.
    first = 4 * CHUNK
    first_held = gate('first')
    web.queue_download(Download(body=body, holds=[(first, first_held)], reset_at=first))
    process = start_downloader(wine, web)
    assert ui.wait_dialog(wine)
    first_held.wait_reached()
    old_position = first * 100 // len(body)
    wait_state(wine, at_position(old_position), 'the first attempt\'s position')

    # Another window takes the foreground; the error view takes it back.
    other = wine.start('notepad')
    wait_state(wine, lambda s: not s['foreground'], 'another foreground window')
    first_held.release()
    state = wait_state(wine, in_view(ERROR_VIEW), 'the error view')
    check_error_view(state, INTERRUPTED)
    assert state['foreground']
    assert state['progress'] == old_position
    other.kill()
    other.wait(30)
    screenshot(wine, 'dialog-error-view.png')

    # Try Again: one new attempt, held before its first byte, then part-way.
    second = CHUNK
    before_first_byte, second_held = gate('start'), gate('second')
    web.queue_download(Download(body=body, holds=[(0, before_first_byte), (second, second_held)],
                                reset_at=second))
    seen = len(web.recorder.all())
    assert ui.click(wine, ui.IDOK)
    before_first_byte.wait_reached()
    state = ui.state(wine)
    assert state.visible_ids() == DOWNLOAD_VIEW
    assert state['progress'] == old_position
    assert state.message == INTERRUPTED     # hidden, but kept
    new = web.recorder.all()[seen:]
    assert [r.kind for r in new] == ['report', 'download']
    assert 'action=update' in new[0].query

    before_first_byte.release()
    second_held.wait_reached()
    wait_state(wine, at_position(second * 100 // len(body)), 'the new attempt\'s position')
    second_held.release()
    state = wait_state(wine, in_view(ERROR_VIEW), 'the error view again')
    check_error_view(state, INTERRUPTED)
    focus = state['focus']
    assert focus in (ui.IDOK, ui.IDCANCEL), 'a button should hold the focus after the click'

    # No keyboard handling: Esc, Enter and Tab change nothing. A posted
    # progress event behind each key shows that the key has been handled.
    seen = len(web.recorder.all())
    for marker, vk in enumerate((VK_ESCAPE, VK_RETURN, VK_TAB), start=11):
        assert ui.key(wine, vk) == focus
        assert ui.post(wine, ui.WMU_PROGRESS, marker, 100)
        state = wait_state(wine, at_position(marker), 'the key %#x to be handled' % vk)
        assert state.visible_ids() == ERROR_VIEW, vk
        assert state['focus'] == focus, vk
    assert len(web.recorder.all()) == seen

    # Cancel ends the process without a report.
    assert ui.click(wine, ui.IDCANCEL)
    assert process.wait(60) == 0
    assert ui.count(wine) == 0
    requests = web.recorder.all()
    assert len(requests) == seen
    assert [r.kind for r in requests] == ['report', 'download', 'report'] * 2
    assert wine.leftover_temp_files() == []


def test_hidden_buttons_neither_start_nor_end_an_attempt(wine, web, gate, body):
    # A clicked button keeps the keyboard focus when a view hides it. Space
    # and Enter on it, and posted commands, during the download and the
    # installing views must neither start a second attempt beside the
    # running one nor end the dialog under it.
    markers = iter(range(11, 99))

    def keys_and_commands_change_nothing(view):
        for vk in (VK_SPACE, VK_RETURN):
            assert ui.key(wine, vk) == ui.IDOK
        for command in (ui.IDOK, ui.IDCANCEL):
            assert ui.post(wine, WM_COMMAND, command, 0)
        marker = next(markers)      # handled after everything posted before it
        assert ui.post(wine, ui.WMU_PROGRESS, marker, 100)
        state = wait_state(wine, at_position(marker), 'the posted keys to be handled')
        assert state.visible_ids() == view

    def attempt(holds, reset_at=None):
        gates = [gate('at %d' % offset) for offset in holds]
        web.queue_download(Download(body=body, holds=list(zip(holds, gates)), reset_at=reset_at))
        return gates

    [first] = attempt([2 * CHUNK], reset_at=2 * CHUNK)
    process = start_downloader(wine, web, LVTEST_INSTALLER_DELAY_MS='3000')
    first.wait_reached()
    first.release()
    wait_state(wine, in_view(ERROR_VIEW), 'the first error view')

    # Try Again by mouse: the button takes the focus and keeps it, hidden.
    [second] = attempt([CHUNK + 1000], reset_at=CHUNK + 1000)
    assert ui.click(wine, ui.IDOK)
    second.wait_reached()
    assert wait_state(wine, in_view(DOWNLOAD_VIEW), 'the download view')['focus'] == ui.IDOK
    keys_and_commands_change_nothing(DOWNLOAD_VIEW)
    second.release()
    state = wait_state(wine, in_view(ERROR_VIEW), 'the second error view')

    # Try Again by keyboard still works in the error view.
    [third] = attempt([CHUNK + 1000])
    assert state['focus'] == ui.IDOK
    assert ui.key(wine, VK_SPACE) == ui.IDOK
    third.wait_reached()
    wait_state(wine, in_view(DOWNLOAD_VIEW), 'the third download view')
    keys_and_commands_change_nothing(DOWNLOAD_VIEW)
    third.release()
    wait_state(wine, in_view(INSTALLING_VIEW), 'the installing view')
    keys_and_commands_change_nothing(INSTALLING_VIEW)

    assert process.wait(60) == 0
    assert ui.count(wine) == 0
    requests = web.recorder.all()
    assert [r.kind for r in requests] == ['report', 'download', 'report'] * 3
    assert [('action=update' in r.query) for r in requests[0::3]] == [True] * 3
    assert ['action=success' in r.query for r in requests[2::3]] == [False, False, True]
    assert wine.leftover_temp_files() == []


@pytest.mark.parametrize('stored, message', [
    ('7', ''),                          # no catalogue text
    ('120', INSTALLING),
    (str(0x10000 + 117), ''),
])
def test_installer_code_is_shown_and_closing_reports(wine, web, body, stored, message):
    web.download = Download(body=body)
    process = start_downloader(wine, web, LVTEST_INSTALLER=stored)
    state = wait_state(wine, in_view(ERROR_VIEW), 'the error view')
    check_error_view(state, message)
    assert state['foreground']

    if stored == '7':
        # Every result code the dialog may be given, in the same window.
        for code, text in CATALOGUE.items():
            ui.send(wine, ui.WMU_FINISHED, code, 0)
            check_error_view(ui.state(wine), text)

    # Closing the window reports the cancel first, in the error view too.
    assert ui.close(wine)
    assert process.wait(60) == 0
    assert ui.count(wine) == 0
    requests = web.recorder.all()
    assert [r.kind for r in requests] == ['report', 'download', 'report', 'report']
    assert 'action=failure&error=%s&' % stored in requests[2].query
    assert 'action=failure&error=123&' in requests[3].query


@pytest.mark.parametrize('build', ['pinned', 'signer'])
def test_checking_build_refuses_a_download_and_tries_again(wine, web, body, signed_installers,
                                                           build):
    refused, accepted, message = {
        'pinned': (altered(body), body, PINNED_MESSAGES[DAMAGED]),
        'signer': (signed_installers['unsigned'], signed_installers['vendor'],
                   SIGNER_MESSAGES[NOT_SIGNED]),
    }[build]
    web.queue_download(Download(body=refused))
    web.download = Download(body=accepted)
    process = wine.start_program(paths.test_program('lvdownload-' + build), proxy=web.proxy_url,
                         extra_env={'LVTEST_INSTALLER': '0'})
    check_error_view(wait_state(wine, in_view(ERROR_VIEW), 'the error view'), message)
    assert wine.leftover_temp_files() == []
    assert ui.click(wine, ui.IDOK)
    assert process.wait(60) == 0
    requests = web.recorder.all()
    assert [r.kind for r in requests] == ['report', 'download', 'report'] * 2
    assert ['action=success' in r.query for r in requests[2::3]] == [False, True]
    assert wine.leftover_temp_files() == []


@pytest.mark.parametrize('build', ['default', 'pinned', 'signer'])
def test_download_cut_short_is_interrupted_and_never_run(wine, web, tmp_path, body,
                                                         signed_installers, build):
    # Debian's nginx serves the installer from disk; the proxy in front
    # closes the connection cleanly (FIN) part-way through the first body,
    # which WinINet ends with an empty read as it does a whole one.
    installer = signed_installers['vendor'] if build == 'signer' else body
    cut = len(installer) * 3 // 5
    logs = Logs(str(tmp_path))
    with FileOrigin(str(tmp_path / 'origin')) as origin:
        origin.put(paths.OBJECT_PATH, installer)
        web.queue_download(Download(origin=origin.address, close_at=cut))
        web.download = Download(origin=origin.address)
        process = wine.start_program(paths.LVDOWNLOAD if build == 'default'
                             else paths.test_program('lvdownload-' + build),
                             proxy=web.proxy_url, extra_env=logs.env())
        check_error_view(wait_state(wine, in_view(ERROR_VIEW), 'the error view'), INTERRUPTED)
        assert logs.installer_runs() == []
        assert wine.leftover_temp_files() == []
        report = web.recorder.reports()[-1]
        assert '&action=failure&error=117&' in report.target
        assert 'totalbytes=%d&' % cut in report.target
        assert ui.click(wine, ui.IDOK)
        assert process.wait(60) == 0
        assert [(a.status, a.bytes) for a in origin.answers()] == [(200, len(installer))] * 2
    assert len(logs.installer_runs()) == 1
    assert 'action=success' in web.recorder.reports()[-1].query
    assert wine.leftover_temp_files() == []


def test_single_instance(wine, web, gate, body):
    held = gate('first')
    web.queue_download(Download(body=body, holds=[(1000, held)]))
    first = start_downloader(wine, web)
    assert ui.wait_dialog(wine)
    held.wait_reached()

    second = start_downloader(wine, web)
    assert second.wait(60) == 0
    assert ui.count(wine) == 1
    assert [r.kind for r in web.recorder.all()] == ['report', 'download']
    assert first.poll() is None

    assert ui.close(wine)
    assert first.wait(60) == 0
    assert ui.count(wine) == 0

    # The next start, after the first has gone, runs to its end.
    web.download = Download(body=body)
    seen = len(web.recorder.all())
    third = start_downloader(wine, web)
    assert ui.wait_dialog(wine)
    assert third.wait(60) == 0
    assert ui.count(wine) == 0
    assert [r.kind for r in web.recorder.all()[seen:]] == ['report', 'download', 'report']
    assert 'action=success' in web.recorder.all()[-1].query


# --- The look of the demo and the README's pictures --------------------------------------

@pytest.fixture(scope='module')
def windows_look():
    session = WineSession(name='look')
    session.use_windows_look()
    yield session
    session.close()


def pixel(path, x, y):
    """The colour at (x, y) of a picture, as ImageMagick names it."""
    return subprocess.run(['convert', path, '-format', '%%[pixel:p{%d,%d}]' % (x, y), 'info:'],
                          check=True, capture_output=True, text=True, timeout=30).stdout


def test_windows_look_gives_two_pixels_per_dialog_unit_and_a_caption(windows_look, web, gate,
                                                                     body):
    held = gate('look')
    web.download = Download(body=body, holds=[(CHUNK, held)])
    process = start_downloader(windows_look, web, LVTEST_INSTALLER='0')
    state = wait_state(windows_look, in_view(DOWNLOAD_VIEW), 'the download view')
    bar = state.control(ui.IDC_PROGRESS)['rect']
    logo = state.control(ui.IDC_LOGO)['rect']
    text = state.control(ui.IDC_DOWNLOAD_TEXT)['rect']
    # The template's bar is 220 by 10 units, 70 units below the logo's top.
    assert (bar[2] - bar[0], bar[3] - bar[1], bar[1] - logo[1]) == (440, 20, 140)
    assert logo[2] <= text[0], 'the logo covers the text'

    shot = os.path.join(ARTIFACTS, 'windows-look.png')
    time.sleep(1)
    windows_look.screenshot(shot)
    left, top, right, _ = state['window']
    # Half-way along the caption bar, clear of its text and buttons: drawn,
    # not the bare black of a screen without a window manager.
    assert pixel(shot, (left + right) // 2 + 40, top + 8) not in ('black', 'srgb(0,0,0)')
    held.release()
    assert process.wait(60) == 0
