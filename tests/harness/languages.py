"""The languages a downloader can be built in: the rows of res/languages.tsv
and each one's texts in res/lang/CODE.txt, read here on their own (not with
the build's reader, tools/language_resources.py), the tree each language
builds into, and the locale Wine runs it in."""
import dataclasses
import os
import re
from typing import Dict

from . import paths

TABLE = os.path.join(paths.REPO, 'res', 'languages.tsv')
TEXTS = os.path.join(paths.REPO, 'res', 'lang')

# Catalogue ids by the names that the texts files use.
MESSAGE_IDS = {
    'IDS_ERR_NO_STRING': 113, 'IDS_ERR_NETWORK': 114, 'IDS_ERR_CREATE_TEMP': 115,
    'IDS_ERR_NO_MEMORY': 116, 'IDS_ERR_INTERRUPTED': 117, 'IDS_ERR_WRITE_TEMP': 118,
    'IDS_ERR_RUN_INSTALLER': 119, 'IDS_INSTALLING': 120, 'IDS_ERR_INSTALL_FAILED': 122,
    'IDS_ERR_USER_CANCEL': 123, 'IDS_INST_CANCELLED': 150, 'IDS_INST_NEWER_EXISTS': 151,
    'IDS_INST_NO_SPACE': 152}
# Only in builds that pin the installer's digest, and that check its signer.
PINNED_ID, SIGNER_ID = 124, 125
ONLY_IN_IDS = {'IDS_ERR_DAMAGED': PINNED_ID, 'IDS_ERR_NOT_SIGNED': SIGNER_ID}
# The dialog template's texts by their controls' names and ids.
DIALOG_IDS = {'IDC_DOWNLOAD_TEXT': 130, 'IDC_PROMO_TEXT': 133, 'IDC_MESSAGE': 1003,
              'IDOK': 1, 'IDCANCEL': 2}


@dataclasses.dataclass
class Language:
    code: str           # ISO 639-1: the reports' uilanguage, the tree's suffix
    name: str           # the object path's segment
    langid: int         # the resources' language
    oslanguage: int     # the reports' value
    codepage: int       # the ANSI code page of its systems
    texts: Dict[str, str] = dataclasses.field(default_factory=dict)
    rects: Dict[str, tuple] = dataclasses.field(default_factory=dict)

    @property
    def codec(self):
        return 'cp%d' % self.codepage

    def ansi(self, name):
        """A text as LoadStringA gives it on a system of the language."""
        return self.texts[name].encode(self.codec)

    @property
    def messages(self):
        """{catalogue id: text} of every message, 124 and 125 included."""
        return {number: self.texts[name]
                for name, number in list(MESSAGE_IDS.items()) + list(ONLY_IN_IDS.items())}

    @property
    def object_path(self):
        return paths.OBJECT_PATH.replace('/english/', '/%s/' % self.name)

    def tree(self, build=None):
        """build/win32-CODE (or win64-CODE): the language's own tree."""
        return os.path.join(paths.BUILD, '%s-%s' % (build or paths.WINE_BUILD, self.code))

    def program(self, name='lvdownload', build=None):
        folder = self.tree(build)
        return os.path.join(folder, name + '.exe') if name == 'lvdownload' else \
            os.path.join(folder, 'tests', name + '.exe')

    @property
    def locale(self):
        """The Unix locale that Wine takes the language and code page from;
        Wine's own default country of the language (ja: Japan)."""
        return '%s.UTF-8' % self.code


def read_texts(code):
    texts, rects = {}, {}
    with open(os.path.join(TEXTS, code + '.txt'), encoding='utf-8') as f:
        for line in f:
            line = line.rstrip('\n')
            if not line.strip() or line.startswith('#'):
                continue
            if line.startswith('RECT '):
                name, *numbers = line.split()[1:]
                rects[name] = tuple(int(n) for n in numbers)
                continue
            name, text = re.fullmatch(r'(\w+) "(.*)"', line).groups()
            texts[name] = text
    return texts, rects


def table():
    """{code: Language} of every row, English included (without texts)."""
    rows = {}
    with open(TABLE, encoding='utf-8') as f:
        for line in f:
            if line.startswith('#') or not line.strip():
                continue
            code, name, langid, oslanguage, codepage = line.rstrip('\n').split('\t')
            rows[code] = Language(code, name, int(langid), int(oslanguage), int(codepage))
    for code, language in rows.items():
        if code != 'en':
            language.texts, language.rects = read_texts(code)
    return rows


def translated():
    """Every language but English, the template's own."""
    return [language for code, language in table().items() if code != 'en']
