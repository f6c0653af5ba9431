"""Each language build of res/languages.tsv under Wine in its language's
locale, with Windows' look (the System font of its code page, 96 DPI): one
successful installation and one error view each. The dialog shows the
language's texts, the messages byte for byte as LoadStringA gives them in
the code page, every text fits its control with a tenth of the width to
spare, and the reports name the language.

The language trees are built by make languages (make test does); the helper
programs come from the English tree.
"""
import os

import pytest

from harness import languages, paths, ui
from harness.job import INSTALL_KEY, altered, installer_body
from harness.protocol import received_seconds, result_url, start_url
from harness.web import Download, Gate
from harness.wine import WineSession
from test_dialog import CHUNK, DOWNLOAD_VIEW, ERROR_VIEW, INSTALLING_VIEW, in_view, wait_state
from test_reports import current_os

DAMAGED, USER_CANCEL = languages.PINNED_ID, 123
# What Windows' fonts may take beyond Wine's: a tenth of a control's width.
MARGIN = 0.1
# A push button draws its label inside its 3-D edges and focus rectangle.
BUTTON_EDGE = 3


@pytest.fixture(scope='module', params=languages.translated(), ids=lambda language: language.code)
def language(request):
    """(Language, its own Wine session in its locale with Windows' look)."""
    language = request.param
    for program in (language.program(), language.program('lvdownload-pinned-signer')):
        if not os.path.exists(program):
            pytest.fail('%s is not built: make languages' % os.path.relpath(program, paths.REPO))
    session = WineSession(name='lang-' + language.code, locale=language.locale)
    try:
        session.use_windows_look()
        yield language, session
    finally:
        session.close()


@pytest.fixture
def session(language):
    """The language's session, cleared after the test."""
    yield language[1]
    wine = language[1]
    wine.stop_all()
    wine.clean_temp()
    wine.reg('delete', INSTALL_KEY, '/f')


def shown(state, control_id):
    """A control's text as the driver read it (GetWindowTextA): the code
    page's bytes."""
    return state.control(control_id)['text'].encode('latin-1')


def assert_apart(state):
    """The controls that a view shows do not cover each other."""
    rects = [c['rect'] for c in state['controls'] if c['visible']]
    for i, a in enumerate(rects):
        for b in rects[i + 1:]:
            assert a[2] <= b[0] or b[2] <= a[0] or a[3] <= b[1] or b[3] <= a[1], (a, b)


def test_downloads_and_installs_in_its_language_and_reports_it(language, session, web):
    language = language[0]
    body = installer_body()
    held = Gate('download')
    web.download = Download(body=body, holds=[(CHUNK, held)])
    try:
        process = session.start(language.program(), proxy=web.proxy_url,
                                extra_env={'LVTEST_INSTALLER_DELAY_MS': '3000'})
        held.wait_reached()
        state = wait_state(session, in_view(DOWNLOAD_VIEW), 'the download view')
        assert state['caption'] == 'Lumenvast Player'
        for name in ('IDC_DOWNLOAD_TEXT', 'IDC_PROMO_TEXT'):
            assert shown(state, languages.DIALOG_IDS[name]) == language.ansi(name), name
        assert_apart(state)
    finally:
        held.release()
    state = wait_state(session, in_view(INSTALLING_VIEW), 'the installing view')
    assert shown(state, ui.IDC_MESSAGE) == language.ansi('IDS_INSTALLING')
    assert process.wait(60) == 0

    start, download, result = web.recorder.all()
    assert download.path == '/' + language.object_path
    os_version = current_os(session)
    assert start.target == start_url(os_version, oslanguage=language.oslanguage,
                                     uilanguage=language.code)
    assert result.target == result_url(os_version, 0, len(body), received_seconds(result),
                                       obj=language.object_path, oslanguage=language.oslanguage)
    assert session.leftover_temp_files() == []


def test_error_view_shows_its_catalogue_in_its_code_page_and_every_text_fits(language, session,
                                                                             web):
    # The build that pins and checks the installer holds every message;
    # a download that differs from the pin ends with 124.
    language = language[0]
    body = altered(installer_body())
    web.download = Download(body=body)
    process = session.start(language.program('lvdownload-pinned-signer'), proxy=web.proxy_url)
    state = wait_state(session, in_view(ERROR_VIEW), 'the error view')
    assert shown(state, ui.IDC_MESSAGE) == language.ansi('IDS_ERR_DAMAGED')
    assert shown(state, ui.IDOK) == language.ansi('IDOK')
    assert shown(state, ui.IDCANCEL) == language.ansi('IDCANCEL')
    assert_apart(state)

    expected = {(languages.DIALOG_IDS[name], 0): language.texts[name]
                for name in ('IDC_DOWNLOAD_TEXT', 'IDC_PROMO_TEXT', 'IDOK', 'IDCANCEL')}
    expected.update({(ui.IDC_MESSAGE, code): text for code, text in language.messages.items()})
    fits = ui.fit(session, sorted(language.messages))
    assert {(f['id'], f['code']): f['text'] for f in fits} == expected
    for fit in fits:
        width, height = fit['room']
        if fit['button']:
            width -= 2 * BUTTON_EDGE
            height -= 2 * BUTTON_EDGE
        assert fit['width'] <= width * (1 - MARGIN) and fit['height'] <= height, fit

    assert ui.close(session)
    assert process.wait(60) == 0
    start, download, result, cancel = web.recorder.all()
    os_version = current_os(session)
    assert start.target == start_url(os_version, oslanguage=language.oslanguage,
                                     uilanguage=language.code)
    assert result.target == result_url(os_version, DAMAGED, len(body), received_seconds(result),
                                       obj=language.object_path, oslanguage=language.oslanguage)
    assert cancel.target == result_url(os_version, USER_CANCEL, 0, received_seconds(cancel),
                                       obj=language.object_path, oslanguage=language.oslanguage)
