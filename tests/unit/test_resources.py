"""The built downloader, read as a PE file: headers, imports, size, and the
resources (message catalogue, dialog template, logo, manifest) byte for
byte; the 32-bit program that vendors ship, and the 64-bit flavour of the
same source, and the manifest of lvprogress, which vendors ship too.
Then what a release needs of it: a rebuild elsewhere gives the same bytes,
and the copy that make sign writes verifies and gives the program back.
None of this needs Wine, so it runs on every host."""
import hashlib
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import xml.etree.ElementTree as ElementTree
import xml.parsers.expat

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from harness import languages, paths, signing       # noqa: E402
from harness.catalogue import (DAMAGED, MESSAGES, NOT_SIGNED, PINNED_MESSAGES,  # noqa: E402
                               SIGNER_MESSAGES)
from harness.signing import SIGNER    # noqa: E402

EXE = paths.LVDOWNLOAD_WIN32

if not os.path.exists(EXE):
    pytest.skip('%s is not built (make win32)' % EXE, allow_module_level=True)

# flavour: (file, machine, optional header magic, subsystem version)
FLAVOURS = {
    'win32': (EXE, 0x14C, 0x10B, (4, 0)),                          # i386, PE32
    'win64': (paths.LVDOWNLOAD_WIN64, 0x8664, 0x20B, (5, 2)),      # x86-64, PE32+
}

ENGLISH_US = 1033
RT_BITMAP, RT_STRING, RT_DIALOG, RT_MANIFEST = 2, 6, 5, 24
IDD_DOWNLOAD, IDB_LOGO = 103, 132
IDS_SERVER, IDS_OBJECT, IDS_AGENT = 110, 111, 112

WS_CHILD, WS_VISIBLE, WS_BORDER = 0x40000000, 0x10000000, 0x00800000
WS_CAPTION, WS_SYSMENU, WS_MINIMIZEBOX = 0x00C00000, 0x00080000, 0x00020000
WS_GROUP, WS_TABSTOP = 0x00020000, 0x00010000
DS_MODALFRAME, DS_SETFONT = 0x80, 0x40
SS_LEFT, SS_BITMAP, SS_SUNKEN = 0x0, 0xE, 0x1000
BS_PUSHBUTTON, BS_DEFPUSHBUTTON = 0x0, 0x1
BUTTON_CLASS, STATIC_CLASS = 0x80, 0x82   # predefined class ordinals


