"""The build refuses a configuration the program could not use, naming the
variable; the checks run alone in CMake's script mode, as the build runs
them. Set-up asks for 32-bit Wine only where the kernel runs 32-bit code."""
import os
import re
import subprocess
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from harness import host, languages, paths    # noqa: E402

DEFAULTS = {'IDS_SERVER': paths.DOWNLOAD_HOST, 'IDS_OBJECT': paths.OBJECT_PATH,
            'IDS_AGENT': paths.USER_AGENT, 'REPORT_HOST': paths.REPORT_HOST}


def check(**changes):
    values = dict(DEFAULTS, **changes)
    return subprocess.run(['cmake'] + ['-D%s=%s' % item for item in values.items()]
                          + ['-P', os.path.join(paths.REPO, 'cmake', 'check_config.cmake')],
                          capture_output=True, text=True, timeout=30)


EMPTY_SHA256 = 'e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855'


def test_default_configuration_a_pin_in_either_case_and_a_signer_pass():
    assert check().returncode == 0
    assert check(INSTALLER_SHA256=EMPTY_SHA256.upper()).returncode == 0
    assert check(INSTALLER_SIGNER='Tessaframe Inc.').returncode == 0
    assert check(INSTALLER_SIGNER='T' * 64, INSTALLER_SHA256=EMPTY_SHA256).returncode == 0
    for https in ('ON', 'off', '1', 'Yes'):
        assert check(HTTPS=https).returncode == 0


@pytest.mark.parametrize('name, value', [
    ('IDS_SERVER', ''), ('IDS_OBJECT', ''), ('IDS_AGENT', ''),     # each attempt would end at once
    ('IDS_OBJECT', '/pub/installer.foo'),                          # the request adds its own "/"
    ('IDS_OBJECT', 'pub/x y.foo'), ('IDS_OBJECT', 'pub/x\ty.foo'),
    ('IDS_OBJECT', 'pub/x\x7f.foo'),
    ('IDS_AGENT', 'a "quoted" agent'), ('IDS_OBJECT', 'pub\\x.foo'),
    ('IDS_OBJECT', 'p' * 260), ('REPORT_HOST', 'r' * 151),
    ('IDS_SERVER', 'download.example.com:80'), ('REPORT_HOST', 'reports.example.com/x'),
    ('INSTALLER_SHA256', EMPTY_SHA256[:63]), ('INSTALLER_SHA256', EMPTY_SHA256 + '0'),
    ('INSTALLER_SHA256', 'g' + EMPTY_SHA256[1:]),
    ('INSTALLER_SIGNER', 'T' * 65), ('INSTALLER_SIGNER', 'M\u00fcller GmbH'),
    ('INSTALLER_SIGNER', 'Tessaframe "Inc."'), ('INSTALLER_SIGNER', 'Tessa\\frame'),
    ('INSTALLER_SIGNER', 'Tessaframe\tInc.'),
    ('HTTPS', 'enabled'), ('HTTPS', 'tls'),        # would read as off: a plain build
])
def test_unusable_text_is_refused_by_name(name, value):
    result = check(**{name: value})
    assert result.returncode != 0
    assert name in result.stderr, result.stderr


# --- A language's row and texts (tools/language_resources.py, which the build runs) ------

LANGUAGE_TOOL = os.path.join(paths.REPO, 'tools', 'language_resources.py')


def language_build(tmp_path, code, row=None, texts=None, extra_row=None):
    """The tool on a table with one changed row (or one more) and one
    changed texts file beside the repository's."""
    table = tmp_path / 'languages.tsv'
    folder = tmp_path / 'lang'
    folder.mkdir(exist_ok=True)
    lines = []
    for language in languages.table().values():
        fields = [language.code, language.name, str(language.langid), str(language.oslanguage),
                  str(language.codepage)]
        lines.append('\t'.join(row if row and language.code == code else fields))
        if language.code != 'en':
            with open(os.path.join(languages.TEXTS, language.code + '.txt'), encoding='utf-8') as f:
                text = f.read()
            if texts and language.code == code:
                text = texts(text)
            (folder / (language.code + '.txt')).write_text(text, encoding='utf-8')
    if extra_row:
        lines.append('\t'.join(extra_row))
    table.write_text('\n'.join(lines) + '\n', encoding='utf-8')
    return subprocess.run([sys.executable, LANGUAGE_TOOL, '--language', code, '--out',
                           str(tmp_path / 'out'), '--table', str(table), '--texts', str(folder)],
                          capture_output=True, text=True, timeout=30)


def with_text(name, text):
    return lambda file: re.sub(r'(?m)^%s ".*"$' % name, lambda _: '%s "%s"' % (name, text), file)


def test_every_language_passes_and_a_message_may_fill_its_buffer(tmp_path):
    for language in languages.translated():
        run = language_build(tmp_path, language.code)
        assert run.returncode == 0, run.stderr
        assert run.stdout == '%s;%d;%d;%d' % (language.name, language.langid,
                                              language.oslanguage, language.codepage)
    # 127 characters of two bytes each and one of one: 255 bytes and the terminator.
    run = language_build(tmp_path, 'ja', texts=with_text('IDS_ERR_NETWORK', '\u30a2' * 127 + '.'))
    assert run.returncode == 0, run.stderr


