"""The resources of a build in another language than English, from the
table of languages (res/languages.tsv) and the language's texts file
(res/lang/CODE.txt), with the checks that the program can show them:

    language_resources.py --language de --out DIR [--table FILE] [--texts DIR]

checks the table's row and the texts, writes DIR/language.rc (the message
catalogue, the logo, the dialog template and the manifest, in the
language's resource language, to be compiled with catalogue_config.h and
the manifest as the English resources are) and prints the row for CMake:
name;langid;oslanguage;codepage. A refusal is one line on stderr and exit
status 1.

The checks: every text is there, and nothing else; each one can be written
in the language's ANSI code page, the one LoadStringA converts to on the
systems the build is for; each catalogue message, converted so, fits the
256-byte buffer the dialog loads it into (a character of a double-byte
code page takes two); the template's rectangles keep every control inside
the dialog. English is the template's own language and has no texts file.
"""
import argparse
import os
import re
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TABLE = os.path.join(REPO, 'res', 'languages.tsv')
TEXTS = os.path.join(REPO, 'res', 'lang')

# The message buffer of the installing and error views, terminator included.
MESSAGE_BUFFER = 256
# Catalogue ids as res/catalogue.rc names them; PINNED and SIGNER are only in
# builds that pin the installer's digest or check its signer.
MESSAGES = ['IDS_ERR_NO_STRING', 'IDS_ERR_NETWORK', 'IDS_ERR_CREATE_TEMP', 'IDS_ERR_NO_MEMORY',
            'IDS_ERR_INTERRUPTED', 'IDS_ERR_WRITE_TEMP', 'IDS_ERR_RUN_INSTALLER',
            'IDS_INSTALLING', 'IDS_ERR_INSTALL_FAILED', 'IDS_ERR_USER_CANCEL',
            'IDS_INST_CANCELLED', 'IDS_INST_NEWER_EXISTS', 'IDS_INST_NO_SPACE']
ONLY_IN = {'IDS_ERR_DAMAGED': 'CATALOGUE_PINNED', 'IDS_ERR_NOT_SIGNED': 'CATALOGUE_SIGNER'}
# The dialog template's texts, by their controls' names.
DIALOG_TEXTS = ['IDC_DOWNLOAD_TEXT', 'IDC_PROMO_TEXT', 'IDC_MESSAGE', 'IDOK', 'IDCANCEL']
TEXT_NAMES = DIALOG_TEXTS + MESSAGES + list(ONLY_IN)

# The template as res/dialog.rc writes it for English: the dialog, then its
# controls in order: (name, id, style, class, text, rectangle). A texts file
# gives the texts and may give any rectangle more room ("RECT NAME x y cx cy",
# dialog units); the font stays.
DIALOG_STYLE = ('WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME | '
                'DS_SETFONT')
DIALOG_RECT = (22, 17, 230, 100)
CAPTION = 'Lumenvast Player'        # the product's name: the same in every language
FONT = (8, 'System')
CONTROLS = [
    ('IDC_PROGRESS', 'IDC_PROGRESS', 'WS_CHILD | WS_VISIBLE | WS_BORDER', 'msctls_progress32',
     'Progress1', (5, 80, 220, 10)),
    ('IDC_DOWNLOAD_TEXT', 'IDC_DOWNLOAD_TEXT', 'WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT',
     'CLASS_STATIC', None, (75, 8, 150, 32)),
    ('IDC_PROMO_TEXT', 'IDC_PROMO_TEXT', 'WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT',
     'CLASS_STATIC', None, (75, 48, 150, 24)),
    ('IDC_LOGO', 'IDC_STATIC', 'WS_CHILD | WS_VISIBLE | SS_BITMAP | SS_SUNKEN', 'CLASS_STATIC',
     'IDB_LOGO', (10, 10, 61, 61)),
    ('IDC_MESSAGE', 'IDC_MESSAGE', 'WS_CHILD | WS_GROUP | SS_LEFT', 'CLASS_STATIC', None,
     (75, 24, 150, 33)),
    ('IDOK', 'IDOK', 'WS_CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON', 'CLASS_BUTTON', None,
     (110, 81, 42, 12)),
    ('IDCANCEL', 'IDCANCEL', 'WS_CHILD | WS_TABSTOP | BS_PUSHBUTTON', 'CLASS_BUTTON', None,
     (172, 81, 42, 12)),
]
RECT_NAMES = ['IDD_DOWNLOAD'] + [control[0] for control in CONTROLS]
# The ANSI code pages of Windows.
ANSI_CODE_PAGES = {874, 932, 936, 949, 950, 1250, 1251, 1252, 1253, 1254, 1255, 1256, 1257, 1258}