class PeFile:
    """Just enough of a PE32 and PE32+ reader: headers, sections, imports,
    resources."""

    def __init__(self, data):
        self.data = data
        assert data[:2] == b'MZ'
        pe = struct.unpack_from('<I', data, 0x3C)[0]
        assert data[pe:pe + 4] == b'PE\0\0'
        (self.machine, sections, self.time, _, _, optional_size,
         _) = struct.unpack_from('<HHIIIHH', data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from('<H', data, optional)[0]
        self.subsystem_version = struct.unpack_from('<HH', data, optional + 48)
        self.subsystem = struct.unpack_from('<H', data, optional + 68)[0]
        # PE32+ widens the image base and the four stack and heap sizes.
        wide = self.magic == 0x20B
        self.thunk_size = 8 if wide else 4
        count_at = optional + (108 if wide else 92)
        directories = struct.unpack_from('<I', data, count_at)[0]
        self.directories = [struct.unpack_from('<II', data, count_at + 4 + 8 * i)
                            for i in range(directories)]
        self.sections = []
        for i in range(sections):
            (_, virtual_size, address, raw_size,
             raw_offset) = struct.unpack_from('<8sIIII', data, optional + optional_size + 40 * i)
            self.sections.append((address, max(virtual_size, raw_size), raw_offset))

    def offset(self, rva):
        for address, size, raw_offset in self.sections:
            if address <= rva < address + size:
                return rva - address + raw_offset
        raise ValueError('RVA %#x lies in no section' % rva)

    def c_string(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b'\0', start)].decode('ascii')

    def imports(self):
        """{DLL name in capitals: [function names]}"""
        result = {}
        descriptor = self.offset(self.directories[1][0])
        while True:
            lookup, _, _, name, first_thunk = struct.unpack_from('<IIIII', self.data, descriptor)
            if name == 0:
                return result
            functions = []
            thunk = self.offset(lookup or first_thunk)
            while True:
                entry = int.from_bytes(self.data[thunk:thunk + self.thunk_size], 'little')
                if entry == 0:
                    break
                assert not entry >> (8 * self.thunk_size - 1), 'import by ordinal'
                functions.append(self.c_string(entry + 2))
                thunk += self.thunk_size
            result[self.c_string(name).upper()] = functions
            descriptor += 20

    def resources(self):
        """{(type, name, language): data}; ids as ints, names as strings."""
        base = self.offset(self.directories[2][0])
        found = {}

        def walk(directory, path):
            named, numbered = struct.unpack_from('<HH', self.data, base + directory + 12)
            for i in range(named + numbered):
                key, target = struct.unpack_from('<II', self.data, base + directory + 16 + 8 * i)
                if key & 0x80000000:
                    at = base + (key & 0x7FFFFFFF)
                    length = struct.unpack_from('<H', self.data, at)[0]
                    key = self.data[at + 2:at + 2 + 2 * length].decode('utf-16-le')
                if target & 0x80000000:
                    walk(target & 0x7FFFFFFF, path + (key,))
                else:
                    rva, size = struct.unpack_from('<II', self.data, base + target)
                    start = self.offset(rva)
                    found[path + (key,)] = self.data[start:start + size]

        walk(0, ())
        return found


@pytest.fixture(scope='module', params=list(FLAVOURS))
def flavour(request):
    return request.param


@pytest.fixture(scope='module')
def pe(flavour):
    path = FLAVOURS[flavour][0]
    if not os.path.exists(path):
        pytest.skip('%s is not built (make %s)' % (path, flavour))
    with open(path, 'rb') as f:
        return PeFile(f.read())


@pytest.fixture(scope='module')
def resources(pe):
    return pe.resources()


def test_header_is_gui_for_the_first_windows_of_its_flavour(pe, flavour):
    _, machine, magic, version = FLAVOURS[flavour]
    assert (pe.machine, pe.magic) == (machine, magic)
    assert pe.subsystem == 2            # Windows GUI
    assert pe.subsystem_version == version


def test_file_fits_its_budget_of_29696_bytes():
    assert os.path.getsize(EXE) <= 29696


# What the program calls, and nothing more. Only the system's known DLLs,
# which are always taken from the system directory, are imported.
EXPECTED_IMPORTS = {
    'KERNEL32.DLL': {
        'CreateThread', 'CreateProcessA', 'WaitForSingleObject', 'ExitProcess',
        'GetCommandLineA', 'GetTempPathA', 'GetTempFileNameA', 'CreateFileA', 'WriteFile',
        'DeleteFileA', 'CloseHandle', 'CreateMutexA', 'ReleaseMutex', 'CreateFileMappingA',
        'MapViewOfFile', 'FlushViewOfFile', 'UnmapViewOfFile', 'GlobalAlloc', 'GlobalFree',
        'GetTickCount', 'GetVersionExA', 'GetLastError', 'GetModuleHandleA',
        'GetSystemDirectoryA', 'LoadLibraryExA', 'GetProcAddress',
        # A temporary folder named outside the ANSI code page.
        'MultiByteToWideChar', 'WideCharToMultiByte'},
    'USER32.DLL': {
        'CreateDialogParamA', 'GetMessageA', 'TranslateMessage', 'DispatchMessageA',
        'SendMessageA', 'PostQuitMessage', 'DestroyWindow', 'GetDlgItem', 'SetWindowPos',
        'GetWindowRect', 'GetDesktopWindow', 'SetForegroundWindow', 'LoadStringA'},
    'ADVAPI32.DLL': {'RegDeleteKeyA', 'RegDeleteValueA', 'RegOpenKeyExA', 'RegQueryValueExA',
                     'RegCloseKey'},
}
# Loaded from the system directory at run time, and only these functions.
LOADED_AT_RUN_TIME = {
    'comctl32.dll': {'InitCommonControlsEx'},
    'wininet.dll': {
        'InternetOpenA', 'InternetConnectA', 'HttpOpenRequestA', 'HttpSendRequestA',
        'HttpQueryInfoA', 'InternetReadFile', 'InternetCloseHandle'},
    # Where the system has them; the wide two on the NT line only.
    'kernel32.dll': {'SetDefaultDllDirectories', 'GetTempPathW', 'GetShortPathNameW'},
}