@pytest.mark.parametrize('code, change, refusal', [
    # 128 characters, but 256 bytes in code page 932: LoadStringA would cut it.
    ('ja', with_text('IDS_ERR_NETWORK', '\u30a2' * 128), 'IDS_ERR_NETWORK takes 256 bytes'),
    ('de', with_text('IDS_INSTALLING', 'x' * 256), 'IDS_INSTALLING takes 256 bytes'),
    # Not in code page 1252: a German system would show "?".
    ('de', with_text('IDOK', 'Wiederholen \u0441'), 'IDOK holds'),
    ('ru', with_text('IDS_ERR_NO_MEMORY', 'Na\u00efve'), 'IDS_ERR_NO_MEMORY holds'),
    ('fr', lambda file: re.sub(r'(?m)^IDCANCEL .*$', '', file), 'lacks IDCANCEL'),
    ('es', lambda file: file + 'IDS_ERR_TYPO "x"\n', 'IDS_ERR_TYPO is not a text'),
    ('de', lambda file: file + 'RECT IDC_MESSAGE 75 24 160 33\n',
     'IDC_MESSAGE (75, 24, 160, 33) does not lie'),
])
def test_a_text_that_would_not_show_whole_is_refused(tmp_path, code, change, refusal):
    run = language_build(tmp_path, code, texts=change)
    assert run.returncode == 1
    assert refusal in run.stderr and len(run.stderr.splitlines()) == 1, run.stderr
    assert not (tmp_path / 'out').exists()


@pytest.mark.parametrize('code, row, refusal', [
    ('de', ['de', 'german', '1031', '9', '1252'], 'primary language id, 7'),
    ('de', ['de', 'german', '1031', '7', '65001'], 'ANSI code page'),
    ('de', ['de', 'Ger man', '1031', '7', '1252'], 'name'),
    ('de', ['deu', 'german', '1031', '7', '1252'], 'two lowercase letters'),
])
def test_a_row_the_reports_or_the_path_could_not_carry_is_refused(tmp_path, code, row, refusal):
    run = language_build(tmp_path, code, row=row)
    assert run.returncode == 1 and refusal in run.stderr, run.stderr


def test_a_language_without_a_row_or_texts_is_refused(tmp_path):
    run = language_build(tmp_path, 'pt')
    assert run.returncode == 1 and 'not in' in run.stderr and 'de, fr' in run.stderr
    run = language_build(tmp_path, 'pt', extra_row=['pt', 'portuguese', '2070', '22', '1252'])
    assert run.returncode == 1 and 'pt.txt is missing' in run.stderr, run.stderr


# What the host needs to make and boot the guest that runs the 32-bit build.
GUEST_HOST = {'debootstrap', 'e2fsprogs', 'qemu-system-x86', 'qemu-utils'}


def setup_plan(**env):
    run = subprocess.run([os.path.join(paths.REPO, 'tools', 'setup-host'), '--dry-run'],
                         env=dict(os.environ, **env), capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    return dict(line.split(': ', 1) if ': ' in line else (line.rstrip(':'), '')
                for line in run.stdout.splitlines())


def guest_decision(**env):
    return subprocess.run([sys.executable, host.__file__, 'guest'], env=dict(os.environ, **env),
                          capture_output=True, text=True, timeout=60, check=True).stdout.strip()


def test_setup_asks_for_32_bit_wine_only_where_the_kernel_runs_32_bit_code():
    runs, said = host.kernel()
    plan = setup_plan(LV_NO_32BIT='')
    assert plan['host'] == said
    assert ('wine32:i386' in plan['packages'].split()) == runs
    assert (plan['i386'] != 'not used') == runs
    forced = setup_plan(LV_NO_32BIT='1', LV_GUEST='')
    assert forced['i386'] == 'not used'
    assert not [p for p in forced['packages'].split() + forced['missing'].split() if ':' in p]
    assert 'wine64' in forced['packages'].split()
    # Every host boots the collector's package in a guest; where it runs no
    # 32-bit code, the 32-bit build runs in a guest too, instead of wine32.
    assert (set(forced['packages'].split()) - GUEST_HOST
            == set(plan['packages'].split()) - {'wine32:i386'} - GUEST_HOST)
    assert GUEST_HOST <= set(forced['packages'].split()) & set(plan['packages'].split())
    assert forced['guest'] == ("the collector's package and the 32-bit build are tested in "
                               "Debian guests under QEMU")
    assert plan['guest'].endswith('the 32-bit build runs on this host') == runs
    left_out = setup_plan(LV_NO_32BIT='1', LV_GUEST='0')
    assert left_out['guest'] == 'left out by LV_GUEST=0'
    assert not GUEST_HOST & set(left_out['packages'].split())
    # The harness runs the guest exactly where set-up made ready for it.
    assert guest_decision(LV_NO_32BIT='', LV_GUEST='') == ('host' if runs else 'guest')
    assert guest_decision(LV_NO_32BIT='1', LV_GUEST='') == 'guest'
    assert guest_decision(LV_NO_32BIT='1', LV_GUEST='0') == 'off'


def test_the_guest_holds_32_bit_wine_and_no_build_tools():
    listed = subprocess.run([os.path.join(paths.REPO, 'tools', 'setup-host'), '--guest-packages'],
                            capture_output=True, text=True, timeout=60)
    assert listed.returncode == 0, listed.stderr
    guest = set(listed.stdout.split())
    assert {'wine32:i386', 'wine', 'linux-image-amd64', 'xvfb', 'python3-pytest'} <= guest
    assert not guest & {'mingw-w64', 'cmake', 'clang', 'g++'}


def test_the_kernel_probe_agrees_with_wines_32_bit_loader():
    runs, _ = host.kernel()
    if os.path.exists(host.LOADER_32):
        started = subprocess.run([host.LOADER_32, '--version'], capture_output=True,
                                 timeout=60).returncode == 0
        assert started == runs
    assert not [f for f in os.listdir(paths.BUILD) if f.startswith('.i386-probe')]
