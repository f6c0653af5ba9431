"""The downloader against an embedded local server, to watch (make demo).

One loopback server stands in, through Wine's http_proxy, for the download
host and the report host: it breaks off the first download part-way (the
error view; the demo presses Try Again), then drips the test installer
(padded to 3 MiB so the bar has something to do), and passes every report
on to lvcollect, the vendor's report collector, whose dashboard, summary
and chart of the attempts close the demo.
The dialog shows on $DISPLAY when there is one, else on a private Xvfb,
inside Wine's virtual desktop with the fonts and DPI that lay it out as
Windows does; each view is saved under build/demo/. Everything started here
is stopped here.

--language CODE (make demo UI_LANGUAGE=CODE) runs that language's build
(build/win32-CODE) in Wine under the language's locale, and saves its views
under build/demo-CODE/.
"""
import argparse
import os
import select
import subprocess
import sys
import threading
import time
import urllib.parse

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                'tests'))

from harness import browser, host, languages, paths, ui   # noqa: E402
from harness.job import installer_body                 # noqa: E402
from harness.web import Collector, Download, Gate, LoopbackWeb, drained  # noqa: E402
from harness.wine import session_or_exit, wait_until   # noqa: E402

OUT = os.path.join(paths.BUILD, 'demo')
BROWSER = paths.test_program('testbrowser')
URL = 'http://www.tessaframe.com/lumenvast/welcome.html'   # only written into the page
SIZE = 3 * 1024 * 1024
STEP = 32768            # one chunk of the job's reads
STEP_SECONDS = 0.06
BREAK_AT = 20 * STEP + 1000   # where the first attempt's connection is reset
DESKTOP = 'Default - Wine desktop'      # the X window of Wine's virtual desktop
DASHBOARD_WAIT = 300    # seconds the collector stays up for a look at its dashboard


def usable_display():
    display = os.environ.get('DISPLAY')
    if display and subprocess.run(['xdpyinfo', '-display', display], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL).returncode == 0:
        return display
    return None


def drip(gates):
    """Lets the download through one step at a time."""
    for gate in gates:
        try:
            gate.wait_reached(60)
        except TimeoutError:
            break
        time.sleep(STEP_SECONDS)
        gate.release()


def shoot(wine, state, name):
    """The dialog's window, caption and frame included, as a PNG under
    build/demo/. Its rectangle is in the virtual desktop's coordinates,
    wherever a window manager has put that desktop."""
    left, top, right, bottom = state['window']
    path = os.path.join(OUT, name)
    time.sleep(0.5)     # let Wine finish painting
    subprocess.run(['import', '-display', wine.display, '-window', DESKTOP, '-crop',
                    '%dx%d+%d+%d' % (right - left, bottom - top, left, top), '+repage', path],
                   check=True, timeout=30)
    return path


def wait_view(wine, view, what):
    def probe():
        state = ui.state(wine)
        return state if state and view(state) else None
    return wait_until(probe, timeout=120, what=what)


def describe(request):
    if request.kind == 'download':
        return 'download  %s  (User-Agent: %s)' % (request.url, request.user_agent)
    fields = dict(urllib.parse.parse_qsl(request.query, keep_blank_values=True))
    shown = ['action=' + fields.get('action', '?')]
    for name in ('error', 'totalbytes', 'installduration', 'duration'):
        if fields.get(name):
            shown.append('%s=%s' % (name, fields[name]))
    return 'report    http://%s%s  %s' % (request.host, request.path, ' '.join(shown))