def test_imports_only_what_the_program_calls(pe):
    imports = pe.imports()
    assert set(imports) == set(EXPECTED_IMPORTS)
    for dll, functions in imports.items():
        assert len(functions) == len(set(functions)), dll
        assert set(functions) == EXPECTED_IMPORTS[dll], dll


def test_names_only_the_functions_it_loads(pe):
    # Every name GetProcAddress is asked for stands in the file as a
    # terminated text; nothing else looks like a WinINet or common-controls
    # function.
    texts = set(re.findall(rb'[\x20-\x7e]{4,}(?=\0)', pe.data))
    for dll, functions in LOADED_AT_RUN_TIME.items():
        assert dll.encode() in texts, dll
        for function in functions:
            assert function.encode() in texts, function
    names = {t.decode() for t in texts if re.fullmatch(rb'(Internet|Http|InitCommon)\w+', t)}
    assert names == LOADED_AT_RUN_TIME['wininet.dll'] | {'InitCommonControlsEx'}


def test_every_resource_is_english_us(resources):
    assert resources
    assert {language for _, _, language in resources} == {ENGLISH_US}


CATALOGUE = {IDS_SERVER: paths.DOWNLOAD_HOST, IDS_OBJECT: paths.OBJECT_PATH,
             IDS_AGENT: paths.USER_AGENT, **MESSAGES}


def string_table(resources):
    """{id: UTF-16 bytes} of every non-empty string, from blocks of 16."""
    strings = {}
    for (kind, block, _), data in resources.items():
        if kind != RT_STRING:
            continue
        at = 0
        for index in range(16):
            length = struct.unpack_from('<H', data, at)[0]
            if length:
                strings[(block - 1) * 16 + index] = data[at + 2:at + 2 + 2 * length]
            at += 2 + 2 * length
    return strings


def test_catalogue_holds_exactly_its_texts(resources):
    strings = string_table(resources)
    assert sorted(strings) == sorted(CATALOGUE)
    for number, text in CATALOGUE.items():
        assert strings[number] == text.encode('utf-16-le'), number


# The first four of SHA-256's round constants, as the program stores them.
ROUND_CONSTANTS = struct.pack('<4I', 0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5)


def test_only_a_pinned_build_holds_the_hash_and_its_text(pe, resources, flavour):
    assert ROUND_CONSTANTS not in pe.data
    assert DAMAGED not in string_table(resources)
    pinned_path = os.path.join(os.path.dirname(FLAVOURS[flavour][0]), 'tests',
                               'lvdownload-pinned.exe')
    with open(pinned_path, 'rb') as f:
        pinned = PeFile(f.read())
    assert ROUND_CONSTANTS in pinned.data
    strings = string_table(pinned.resources())
    assert sorted(strings) == sorted(list(CATALOGUE) + [DAMAGED])
    assert strings[DAMAGED] == PINNED_MESSAGES[DAMAGED].encode('utf-16-le')


# --- The application manifest ------------------------------------------------------

ASM_V1 = 'urn:schemas-microsoft-com:asm.v1'
ASM_V2 = 'urn:schemas-microsoft-com:asm.v2'
COMPATIBILITY = 'urn:schemas-microsoft-com:compatibility.v1'
ARCHITECTURE = {'win32': 'x86', 'win64': 'amd64'}
# Vista, 7, 8, 8.1 and 10 (which Windows 11 shares).
SUPPORTED_OS = {'{e2011457-1546-43c5-a5fe-008deee3d3f0}', '{35138b9a-5d96-4fbd-8e2d-a2440225f93a}',
                '{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}', '{1f676c76-80e1-4239-95bb-83d0f6d0da78}',
                '{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}'}
