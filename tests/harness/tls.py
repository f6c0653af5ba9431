"""Throwaway TLS certificates, made by openssl for one run and never kept:
a root certificate authority, and server certificates that it issues for
given host names, current or long expired. A root that another run made
stands in for one that nobody trusts.

Wine trusts only the roots in the host's bundle (HOST_BUNDLE). The TLS tests
therefore run in a private mount namespace over whose bundle a copy with
the run's root appended is mounted (tools/run-tls-tests); `namespace_problem`
says why that cannot be arranged where it cannot.
"""
import dataclasses
import os
import ssl
import subprocess

HOST_BUNDLE = '/etc/ssl/certs/ca-certificates.crt'
SERVER_EXTENSIONS = ('basicConstraints=critical,CA:FALSE\n'
                     'keyUsage=critical,digitalSignature,keyEncipherment\n'
                     'extendedKeyUsage=serverAuth\n'
                     'subjectAltName=%s\n')
# What an expired certificate was valid for: a month long past.
EXPIRED_VALIDITY = ('20240101000000Z', '20240201000000Z')


def _openssl(*args, cwd):
    subprocess.run(['openssl'] + list(args), cwd=cwd, check=True, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


@dataclasses.dataclass
class Authority:
    folder: str
    root: str       # the root certificate, PEM
    key: str

    def issue(self, name, hosts, expired=False):
        """A server certificate for `hosts` (its subject alternative names:
        host names, or IPv4 addresses),
        valid for a day, or for EXPIRED_VALIDITY; returns (chain, key): the
        certificate followed by this root, and its key, as PEM files."""
        stem = os.path.join(self.folder, name)
        _openssl('req', '-newkey', 'rsa:2048', '-nodes', '-keyout', stem + '.key',
                 '-out', stem + '.csr', '-subj',
                 # A common name holds at most 64 characters; the names that
                 # count are the alternative ones.
                 '/CN=' + (hosts[0] if len(hosts[0]) <= 64 else name), cwd=self.folder)
        with open(stem + '.ext', 'w') as f:
            # An address goes in both as an address and as a name: Wine
            # matches it only as a name.
            f.write(SERVER_EXTENSIONS % ','.join(
                ('IP:%s,DNS:%s' % (host, host) if host.replace('.', '').isdigit()
                 else 'DNS:' + host) for host in hosts))
        if expired:
            # openssl x509 gives no start date in the past; its ca command does.
            database = os.path.join(self.folder, 'ca-' + name)
            os.makedirs(database)
            open(os.path.join(database, 'index.txt'), 'w').close()
            with open(os.path.join(database, 'serial'), 'w') as f:
                f.write('1000\n')
            with open(os.path.join(database, 'ca.cnf'), 'w') as f:
                f.write('[ca]\ndefault_ca = d\n[d]\ndatabase = %s/index.txt\nserial = %s/serial\n'
                        'new_certs_dir = %s\ndefault_md = sha256\npolicy = p\n'
                        'unique_subject = no\n[p]\ncommonName = supplied\n'
                        % (database, database, database))
            _openssl('ca', '-batch', '-config', os.path.join(database, 'ca.cnf'),
                     '-cert', self.root, '-keyfile', self.key, '-in', stem + '.csr',
                     '-out', stem + '.pem', '-startdate', EXPIRED_VALIDITY[0],
                     '-enddate', EXPIRED_VALIDITY[1], '-extfile', stem + '.ext', '-notext',
                     cwd=self.folder)
        else:
            _openssl('x509', '-req', '-in', stem + '.csr', '-CA', self.root, '-CAkey', self.key,
                     '-set_serial', '0x' + os.urandom(8).hex(), '-days', '1',
                     '-extfile', stem + '.ext', '-out', stem + '.pem', cwd=self.folder)
        with open(stem + '.chain', 'w') as chain:
            for part in (stem + '.pem', self.root):
                with open(part) as f:
                    chain.write(f.read())
        return stem + '.chain', stem + '.key'

    def server_context(self, name, hosts, expired=False):
        """An ssl.SSLContext for a server that shows such a certificate."""
        chain, key = self.issue(name, hosts, expired)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(chain, key)
        return context


def make_authority(folder, name='Throwaway TLS Test Root'):
    """A root certificate authority, valid for a day, in `folder`."""
    folder = str(folder)
    _openssl('req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '1',
             '-keyout', 'root.key', '-out', 'root.pem', '-subj', '/CN=' + name,
             '-addext', 'basicConstraints=critical,CA:TRUE',
             '-addext', 'keyUsage=critical,keyCertSign,cRLSign', cwd=folder)
    return Authority(folder, os.path.join(folder, 'root.pem'), os.path.join(folder, 'root.key'))


def authority_in(folder):
    """The authority that make_authority left in `folder`."""
    return Authority(folder, os.path.join(folder, 'root.pem'), os.path.join(folder, 'root.key'))


def bundle_with(root, path):
    """Writes the host's bundle with `root` appended to `path`."""
    with open(path, 'w') as out:
        for part in (HOST_BUNDLE, root):
            with open(part) as f:
                text = f.read()
            out.write(text if text.endswith('\n') else text + '\n')
    return path


def trusted_here(root):
    """True when the bundle that Wine reads holds `root`."""
    with open(root) as f:
        pem = f.read().strip()
    with open(HOST_BUNDLE) as f:
        return pem in f.read()


def client_context(root):
    """An ssl.SSLContext for a client that trusts `root` alone."""
    return ssl.create_default_context(cafile=root)


def namespace_problem(bundle):
    """None when this process may mount `bundle` over the host's bundle in a
    private mount namespace, else one sentence that says why not."""
    try:
        probe = subprocess.run(['unshare', '-m', 'sh', '-c', 'mount --bind "$1" "$2"', 'sh',
                                bundle, HOST_BUNDLE], stdin=subprocess.DEVNULL,
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                               timeout=60)
    except OSError as error:
        return 'unshare cannot be run here (%s)' % error
    if probe.returncode != 0:
        said = probe.stdout.strip().splitlines()
        return ('a private mount namespace with its own certificate bundle is not permitted '
                'here (unshare -m and mount --bind need root: %s)'
                % (said[-1] if said else 'exit code %d' % probe.returncode))
    return None