class Refused(Exception):
    """What cannot be built, in one sentence naming the file."""


def entries(path):
    """(where, line) of every line of a file but blank ones and # comments;
    where: the file and line number, for a refusal."""
    with open(path, encoding='utf-8') as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip('\n')
            if line.strip() and not line.startswith('#'):
                yield '%s:%d' % (os.path.relpath(path, REPO), number), line


def read_table(path):
    """{code: {code, name, langid, oslanguage, codepage}} in the table's order."""
    rows = {}
    for where, line in entries(path):
        fields = line.split('\t')
        if len(fields) != 5:
            raise Refused('%s: a row has five fields separated by tabs: code, name, '
                          'langid, oslanguage, codepage' % where)
        code, name, langid, oslanguage, codepage = fields
        if not re.fullmatch(r'[a-z]{2}', code):
            raise Refused('%s: the code is two lowercase letters (ISO 639-1): %r'
                          % (where, code))
        if code in rows:
            raise Refused('%s: %s has a row already' % (where, code))
        # The object path's segment: it goes into a URL as it stands.
        if not re.fullmatch(r'[a-z][a-z0-9-]*', name):
            raise Refused('%s: the name is the language\'s English name in lowercase '
                          'letters: %r' % (where, name))
        if not re.fullmatch(r'[1-9][0-9]{0,4}', langid) or int(langid) > 0xFFFF:
            raise Refused('%s: the langid is a Windows language id in decimal: %r'
                          % (where, langid))
        # Windows' primary language id is the low ten bits of the langid.
        if oslanguage != str(int(langid) & 0x3FF):
            raise Refused('%s: the oslanguage of langid %s is its primary language id, %d, '
                          'not %r' % (where, langid, int(langid) & 0x3FF, oslanguage))
        if not codepage.isdigit() or int(codepage) not in ANSI_CODE_PAGES:
            raise Refused('%s: the codepage is a Windows ANSI code page: %r'
                          % (where, codepage))
        rows[code] = dict(code=code, name=name, langid=int(langid),
                          oslanguage=int(oslanguage), codepage=int(codepage))
    return rows


def read_texts(path):
    """({name: text}, {name: (x, y, cx, cy)}) of a texts file: one entry a
    line, a name and its text between the line's first and last double
    quote, or RECT, a name and four numbers; # starts a comment line."""
    texts, rects = {}, {}
    if not os.path.exists(path):
        raise Refused('%s is missing: a language needs its texts there'
                      % os.path.relpath(path, REPO))
    for where, line in entries(path):
        words = line.split()
        if words[0] == 'RECT':
            if (len(words) != 6 or words[1] not in RECT_NAMES
                    or not all(re.fullmatch(r'[0-9]{1,4}', w) for w in words[2:])):
                raise Refused('%s: RECT takes one of %s and four numbers of dialog units '
                              '(x y width height)' % (where, ', '.join(RECT_NAMES)))
            if words[1] in rects:
                raise Refused('%s: %s has a RECT already' % (where, words[1]))
            rects[words[1]] = tuple(int(w) for w in words[2:])
            continue
        match = re.fullmatch(r'([A-Z_]+) "(.*)"', line)
        if not match:
            raise Refused('%s: an entry is a name and its text in double quotes' % where)
        name, text = match.groups()
        if name not in TEXT_NAMES:
            raise Refused('%s: %s is not a text of the downloader' % (where, name))
        if name in texts:
            raise Refused('%s: %s is given twice' % (where, name))
        texts[name] = text
    missing = [name for name in TEXT_NAMES if name not in texts]
    if missing:
        raise Refused('%s lacks %s' % (os.path.relpath(path, REPO), ', '.join(missing)))
    return texts, rects