# Every element there is, in its namespace: nothing that changes the
# dialog's drawing (a common-controls dependency, DPI awareness) or
# anything else.
MANIFEST_ELEMENTS = {
    (ASM_V1, 'assembly'), (ASM_V1, 'assemblyIdentity'), (ASM_V2, 'trustInfo'),
    (ASM_V2, 'security'), (ASM_V2, 'requestedPrivileges'), (ASM_V2, 'requestedExecutionLevel'),
    (COMPATIBILITY, 'compatibility'), (COMPATIBILITY, 'application'),
    (COMPATIBILITY, 'supportedOS')}


def manifest_of(program, flavour):
    path = os.path.join(os.path.dirname(FLAVOURS[flavour][0]), program + '.exe')
    if not os.path.exists(path):
        pytest.skip('%s is not built (make %s)' % (path, flavour))
    with open(path, 'rb') as f:
        manifests = {key: data for key, data in PeFile(f.read()).resources().items()
                     if key[0] == RT_MANIFEST}
    # Id 1 is the manifest the system reads when it starts the process.
    assert list(manifests) == [(RT_MANIFEST, 1, ENGLISH_US)]
    return manifests[(RT_MANIFEST, 1, ENGLISH_US)]


def namespace_declarations(data):
    """[(element as written, attribute, namespace)] of every xmlns attribute,
    as the document writes them (expat without namespace processing)."""
    declarations = []
    parser = xml.parsers.expat.ParserCreate()

    def start(name, attributes):
        declarations.extend((name, attribute, value) for attribute, value in attributes.items()
                            if attribute == 'xmlns' or attribute.startswith('xmlns:'))

    parser.StartElementHandler = start
    parser.Parse(data, True)
    return declarations


@pytest.mark.parametrize('program', ['lvdownload', 'lvprogress'])
def test_manifest_takes_the_form_windows_xp_accepts(program, flavour):
    data = manifest_of(program, flavour)
    text = data.decode('utf-8')
    assert text.startswith('<?xml version="1.0" encoding="UTF-8" standalone="yes"?><assembly ')
    # Small: no comments, no line breaks or indentation.
    assert '<!--' not in text and not re.search(r'>\s|\s<|[\r\n\t]', text), text
    # XP refuses a trustInfo that does not declare asm.v2 itself, and may
    # restart the machine when an element declares a namespace twice: each
    # namespace is declared once, as the default of the element it belongs to.
    assert namespace_declarations(data) == [('assembly', 'xmlns', ASM_V1),
                                            ('trustInfo', 'xmlns', ASM_V2),
                                            ('compatibility', 'xmlns', COMPATIBILITY)]
    root = ElementTree.fromstring(data)
    assert root.tag == '{%s}assembly' % ASM_V1
    assert root.attrib == {'manifestVersion': '1.0'}
    assert [child.tag for child in root] == [
        '{%s}assemblyIdentity' % ASM_V1, '{%s}trustInfo' % ASM_V2,
        '{%s}compatibility' % COMPATIBILITY]
    elements = {tuple(element.tag[1:].split('}')) for element in root.iter()}
    assert elements == MANIFEST_ELEMENTS
    # The identity that the schema requires, of this program and processor.
    identity = root[0].attrib
    assert identity == {'type': 'win32', 'name': 'Tessaframe.LumenvastPlayer.' + program,
                        'version': identity['version'],
                        'processorArchitecture': ARCHITECTURE[flavour]}
    parts = identity['version'].split('.')
    assert len(parts) == 4 and all(p.isdigit() and int(p) <= 65535 for p in parts), identity