def main():
    global OUT
    parser = argparse.ArgumentParser(description='The downloader against a local server.')
    parser.add_argument('--language', help='a code of res/languages.tsv other than en')
    args = parser.parse_args()
    program, locale = paths.LVDOWNLOAD, None
    if args.language and args.language != 'en':
        language = languages.table().get(args.language)
        if not language:
            raise SystemExit('demo: %s is not in res/languages.tsv' % args.language)
        program, locale = language.program(), language.locale
        OUT = OUT + '-' + language.code
    paths.require(program, BROWSER, paths.test_program('uidriver'), paths.LVCOLLECT)
    os.makedirs(OUT, exist_ok=True)
    browser_log = os.path.join(OUT, 'browser.log')
    installer_log = os.path.join(OUT, 'installer.log')
    reports_db = os.path.join(OUT, 'reports.db')
    for path in (browser_log, installer_log, reports_db, reports_db + '-wal', reports_db + '-shm'):
        if os.path.exists(path):
            os.remove(path)

    body = installer_body()
    body += b'\0' * (SIZE - len(body))      # data behind the image is ignored when it runs
    gates = [Gate('step %d' % i) for i in range(1, SIZE // STEP)]
    display = usable_display()
    print('Starting Wine (%s) and the local server ...' % (
        'on ' + display if display else 'on a private Xvfb'))
    wine = session_or_exit('demo', display=display, locale=locale)
    print('Running %s.' % host.describe())
    wine.use_windows_look()
    collector = Collector(reports_db, admin=True)
    web = LoopbackWeb(collector=collector.address)
    broken = Gate('the break')
    web.queue_download(Download(body=body, holds=[(BREAK_AT, broken)], reset_at=BREAK_AT))
    web.download = Download(body=body, holds=[(i * STEP, g) for i, g in enumerate(gates, 1)])
    dripper = threading.Thread(target=drip, args=(gates,), daemon=True)
    try:
        dripper.start()
        command = '"%s" "%s" "%s"' % (paths.windows_path(program),
                                      paths.windows_path(BROWSER), URL)
        print('Running', command)
        started = time.monotonic()
        process = wine.start_exact(command, proxy=web.proxy_url, extra_env={
            'LVTEST_INSTALLER': '0', 'LVTEST_INSTALLER_DELAY_MS': '2500',
            'LVTEST_INSTALLER_LOG': paths.windows_path(installer_log),
            'LVTEST_BROWSER_LOG': paths.windows_path(browser_log)})

        shots = []
        # The reset reaches the job only while it waits in a read: let it take
        # everything before the break first.
        broken.wait_reached(120)
        wait_until(lambda: drained(web.port), timeout=60, what='the first attempt to read')
        broken.release()
        state = wait_view(wine, lambda s: {ui.IDOK, ui.IDCANCEL} <= s.visible_ids(),
                          'the error view')
        shots.append(shoot(wine, state, 'error-view.png'))
        print('The first download broke off: "%s"; pressing Try Again.' % state.message)
        ui.click(wine, ui.IDOK)
        state = wait_view(wine, lambda s: s['progress'] >= 40, 'the download half-way')
        shots.append(shoot(wine, state, 'download-view.png'))
        state = wait_view(wine, lambda s: s.visible_ids() == {ui.IDC_MESSAGE, ui.IDC_LOGO},
                          'the installing view')
        shots.append(shoot(wine, state, 'installing-view.png'))
        code = process.wait(120)
        seconds = time.monotonic() - started
        try:    # the browser is started, not waited for: give it a moment to log
            wait_until(lambda: os.path.exists(browser_log), timeout=10, what='the browser')
        except TimeoutError:
            pass

        requests = web.recorder.all()
        result = dict(urllib.parse.parse_qsl(requests[-1].query)) if requests else {}
        print('\nResult: exit code %d after %.1f s; the last report says action=%s, '
              'totalbytes=%s (served %d bytes)' % (code, seconds, result.get('action'),
                                                   result.get('totalbytes'), len(body)))
        print('Requests the server saw (%d):' % len(requests))
        for request in requests:
            print('  %d. %s' % (request.seq + 1, describe(request)))
        page = os.path.join(wine.temp_dir, 'lvtmp.htm')
        if os.path.exists(page):
            with open(page, 'rb') as f:
                print('Redirect page %s\\lvtmp.htm (%d bytes): %s' % (
                    wine.default_temp_windows, os.path.getsize(page), f.read().decode('latin-1')))
        else:
            print('No redirect page was written.')
        for what, log in (('Installer started as', installer_log),
                          ('Browser command started', browser_log)):
            if os.path.exists(log):
                with open(log, 'rb') as f:
                    for line in f.read().decode('latin-1').splitlines():
                        print('%s: %s' % (what, line))
            else:
                print('%s: never' % what)
        print('Left in the temporary directory %s: %s' % (
            wine.default_temp_windows, ', '.join(sorted(os.listdir(wine.temp_dir))) or 'nothing'))
        print('Screenshots: %s' % ', '.join(shots))
        show_dashboard(collector)
        show_collector(collector)
    finally:
        for gate in gates + [broken]:
            gate.release()
        web.close()
        collector.__exit__()
        wine.close()


def show_dashboard(collector):
    """The collector's dashboard while it runs: its address, its page and a
    screenshot beside the chart; from a terminal, the collector stays up
    until Enter or DASHBOARD_WAIT seconds."""
    url = 'http://%s:%d/' % collector.admin_address
    page = os.path.join(OUT, 'dashboard.html')
    with open(page, 'wb') as f:
        f.write(collector.admin_get('/')[2])
    if browser.available():
        shot = os.path.join(OUT, 'dashboard.png')
        with browser.Browser() as window:
            window.open(url)
            window.screenshot(shot, full_page=True)
        print('\nDashboard: %s (saved as %s and %s)' % (url, page, shot))
    else:
        print('\nDashboard: %s (saved as %s)' % (url, page))
    if sys.stdin.isatty():
        print('Open it in a browser on this machine; press Enter to stop the collector '
              '(it stops by itself in %d s).' % DASHBOARD_WAIT)
        select.select([sys.stdin], [], [], DASHBOARD_WAIT)


def show_collector(collector):
    """Stops the collector and prints its summary; draws its chart."""
    print('\n' + collector.stop())
    command = [paths.LVCOLLECT, 'summary', '--db', collector.db]
    print('\n$ %s\n%s' % (' '.join(os.path.relpath(a, paths.REPO) if a.startswith('/') else a
                                     for a in command),
                          subprocess.run(command, stdout=subprocess.PIPE, text=True,
                                         check=True).stdout))
    chart = os.path.join(OUT, 'funnel.svg')
    subprocess.run([paths.LVCOLLECT, 'plot', '--db', collector.db, '--out', chart], check=True)
    picture = chart[:-len('.svg')] + '.png'
    subprocess.run(['rsvg-convert', '-o', picture, chart], check=True)
    print('Chart: %s (and %s)' % (chart, picture))


if __name__ == '__main__':
    main()