def check_texts(row, texts, path):
    """Each text in the code page, and each message within its buffer there."""
    codec = 'cp%d' % row['codepage']
    for name in TEXT_NAMES:
        text = texts[name]
        where = '%s: %s' % (os.path.relpath(path, REPO), name)
        if not text.strip():
            raise Refused('%s is empty' % where)
        bad = [c for c in text if ord(c) < 0x20 or 0x7F <= ord(c) < 0xA0 or ord(c) > 0xFFFF]
        if bad:
            raise Refused('%s holds the character U+%04X, which no dialog shows'
                          % (where, ord(bad[0])))
        try:
            ansi = text.encode(codec)
        except UnicodeEncodeError as e:
            raise Refused('%s holds %r (U+%04X), which code page %d cannot write: systems of '
                          'that code page would show "?"' % (where, e.object[e.start],
                                                             ord(e.object[e.start]),
                                                             row['codepage']))
        if ansi.decode(codec) != text:
            raise Refused('%s does not come back unchanged from code page %d'
                          % (where, row['codepage']))
        if name not in DIALOG_TEXTS and len(ansi) > MESSAGE_BUFFER - 1:
            raise Refused('%s takes %d bytes in code page %d; the message buffer holds %d '
                          'and its terminator' % (where, len(ansi), row['codepage'],
                                                  MESSAGE_BUFFER - 1))


def layout(rects, path):
    """The dialog's rectangle and each control's, with the file's room."""
    dialog = rects.get('IDD_DOWNLOAD', DIALOG_RECT)
    controls = {name: rects.get(name, rect) for name, _, _, _, _, rect in CONTROLS}
    for name, (x, y, cx, cy) in controls.items():
        if cx == 0 or cy == 0 or x + cx > dialog[2] or y + cy > dialog[3]:
            raise Refused('%s: %s (%d, %d, %d, %d) does not lie inside the dialog, which is '
                          '%d by %d' % (os.path.relpath(path, REPO), name, x, y, cx, cy,
                                        dialog[2], dialog[3]))
    return dialog, controls


def wide(text):
    """A wide string for windres: what is not plain ASCII, and the quote and
    backslash, as \\x escapes of four digits (windres reads no more)."""
    out = []
    for c in text:
        if 0x20 <= ord(c) < 0x7F and c not in '"\\':
            out.append(c)
        else:
            out.append('\\x%04x' % ord(c))
    return 'L"%s"' % ''.join(out)


def dialog_script(texts, dialog, controls):
    """The template field by field, as res/dialog.rc writes it, with the pad
    words that start every item on a 4-byte boundary."""
    lines = ['IDD_DOWNLOAD RT_DIALOG_ID', 'BEGIN',
             '    %s,' % DIALOG_STYLE,
             '    0L, %d, %d, %d, %d, %d,' % ((len(CONTROLS),) + dialog),
             '    0,                          // no menu',
             '    0,                          // the system\'s dialog class',
             '    %s,' % wide(CAPTION + '\0'),
             '    %d, %s,' % (FONT[0], wide(FONT[1] + '\0'))]
    size = 18 + 2 + 2 + 2 * (len(CAPTION) + 1) + 2 + 2 * (len(FONT[1]) + 1)
    for name, control_id, style, window_class, text, _ in CONTROLS:
        if size % 4:
            lines.append('    0,                          // pad')
            size += 2
        lines.append('')
        lines.append('    %s, 0L, %d, %d, %d, %d, %s,'
                     % ((style,) + controls[name] + (control_id,)))
        size += 18
        if window_class.startswith('CLASS_'):
            class_field = window_class
            size += 4
        else:
            class_field = wide(window_class + '\0')
            size += 2 * (len(window_class) + 1)
        if text == 'IDB_LOGO':
            text_field = '0xFFFF, IDB_LOGO'
            size += 4
        else:
            text = texts[name] if text is None else text
            text_field = wide(text + '\0')
            size += 2 * (len(text) + 1)
        lines.append('    %s, %s, NO_CREATION_DATA,' % (class_field, text_field))
        size += 2
    # The last item ends the data: no separator after it.
    lines[-1] = lines[-1].rstrip(',')
    lines.append('END')
    return '\n'.join(lines)