@pytest.mark.parametrize('program', ['lvdownload', 'lvprogress'])
def test_manifest_runs_as_invoker_and_names_vista_to_10(program, flavour):
    root = ElementTree.fromstring(manifest_of(program, flavour))
    levels = root.findall('./{0}trustInfo/{0}security/{0}requestedPrivileges/'
                          '{0}requestedExecutionLevel'.format('{%s}' % ASM_V2))
    assert [level.attrib for level in levels] == [{'level': 'asInvoker', 'uiAccess': 'false'}]
    ids = [element.get('Id') for element in root.findall(
        './{0}compatibility/{0}application/{0}supportedOS'.format('{%s}' % COMPATIBILITY))]
    assert sorted(ids) == sorted(SUPPORTED_OS)


# Loaded from the system directory by a build with a publisher check, and
# only there.
CHECKING_THE_SIGNER = {
    'wintrust.dll': {'WinVerifyTrust', 'WTHelperProvDataFromStateData',
                     'WTHelperGetProvSignerFromChain', 'WTHelperGetProvCertFromChain'},
    'crypt32.dll': {'CertGetNameStringA'},
}


def texts_of(data):
    return {t.decode() for t in re.findall(rb'[\x20-\x7e]{4,}(?=\0)', data)}


def test_only_a_signer_build_checks_the_signer_and_has_its_text(pe, resources, flavour):
    names = set(CHECKING_THE_SIGNER) | set().union(*CHECKING_THE_SIGNER.values())
    assert not names & texts_of(pe.data)
    assert NOT_SIGNED not in string_table(resources)
    signer_path = os.path.join(os.path.dirname(FLAVOURS[flavour][0]), 'tests',
                               'lvdownload-signer.exe')
    with open(signer_path, 'rb') as f:
        signer = PeFile(f.read())
    assert names | {SIGNER} <= texts_of(signer.data)
    # Still only the known DLLs imported, with two more functions of KERNEL32:
    # the path's conversion for WinVerifyTrust, and freeing the two DLLs.
    imports = {dll: set(functions) for dll, functions in signer.imports().items()}
    assert imports == dict(EXPECTED_IMPORTS, **{'KERNEL32.DLL': EXPECTED_IMPORTS['KERNEL32.DLL'] | {
        'MultiByteToWideChar', 'FreeLibrary'}})
    strings = string_table(signer.resources())
    assert sorted(strings) == sorted(list(CATALOGUE) + [NOT_SIGNED])
    assert strings[NOT_SIGNED] == SIGNER_MESSAGES[NOT_SIGNED].encode('utf-16-le')


def test_only_an_https_build_names_https_and_asks_for_tls(pe, resources, flavour):
    """The default build holds nothing of HTTPS: its URLs name http://, and
    it never asks WinINet whether an answer came over TLS. An HTTPS build
    names https:// alone, and asks; its imports and catalogue are the
    default's."""
    assert b'http://' in pe.data and b'https://' not in pe.data
    assert 'InternetQueryOptionA' not in texts_of(pe.data)
    https_path = os.path.join(os.path.dirname(FLAVOURS[flavour][0]), 'tests',
                              'lvdownload-https.exe')
    with open(https_path, 'rb') as f:
        https = PeFile(f.read())
    assert b'https://' in https.data and b'http://' not in https.data
    assert 'InternetQueryOptionA' in texts_of(https.data)
    assert https.imports() == pe.imports()
    assert string_table(https.resources()) == string_table(resources)


def read_name(data, at):
    """A name-or-ordinal field: (value, next offset); value is an int
    ordinal, a string, or None when the field is empty."""
    first = struct.unpack_from('<H', data, at)[0]
    if first == 0:
        return None, at + 2
    if first == 0xFFFF:
        return struct.unpack_from('<H', data, at + 2)[0], at + 4
    end = at
    while data[end:end + 2] != b'\0\0':
        end += 2
    return data[at:end].decode('utf-16-le'), end + 2


