"""Signing as a vendor does (tools/sign.py), with a throwaway certificate
authority: a root and a code-signing certificate made with openssl in a
temporary folder for one run, so that no key is ever kept."""
import dataclasses
import os
import subprocess
import sys

from . import paths

SIGN = os.path.join(paths.REPO, 'tools', 'sign.py')
PASSWORD = 'throwaway password'
SIGNER = 'Lumenvast Test Vendor'
# What a code-signing certificate carries; Authenticode asks for the
# code-signing extended key usage.
LEAF_EXTENSIONS = ('basicConstraints=critical,CA:FALSE\n'
                   'keyUsage=critical,digitalSignature\n'
                   'extendedKeyUsage=codeSigning\n')
PROXY_VARIABLES = ('http_proxy', 'HTTP_PROXY', 'https_proxy', 'HTTPS_PROXY', 'all_proxy',
                   'ALL_PROXY')


@dataclasses.dataclass
class Authority:
    root: str       # the root certificate, PEM
    pfx: str        # the signer's certificate, key and root, PKCS#12 under PASSWORD


def _openssl(*args, cwd):
    subprocess.run(['openssl'] + list(args), cwd=cwd, check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_authority(folder, signer=SIGNER):
    """A root certificate authority and a code-signing certificate it issued
    to `signer` (its subject's common name), valid for a day, in `folder`."""
    folder = str(folder)
    _openssl('req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '1',
             '-keyout', 'root.key', '-out', 'root.pem', '-subj', '/CN=Throwaway Test Root',
             '-addext', 'basicConstraints=critical,CA:TRUE',
             '-addext', 'keyUsage=critical,keyCertSign,cRLSign', cwd=folder)
    _openssl('req', '-newkey', 'rsa:2048', '-nodes', '-keyout', 'signer.key',
             '-out', 'signer.csr', '-subj', '/CN=' + signer, cwd=folder)
    with open(os.path.join(folder, 'signer.ext'), 'w') as f:
        f.write(LEAF_EXTENSIONS)
    _openssl('x509', '-req', '-in', 'signer.csr', '-CA', 'root.pem', '-CAkey', 'root.key',
             '-set_serial', '1', '-days', '1', '-extfile', 'signer.ext', '-out', 'signer.pem',
             cwd=folder)
    _openssl('pkcs12', '-export', '-inkey', 'signer.key', '-in', 'signer.pem',
             '-certfile', 'root.pem', '-passout', 'pass:' + PASSWORD, '-out', 'signer.pfx',
             cwd=folder)
    return Authority(os.path.join(folder, 'root.pem'), os.path.join(folder, 'signer.pfx'))


def signed_name(program):
    stem, extension = os.path.splitext(str(program))
    return stem + '-signed' + extension


def sign(authority, programs, pfx=None, password=PASSWORD, timestamp=''):
    """Runs tools/sign.py as make sign does, verifying against the throwaway
    root; returns the CompletedProcess with text output. No proxy is passed
    on, so a timestamp URL on loopback is reached directly."""
    env = {k: v for k, v in os.environ.items() if k not in PROXY_VARIABLES}
    env['SIGN_PASS'] = password
    return subprocess.run(
        [sys.executable, SIGN, '--pfx', authority.pfx if pfx is None else pfx,
         '--ca', authority.root, '--timestamp', timestamp] + [str(p) for p in programs],
        env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=120)