def resource_script(row, texts, dialog, controls):
    langid = row['langid']
    messages = []
    for name in MESSAGES + list(ONLY_IN):
        entry = '    %s %s' % (name, wide(texts[name]))
        if name in ONLY_IN:
            entry = '#ifdef %s\n%s\n#endif' % (ONLY_IN[name], entry)
        messages.append(entry)
    return '\n'.join([
        '// Generated by tools/language_resources.py from res/languages.tsv and '
        'res/lang/%s.txt:' % row['code'],
        '// every resource of the downloader in %s (%s), language id %d.'
        % (row['name'], row['code'], langid),
        '#include <winresrc.h>',
        '#include "job/result_codes.h"',
        '#include "res/resource.h"',
        '#include "catalogue_config.h"',
        '',
        'LANGUAGE 0x%02x, 0x%02x' % (langid & 0x3FF, langid >> 10),
        '',
        'STRINGTABLE',
        'BEGIN',
        '#ifndef CATALOGUE_WITHOUT_SERVER',
        '    IDS_SERVER CATALOGUE_SERVER',
        '#endif',
        '#ifndef CATALOGUE_WITHOUT_OBJECT',
        '    IDS_OBJECT CATALOGUE_OBJECT',
        '#endif',
        '#ifndef CATALOGUE_WITHOUT_AGENT',
        '    IDS_AGENT CATALOGUE_AGENT',
        '#endif'] + messages + [
        'END',
        '',
        'IDB_LOGO BITMAP "logo.bmp"',
        '',
        '#define RT_DIALOG_ID 5',
        '#define CLASS_BUTTON 0xFFFF, 0x0080',
        '#define CLASS_STATIC 0xFFFF, 0x0082',
        '#define NO_CREATION_DATA 0',
        '',
        dialog_script(texts, dialog, controls),
        '',
        '1 24 "program.manifest"',
        ''])


def write_if_changed(path, text):
    """Only a changed script makes the resources compile again."""
    if os.path.exists(path):
        with open(path, encoding='ascii') as f:
            if f.read() == text:
                return
    with open(path, 'w', encoding='ascii') as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--language', required=True)
    parser.add_argument('--out', required=True)
    parser.add_argument('--table', default=TABLE, help=argparse.SUPPRESS)
    parser.add_argument('--texts', default=TEXTS, help=argparse.SUPPRESS)
    args = parser.parse_args()
    try:
        table = read_table(args.table)
        if args.language not in table:
            raise Refused('UI_LANGUAGE=%s is not in res/languages.tsv, which has %s'
                          % (args.language, ', '.join(table)))
        row = table[args.language]
        if row['code'] == 'en':
            raise Refused('English is the template\'s own language: build it without UI_LANGUAGE')
        path = os.path.join(args.texts, row['code'] + '.txt')
        texts, rects = read_texts(path)
        check_texts(row, texts, path)
        dialog, controls = layout(rects, path)
    except Refused as refusal:
        sys.exit('language_resources: %s' % refusal)
    os.makedirs(args.out, exist_ok=True)
    write_if_changed(os.path.join(args.out, 'language.rc'),
                     resource_script(row, texts, dialog, controls))
    print('%s;%d;%d;%d' % (row['name'], row['langid'], row['oslanguage'], row['codepage']), end='')


if __name__ == '__main__':
    main()
