"""Debian's headless Chromium, driven over WebDriver (chromedriver on a
loopback port), to look at a page as a vendor's browser shows it: its text,
where its elements were laid out, and a screenshot. Each Browser has its own
profile directory and its own chromedriver, and stops both when it closes.

The flags keep Chromium from reaching out on its own (updates, sync, field
trials), which a closed network refuses."""
import base64
import json
import os
import shutil
import socket
import subprocess
import tempfile
import time
import urllib.request

CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'
FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-background-networking',
         '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-quic',
         '--disable-default-apps', '--disable-extensions', '--hide-scrollbars']
PHONE = (390, 844)      # CSS pixels, as a common phone of today lays out a page


def available():
    return os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)


def free_port():
    with socket.socket() as sock:
        sock.bind(('127.0.0.1', 0))
        return sock.getsockname()[1]


class Browser:
    """One browser window; `size` is the window's (width, height) in pixels,
    or with phone=True the device's, emulated with its viewport rules."""

    def __init__(self, size=(1280, 800), phone=False):
        self.profile = tempfile.mkdtemp(prefix='lvchromium-')
        port = free_port()
        self.base = 'http://127.0.0.1:%d' % port
        self.driver = subprocess.Popen([CHROMEDRIVER, '--port=%d' % port],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.session = None
        try:
            self._wait_ready()
            options = {'binary': CHROMIUM,
                       'args': FLAGS + ['--user-data-dir=' + self.profile]}
            if phone:
                options['mobileEmulation'] = {'deviceMetrics': {
                    'width': size[0], 'height': size[1], 'pixelRatio': 1, 'touch': True}}
            else:
                options['args'].append('--window-size=%d,%d' % size)
            answer = self._call('POST', '/session', {'capabilities': {'alwaysMatch': {
                'browserName': 'chrome', 'goog:chromeOptions': options}}})
            self.session = answer['sessionId']
        except BaseException:
            self.close()
            raise

    def _wait_ready(self):
        deadline = time.monotonic() + 30
        while True:
            try:
                if self._call('GET', '/status').get('ready'):
                    return
            except OSError:
                pass
            if time.monotonic() > deadline or self.driver.poll() is not None:
                raise RuntimeError('chromedriver did not start')
            time.sleep(0.1)

    def _call(self, method, path, body=None):
        data = json.dumps(body).encode() if body is not None else None
        request = urllib.request.Request(self.base + path, data=data, method=method,
                                         headers={'Content-Type': 'application/json'})
        with urllib.request.urlopen(request, timeout=120) as answer:
            return json.loads(answer.read())['value']

    def _session(self, method, path, body=None):
        return self._call(method, '/session/%s%s' % (self.session, path), body)

    def open(self, url):
        if not url.startswith(('http://127.', 'file://')):
            raise ValueError('tests load pages from loopback only')
        self._session('POST', '/url', {'url': url})

    def run(self, script, *args):
        """The value of a script run in the page (a function body)."""
        return self._session('POST', '/execute/sync', {'script': script, 'args': list(args)})

    def screenshot(self, path, full_page=False):
        """A PNG of the window, or of the whole page when full_page."""
        if full_page:
            width, height = self.run('return [document.documentElement.scrollWidth,'
                                     ' document.documentElement.scrollHeight]')
            self._session('POST', '/window/rect', {'width': width, 'height': height})
        with open(path, 'wb') as f:
            f.write(base64.b64decode(self._session('GET', '/screenshot')))
        return path

    def close(self):
        if self.session:
            try:
                self._call('DELETE', '/session/' + self.session)
            except OSError:
                pass
            self.session = None
        if self.driver.poll() is None:
            self.driver.terminate()
            try:
                self.driver.wait(10)
            except subprocess.TimeoutExpired:
                self.driver.kill()
                self.driver.wait(10)
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
