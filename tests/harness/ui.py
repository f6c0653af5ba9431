"""The dialog as a user sees it, through the uidriver test program."""
import json

from . import paths

IDC_PROGRESS = 1000
IDC_DOWNLOAD_TEXT = 130
IDC_PROMO_TEXT = 133
IDC_LOGO = -1
IDC_MESSAGE = 1003
IDOK = 1
IDCANCEL = 2
WMU_PROGRESS = 0x400
WMU_FINISHED = 0x401
WMU_INSTALLING = 0x402


class DialogState(dict):
    """The uidriver's JSON: found, caption, window, desktop, visible,
    foreground, responding, progress, focus and controls."""

    def control(self, control_id):
        for c in self['controls']:
            if c['id'] == control_id:
                return c
        raise KeyError(control_id)

    def visible_ids(self):
        return {c['id'] for c in self['controls'] if c['visible']}

    @property
    def message(self):
        return self.control(IDC_MESSAGE)['text']


def _driver(wine, *args, timeout=60):
    return wine.run(paths.test_program('uidriver'), [str(a) for a in args], timeout=timeout)


def state(wine):
    """The dialog's state now, or None when there is no dialog."""
    result = _driver(wine, 'state')
    data = json.loads(result.stdout)
    return DialogState(data) if data.get('found') else None


def wait_dialog(wine, seconds=30):
    """Waits for the dialog to be shown; returns its state or None."""
    result = _driver(wine, 'wait', seconds, timeout=seconds + 30)
    data = json.loads(result.stdout)
    return DialogState(data) if data.get('found') else None


def wait_gone(wine, seconds=30):
    return _driver(wine, 'wait-gone', seconds, timeout=seconds + 30).returncode == 0


def count(wine):
    return int(_driver(wine, 'count').stdout.strip())


def click(wine, control_id):
    return _driver(wine, 'click', control_id).returncode == 0


def close(wine):
    return _driver(wine, 'close').returncode == 0


def key(wine, virtual_key):
    """Presses a key in the focused control; returns that control's id."""
    return int(_driver(wine, 'key', virtual_key).stdout.strip())


def send(wine, message, wparam=0, lparam=0):
    return int(_driver(wine, 'send', message, wparam, lparam).stdout.strip() or 0)


def post(wine, message, wparam=0, lparam=0):
    return _driver(wine, 'post', message, wparam, lparam).returncode == 0


def fit(wine, codes):
    """How much room each text needs in its control, in the control's own
    font: the download text, the blurb and the two buttons, then the message
    of each code, which the dialog is made to show (WMU_FINISHED). A list of
    {id, code, button, text, room: [width, height], width, height, line}
    in pixels, the text as the control holds it."""
    data = json.loads(_driver(wine, 'fit', *codes, timeout=120).stdout)
    assert data.get('found'), 'no dialog to measure'
    for entry in data['fits']:
        entry['text'] = entry['text'].encode('latin-1').decode('utf-8')   # printed as UTF-8
    return data['fits']
