"""The redirect page after a successful installation, end to end through the
job host: the page's bytes in the temporary directory and the browser
command started on it, taken from the job host's own command line."""
import os

import pytest

from harness.job import INSTALL_KEY
from harness.protocol import sheet_example
from test_installer import (BROWSER, PAGE_HEAD, PAGE_NAME, PAGE_TAIL, assert_browser_not_started,
                            assert_install_events, page_file, run_job)
from test_installer import logs, serve_installer   # noqa: F401  (fixtures)

COMMAND_BUFFER = 528   # characters, terminator included


def default_page_path(wine):
    return wine.default_temp_windows.rstrip('\\') + '\\' + PAGE_NAME


def assert_success(wine, run):
    assert_install_events(run, 0)
    assert not wine.key_exists(INSTALL_KEY)


def read_page(wine):
    with open(page_file(wine), 'rb') as f:
        return f.read()


@pytest.mark.parametrize('url', [
    pytest.param('http://example.invalid/player/welcome.html?from=lvdownload',
                 marks=pytest.mark.smoke64),
    '',
    'http://example.invalid/a b/%41?x=1&y=<2>;',   # taken byte for byte, no escaping
], ids=['plain', 'empty', 'special'])
def test_page_holds_the_url_and_the_browser_gets_its_path(wine, web, logs, url):
    # A longer page from an earlier run must be replaced, not overwritten in part.
    with open(page_file(wine), 'wb') as f:
        f.write(b'<html><body>an earlier page, longer than any of the new ones' + b'.' * 200)
    run = run_job(wine, web, logs, ' "%s" "%s"' % (BROWSER, url))
    assert_success(wine, run)
    page = read_page(wine)
    assert page == PAGE_HEAD + url.encode('latin-1') + PAGE_TAIL
    assert len(page) == 45 + len(url)
    assert logs.browser_starts() == ['"%s" %s' % (BROWSER, default_page_path(wine))]


def test_sheet_example_command_line_writes_the_sheet_example_page(wine, web, logs):
    program, arguments = sheet_example('command-line').split(' ', 1)
    assert program == 'lvdownload.exe'
    run = run_job(wine, web, logs, ' ' + arguments)
    assert_success(wine, run)
    assert read_page(wine) == sheet_example('redirect-page').encode('latin-1')


def test_browser_that_does_not_exist_still_leaves_the_page(wine, web, logs):
    run = run_job(wine, web, logs, ' "C:\\no such folder\\nobrowser.exe" "http://example.invalid/"')
    assert_success(wine, run)
    assert read_page(wine) == PAGE_HEAD + b'http://example.invalid/' + PAGE_TAIL


@pytest.mark.parametrize('arguments', [
    '',
    ' "%s"' % BROWSER,
    ' "%s" "http://example.invalid/unterminated' % BROWSER,
], ids=['none', 'browser-only', 'url-unterminated'])
def test_without_both_arguments_nothing_is_written_or_started(wine, web, logs, arguments):
    run = run_job(wine, web, logs, arguments)
    assert_success(wine, run)
    assert not os.path.exists(page_file(wine))
    assert_browser_not_started(wine, logs)


def browser_spelled_with(length):
    """The test browser's path, lengthened to `length` characters with "\\."
    steps (and one doubled backslash for odd lengths) that still name it."""
    folder, name = BROWSER.rsplit('\\', 1)
    padding = length - len(BROWSER)
    assert padding >= 0
    return folder + '\\.' * (padding // 2) + '\\' * (padding % 2) + '\\' + name


@pytest.mark.parametrize('command_length, fits', [
    (COMMAND_BUFFER - 1, True),    # the terminator takes the last byte
    (COMMAND_BUFFER, False),
], ids=['exactly-fits', 'one-too-long'])
def test_browser_command_must_fit_the_command_buffer(wine, web, logs, command_length, fits):
    page_path = default_page_path(wine)
    assert ' ' not in page_path   # else the path would be quoted, two more characters
    # The composed command: the browser command in quotes, a blank, the page's path.
    browser = browser_spelled_with(command_length - len(page_path) - 3)
    composed = '"%s" %s' % (browser, page_path)
    assert len(composed) == command_length
    run = run_job(wine, web, logs, ' "%s" "http://example.invalid/"' % browser)
    assert_success(wine, run)
    if fits:
        assert read_page(wine) == PAGE_HEAD + b'http://example.invalid/' + PAGE_TAIL
        assert logs.browser_starts() == [composed]
    else:
        assert not os.path.exists(page_file(wine))
        assert_browser_not_started(wine, logs)
