"""The report protocol's literal pieces and the report URLs built from them
(not by the product's composer), and the checked examples of
docs/PROTOCOL.md, the sheet for those who build against the downloader."""
import os
import re

from . import paths

PREFIX_AFTER_HOST = (':80/foo.bar?protocol=2&mode=initial&pluginversion=850325&oslanguage=9'
                     '&installtype=Kestrelox&installstate=newplug&product1=LMV10D80')
START_SUFFIX = ('&machinetype=pc&sampleperiod=0&uilanguage=en&worldregion=1'
                '&savesattempted=&savescompleted=&package1=kest,850325&action=update')
RESULT_HEAD = '&filesdownloaded=1&installattempts=1&version=,850325&action='
SUCCESS_FIELDS = 'success&error=&filesdownloaded=1&installattempts=1'
FAILURE_FIELDS = 'failure&error='

# A downloader built with HTTPS names https:// and port 443 instead.
PORTS = {'http': ':80', 'https': ':443'}
REPORT_PATH_AND_COMMON = PREFIX_AFTER_HOST[len(PORTS['http']):]

# The documented piece lengths guard these transcriptions against typos.
assert len('http://' + PREFIX_AFTER_HOST) == 137
assert len(START_SUFFIX) == 125
assert (len(RESULT_HEAD), len(SUCCESS_FIELDS), len(FAILURE_FIELDS)) == (60, 50, 14)

SHEET = os.path.join(paths.REPO, 'docs', 'PROTOCOL.md')


def os_fields(os_version):
    major, minor, platform = os_version
    return '&osversion=%d.%d&os=%s' % (major, minor, 'nt' if platform == 2 else 'win')


def prefix(host, scheme, oslanguage=9):
    # A build in another language names its language's primary id instead.
    return (scheme + '://' + host + PORTS[scheme]
            + REPORT_PATH_AND_COMMON.replace('&oslanguage=9&', '&oslanguage=%d&' % oslanguage))


def start_url(os_version, host=paths.REPORT_HOST, scheme='http', oslanguage=9, uilanguage='en'):
    return (prefix(host, scheme, oslanguage)
            + START_SUFFIX.replace('&uilanguage=en&', '&uilanguage=%s&' % uilanguage)
            + os_fields(os_version))


def result_url(os_version, code, total_bytes, seconds, server=paths.DOWNLOAD_HOST,
               obj=paths.OBJECT_PATH, host=paths.REPORT_HOST, scheme='http', oslanguage=9):
    url = prefix(host, scheme, oslanguage) + RESULT_HEAD
    if code == 0:
        url += SUCCESS_FIELDS + '&installduration='
    else:
        url += FAILURE_FIELDS + str(code) + '&duration='
    url += '%d&totalbytes=%d&currenturl=%s://%s/%s' % (seconds, total_bytes, scheme, server, obj)
    return url + os_fields(os_version)


def origin_form(url, host, scheme='http'):
    """What a direct connection requests (and what goes inside a TLS
    tunnel): the URL without scheme, host and port."""
    head = scheme + '://' + host + PORTS[scheme]
    assert url.startswith(head)
    return url[len(head):]


def received_seconds(request):
    """The duration field of a received result report, to be bounded by the
    test; every other field is compared whole."""
    match = re.search(r'&(?:installduration|duration)=([0-9]+)&totalbytes=', request.target)
    assert match, request.target
    return int(match.group(1))


def sheet_example(name):
    """The text of the fenced block after "<!-- example: NAME -->" in the sheet."""
    with open(SHEET, encoding='utf-8') as f:
        sheet = f.read()
    match = re.search(r'<!-- example: %s -->\n```[a-z]*\n(.*?)\n```' % re.escape(name), sheet,
                      re.DOTALL)
    assert match, 'docs/PROTOCOL.md has no example %r' % name
    return match.group(1)


def sheet_request(name):
    """A request example of the sheet: (method, target, version, {lower-case
    header name: value})."""
    line, *header_lines = sheet_example(name).split('\n')
    method, target, version = line.split(' ')
    headers = {}
    for header in header_lines:
        key, _, value = header.partition(':')
        headers[key.strip().lower()] = value.strip()
    return method, target, version, headers