def parse_dialog(data):
    style, extended, count, x, y, cx, cy = struct.unpack_from('<IIHhhhh', data, 0)
    at = 18
    menu, at = read_name(data, at)
    window_class, at = read_name(data, at)
    caption, at = read_name(data, at)
    font = None
    if style & DS_SETFONT:
        points = struct.unpack_from('<H', data, at)[0]
        face, at = read_name(data, at + 2)
        font = (points, face)
    dialog = dict(style=style, extended=extended, rect=(x, y, cx, cy), menu=menu,
                  window_class=window_class, caption=caption, font=font)
    controls = []
    for _ in range(count):
        at = (at + 3) & ~3   # every item starts on a 4-byte boundary
        item_style, item_extended, x, y, cx, cy, item_id = struct.unpack_from('<IIhhhhH', data, at)
        item_class, at = read_name(data, at + 18)
        text, at = read_name(data, at)
        extra = struct.unpack_from('<H', data, at)[0]
        at += 2 + extra
        controls.append((item_id, item_class, text, item_style, item_extended, (x, y, cx, cy)))
    return dialog, controls, at


def test_dialog_template(resources):
    data = resources[(RT_DIALOG, IDD_DOWNLOAD, ENGLISH_US)]
    assert struct.unpack_from('<HH', data, 0) != (1, 0xFFFF), 'extended template'
    dialog, controls, end = parse_dialog(data)
    assert dialog == dict(
        style=WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME | DS_SETFONT,
        extended=0, rect=(22, 17, 230, 100), menu=None, window_class=None,
        caption='Lumenvast Player', font=(8, 'System'))
    assert controls == [
        (1000, 'msctls_progress32', 'Progress1',
         WS_CHILD | WS_VISIBLE | WS_BORDER, 0, (5, 80, 220, 10)),
        (130, STATIC_CLASS,
         'Tessaframe Lumenvast Player is now downloading. This will take 10-15 minutes on a '
         '56k modem. You may browse to other Web pages while downloading.',
         WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 0, (75, 8, 150, 32)),
        (133, STATIC_CLASS,
         'Lumenvast Player lets you experience engaging interactive content on thousands of '
         'Web sites.',
         WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 0, (75, 48, 150, 24)),
        (0xFFFF, STATIC_CLASS, IDB_LOGO,
         WS_CHILD | WS_VISIBLE | SS_BITMAP | SS_SUNKEN, 0, (10, 10, 61, 61)),
        (1003, STATIC_CLASS, 'Error Message',
         WS_CHILD | WS_GROUP | SS_LEFT, 0, (75, 24, 150, 33)),
        (1, BUTTON_CLASS, 'Try Again',
         WS_CHILD | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, (110, 81, 42, 12)),
        (2, BUTTON_CLASS, 'Cancel',
         WS_CHILD | WS_TABSTOP | BS_PUSHBUTTON, 0, (172, 81, 42, 12)),
    ]
    assert len(data) - end < 4, 'bytes after the last control'


# --- The builds in other languages -------------------------------------------------

# The template's controls in order, by the names the texts files give them.
CONTROL_NAMES = ['IDC_PROGRESS', 'IDC_DOWNLOAD_TEXT', 'IDC_PROMO_TEXT', 'IDC_LOGO', 'IDC_MESSAGE',
                 'IDOK', 'IDCANCEL']


