"""Signs built downloaders for release (make sign).

  tools/sign.py --pfx FILE [--timestamp URL] [--ca FILE] PROGRAM...

Each PROGRAM gets an Authenticode signature (SHA-256) from Debian's
osslsigncode in a copy next to it, NAME-signed.exe. The copy is verified
before it takes that name, and the signer and the digests are printed. The
password of the PKCS#12 file comes from the environment variable SIGN_PASS,
so that it stands on no command line. --timestamp asks an RFC 3161
timestamp server for a countersignature, which keeps the signature valid
after the certificate expires. --ca names the root certificates to verify
against, for a certificate that does not chain to a root of the system's
store.

Whatever goes wrong ends in one sentence and exit status 1, and leaves no
signed copy: a copy from an earlier run is removed first, so that a signed
file never stands next to a program it was not made from.
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import tempfile

OSSLSIGNCODE = 'osslsigncode'
SYSTEM_ROOTS = '/etc/ssl/certs/ca-certificates.crt'   # osslsigncode's default CA file
PASSWORD_VARIABLE = 'SIGN_PASS'


class Refusal(Exception):
    """One sentence that says what is wrong and how to mend it."""


def signed_name(program):
    stem, extension = os.path.splitext(program)
    return stem + '-signed' + extension


def osslsigncode(*args):
    try:
        result = subprocess.run([OSSLSIGNCODE] + list(args), stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, errors='replace')
    except FileNotFoundError:
        raise Refusal('osslsigncode is not installed: run tools/setup-host '
                      '(or apt-get install osslsigncode).')
    return result.returncode, result.stdout


def reason(output, *markers):
    """What follows the first of the markers in osslsigncode's output, for
    the sentence; else its first line."""
    for line in output.splitlines():
        for marker in markers:
            if marker in line:
                return line[line.index(marker) + len(marker):].strip()
    lines = [line.strip() for line in output.splitlines() if line.strip()]
    return lines[0] if lines else 'no output'


def sign_failure(output, pfx, password, timestamp):
    # osslsigncode says "Wrong password?" (OpenSSL: "mac verify failure")
    # when the password does not open the file, and "PKCS#12" in its other
    # complaints about the file.
    if 'mac verify failure' in output or 'Wrong password' in output:
        if not password:
            return '%s needs a password: give it in %s.' % (pfx, PASSWORD_VARIABLE)
        return 'the password in %s does not open %s.' % (PASSWORD_VARIABLE, pfx)
    if 'PKCS#12' in output:
        return ('%s is not a PKCS#12 file (.pfx, .p12) holding a code-signing certificate '
                'and its key.' % pfx)
    if timestamp:
        return ('the timestamp server %s gave no timestamp (%s): try again, or name another '
                'with SIGN_TIMESTAMP.' % (timestamp, reason(output, 'failure: ')))
    return 'osslsigncode could not sign: %s.' % reason(output)


def verify_options():
    # Newer osslsigncode fetches the certificate revocation lists named in
    # the certificates, and fails without them. The signing host may be
    # offline, and whether a certificate has been revoked is for the
    # machines that run the program to ask: the check here is the signature,
    # the digest and the chain.
    code, usage = osslsigncode('verify', '--help')
    return ['-ignore-crl'] if '-ignore-crl' in usage else []


def signer_of(output):
    """The subject of the signer's certificate, as osslsigncode verify
    prints it under "Signer's certificate"."""
    lines = output.splitlines()
    for i, line in enumerate(lines):
        if line.startswith("Signer's certificate"):
            for later in lines[i + 1:]:
                if later.strip().startswith('Subject:'):
                    return later.split(':', 1)[1].strip()
    return 'unknown'


def sha256(path):
    with open(path, 'rb') as f:
        return hashlib.sha256(f.read()).hexdigest()


def sign(program, pfx, password_file, timestamp, ca):
    """Signs one program into NAME-signed.exe and returns the lines to print."""
    if not os.path.isfile(program):
        raise Refusal('%s is not built: run make first.' % program)
    signed = signed_name(program)
    # The copy is written and verified in a private folder next to the
    # program, then renamed: a rename within one file system is all or nothing.
    work = tempfile.mkdtemp(prefix='.signing-', dir=os.path.dirname(os.path.abspath(program)))
    try:
        partial = os.path.join(work, os.path.basename(signed))
        args = ['sign', '-pkcs12', pfx, '-h', 'sha256']
        if password_file:
            args += ['-readpass', password_file]
        if timestamp:
            args += ['-ts', timestamp]
        code, output = osslsigncode(*args, '-in', program, '-out', partial)
        if code != 0 or not os.path.isfile(partial):
            raise Refusal(sign_failure(output, pfx, password_file, timestamp))
        roots = ca or SYSTEM_ROOTS
        code, output = osslsigncode('verify', '-in', partial, '-CAfile', roots, *verify_options())
        if code != 0:
            raise Refusal('the signed copy of %s does not verify against %s (%s): name the root '
                          'that the certificate chains to with SIGN_CA=FILE.'
                          % (program, roots, reason(output, 'Verify error: ')))
        shutil.copymode(program, partial)
        os.rename(partial, signed)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return ['%s: signed and verified' % signed,
            '  signer    %s' % signer_of(output),
            '  signed    sha256 %s  %d bytes' % (sha256(signed), os.path.getsize(signed)),
            '  program   sha256 %s  %d bytes, %s' % (sha256(program), os.path.getsize(program),
                                                     program)]


def main():
    parser = argparse.ArgumentParser(description='Signs built downloaders (make sign).')
    parser.add_argument('--pfx', default='', help='PKCS#12 file: certificate and key')
    parser.add_argument('--timestamp', default='', help='RFC 3161 timestamp server URL')
    parser.add_argument('--ca', default='', help='root certificates to verify against')
    parser.add_argument('programs', nargs='+')
    args = parser.parse_args()
    password = os.environ.get(PASSWORD_VARIABLE, '')
    work = None
    for program in args.programs:
        if os.path.lexists(signed_name(program)):
            os.remove(signed_name(program))
    try:
        if not args.pfx:
            raise Refusal('no certificate given: make sign SIGN_PFX=FILE, a PKCS#12 file '
                          '(.pfx, .p12) with the code-signing certificate and its key.')
        for path, what in ((args.pfx, 'certificate file'), (args.ca, 'root certificate file')):
            if path and not os.path.isfile(path):
                raise Refusal('the %s %s does not exist.' % (what, path))
        password_file = None
        if password:
            # osslsigncode reads the password from a file of the user's own,
            # not from its command line, which every process can read.
            work = tempfile.mkdtemp(prefix='lvsign-')
            password_file = os.path.join(work, 'password')
            with open(os.open(password_file, os.O_WRONLY | os.O_CREAT, 0o600), 'w') as f:
                f.write(password)
        for program in args.programs:
            print('\n'.join(sign(program, args.pfx, password_file, args.timestamp, args.ca)))
    except Refusal as refusal:
        sys.exit('sign: %s' % refusal)
    finally:
        if work:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