@pytest.mark.parametrize('language', languages.translated(), ids=lambda language: language.code)
def test_language_build_holds_its_texts_its_room_and_its_language(language):
    """Every resource in the language, the catalogue and the template's
    texts of its texts file, its object path, the template's rectangles with
    the room it asks for and else English's, and its reports' values."""
    path = language.program()
    if not os.path.exists(path):
        pytest.skip('%s is not built (make languages)' % os.path.relpath(path, paths.REPO))
    resources = PeFile(read(EXE)).resources()
    english_dialog, english_controls, _ = parse_dialog(resources[(RT_DIALOG, IDD_DOWNLOAD,
                                                                  ENGLISH_US)])
    messages = {number: text for number, text in language.messages.items()
                if number not in (languages.PINNED_ID, languages.SIGNER_ID)}
    catalogue = {IDS_SERVER: paths.DOWNLOAD_HOST, IDS_OBJECT: language.object_path,
                 IDS_AGENT: paths.USER_AGENT, **messages}
    for program, texts in ((path, catalogue),
                           (language.program('lvdownload-pinned-signer'),
                            {**catalogue, **language.messages})):
        data = read(program)
        built = PeFile(data).resources()
        assert {language for _, _, language in built} == {language.langid}, program
        strings = string_table(built)
        assert sorted(strings) == sorted(texts), program
        for number, text in texts.items():
            assert strings[number] == text.encode('utf-16-le'), (program, number)
        # The reports name the language, and nothing names English.
        assert re.findall(rb'&oslanguage=[0-9]+&', data) == [
            b'&oslanguage=%d&' % language.oslanguage]
        assert re.findall(rb'&uilanguage=[a-z]+&', data) == [
            b'&uilanguage=%s&' % language.code.encode()]

    data = built[(RT_DIALOG, IDD_DOWNLOAD, language.langid)]
    dialog, controls, end = parse_dialog(data)
    assert dialog == dict(english_dialog, rect=language.rects.get('IDD_DOWNLOAD',
                                                                  english_dialog['rect']))
    expected = []
    for name, (item_id, item_class, text, style, extended, rect) in zip(CONTROL_NAMES,
                                                                        english_controls):
        expected.append((item_id, item_class, language.texts.get(name, text), style, extended,
                         language.rects.get(name, rect)))
    assert controls == expected
    assert len(data) - end < 4, 'bytes after the last control'
    assert built[(RT_BITMAP, IDB_LOGO, language.langid)] == resources[(RT_BITMAP, IDB_LOGO,
                                                                       ENGLISH_US)]


def test_logo_is_120_square_256_colours(resources):
    data = resources[(RT_BITMAP, IDB_LOGO, ENGLISH_US)]
    (header_size, width, height, planes, bits, compression,
     _, _, _, colours_used, _) = struct.unpack_from('<IiiHHIIiiII', data, 0)
    assert header_size == 40
    assert (width, abs(height)) == (120, 120)
    assert (planes, bits) == (1, 8)
    assert compression == 0                  # BI_RGB
    assert colours_used in (0, 256)          # 0 also means all 256 for 8 bits
    assert len(data) == 40 + 256 * 4 + 120 * 120   # rows of 120 bytes need no padding


# --- Release: the same bytes from the same source, and the signed copy -----------------

CONFIGURATION = ('IDS_SERVER', 'IDS_OBJECT', 'IDS_AGENT', 'REPORT_HOST', 'INSTALLER_SHA256',
                 'HTTPS')
PRODUCTS = ('lvdownload', 'lvprogress')    # targets, and their programs with .exe


def configuration(tree):
    """The configuration values in a tree's CMake cache."""
    values = {}
    with open(os.path.join(tree, 'CMakeCache.txt')) as f:
        for line in f:
            name, _, value = line.rstrip('\n').partition('=')
            if name.split(':')[0] in CONFIGURATION:
                values[name.split(':')[0]] = value
    return values


def source_date():
    """The header time the build takes: SOURCE_DATE_EPOCH, else the commit's."""
    if 'SOURCE_DATE_EPOCH' in os.environ:
        return os.environ['SOURCE_DATE_EPOCH']
    git = subprocess.run(['git', 'log', '-1', '--format=%ct'], cwd=paths.REPO,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return git.stdout.strip() or '0'


def build(tree, config, targets, env):
    """Configures a 32-bit tree as make does and builds the targets."""
    subprocess.run(['cmake', '-S', paths.REPO, '-B', tree,
                    '-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake', '-DCMAKE_BUILD_TYPE=Release']
                   + ['-D%s=%s' % item for item in config.items()],
                   env=env, check=True, stdout=subprocess.DEVNULL, timeout=600)
    subprocess.run(['cmake', '--build', tree, '-j2', '--target'] + list(targets),
                   env=env, check=True, stdout=subprocess.DEVNULL, timeout=600)


def read(path):
    with open(path, 'rb') as f:
        return f.read()


def test_rebuild_elsewhere_later_gives_the_same_bytes_and_another_agent_does_not(tmp_path):
    built = os.path.dirname(EXE)
    config = configuration(built)
    # The tree in build/win32 took the commit's time from git; this one is
    # given it in SOURCE_DATE_EPOCH, so both ways are checked against each other.
    env = dict(os.environ, SOURCE_DATE_EPOCH=source_date())
    tree = str(tmp_path / 'elsewhere' / 'win32')
    build(tree, config, PRODUCTS, env)
    for name in (target + '.exe' for target in PRODUCTS):
        assert read(os.path.join(tree, name)) == read(os.path.join(built, name)), (
            '%s differs from a rebuild: is build/win32 the build of this source? (make)' % name)
    assert os.path.getmtime(os.path.join(tree, 'lvdownload.exe')) >= os.path.getmtime(EXE) + 1
    assert PeFile(read(EXE)).time == int(env['SOURCE_DATE_EPOCH'])

    build(tree, dict(config, IDS_AGENT=config['IDS_AGENT'] + ' 2'), PRODUCTS[:1], env)
    assert read(os.path.join(tree, 'lvdownload.exe')) != read(EXE)


@pytest.fixture(scope='module')
def authority(tmp_path_factory):
    return signing.make_authority(tmp_path_factory.mktemp('authority'))


@pytest.fixture(scope='module')
def signed(authority, tmp_path_factory):
    """(program, its signed copy, what the signing printed), in a folder of
    their own, so that build/ keeps whatever a vendor signed there."""
    program = str(tmp_path_factory.mktemp('release') / 'lvdownload.exe')
    shutil.copy(EXE, program)
    run = signing.sign(authority, [program])
    assert run.returncode == 0, run.stderr
    return program, signing.signed_name(program), run.stdout


def osslsigncode(*args):
    return subprocess.run(['osslsigncode'] + list(args), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)


def test_signed_copy_verifies_and_unsigned_is_the_program_again(signed, authority, tmp_path):
    program, copy, printed = signed
    verify = osslsigncode('verify', '-in', copy, '-CAfile', authority.root)
    assert verify.returncode == 0, verify.stdout
    assert '/CN=' + signing.SIGNER in printed
    assert hashlib.sha256(read(copy)).hexdigest() in printed
    unsigned = str(tmp_path / 'unsigned.exe')
    assert osslsigncode('remove-signature', '-in', copy, '-out', unsigned).returncode == 0
    assert read(unsigned) == read(program)


def test_one_changed_byte_fails_verification(signed, authority, tmp_path):
    program, copy, _ = signed
    data = bytearray(read(copy))
    data[len(read(program)) // 2] ^= 0x01        # in the program's resources
    changed = str(tmp_path / 'changed.exe')
    with open(changed, 'wb') as f:
        f.write(data)
    assert osslsigncode('verify', '-in', changed, '-CAfile', authority.root).returncode != 0


@pytest.mark.parametrize('fault', ['no certificate file', 'wrong password',
                                   'timestamp server refuses'])
def test_signing_fault_is_one_sentence_and_leaves_no_signed_copy(fault, authority, tmp_path):
    program = str(tmp_path / 'lvdownload.exe')
    shutil.copy(EXE, program)
    with socket.socket() as closed:
        closed.bind(('127.0.0.1', 0))        # bound, not listening: connections are refused
        run = signing.sign(authority, [program], **{
            'no certificate file': dict(pfx=str(tmp_path / 'missing.pfx')),
            'wrong password': dict(password='not the password'),
            'timestamp server refuses': dict(
                timestamp='http://127.0.0.1:%d/' % closed.getsockname()[1]),
        }[fault])
    assert run.returncode == 1
    assert run.stdout == ''
    assert len(run.stderr.splitlines()) == 1 and run.stderr.startswith('sign: '), run.stderr
    assert os.listdir(tmp_path) == ['lvdownload.exe']
