"""Debian's nginx in front of lvcollect, ending TLS as a vendor's report
host does (the README's example): a private configuration in a temporary
directory, a loopback port, a throwaway certificate, and every request
passed on to lvcollect with the client's address appended to
X-Forwarded-For. Needs root (nginx's workers run as root to read the
directory)."""
import os
import socket
import subprocess
import time

NGINX = '/usr/sbin/nginx'

CONFIGURATION = '''daemon off;
user root;
worker_processes 1;
pid {dir}/nginx.pid;
error_log {dir}/error.log;
events {{ worker_connections 64; }}
http {{
    access_log {dir}/access.log;
    client_body_temp_path {dir}/body;
    proxy_temp_path {dir}/proxy;
    fastcgi_temp_path {dir}/fastcgi;
    uwsgi_temp_path {dir}/uwsgi;
    scgi_temp_path {dir}/scgi;
    server {{
        listen {address}:{port} ssl;
        ssl_certificate {chain};
        ssl_certificate_key {key};
        location / {{
            proxy_pass http://{upstream};
            proxy_set_header Host $host;
            proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
            {bind}
        }}
    }}
}}
'''


def free_port(address):
    with socket.socket() as probe:
        probe.bind((address, 0))
        return probe.getsockname()[1]


class TlsFront:
    """nginx on `address`, ending TLS with the certificate chain and key,
    passing requests to `upstream` (address, port); `bind` makes it connect
    to the upstream from that loopback address, so that the collector's
    peer is told apart from the client."""

    def __init__(self, folder, chain, key, upstream, address='127.0.0.1', bind=None):
        if not address.startswith('127.'):
            raise ValueError('test servers listen on loopback only')
        self.dir = str(folder)
        os.makedirs(self.dir, exist_ok=True)
        self.address = (address, free_port(address))
        config = os.path.join(self.dir, 'nginx.conf')
        with open(config, 'w') as f:
            f.write(CONFIGURATION.format(
                dir=self.dir, address=address, port=self.address[1], chain=chain, key=key,
                upstream='%s:%d' % tuple(upstream),
                bind='proxy_bind %s;' % bind if bind else ''))
        self.process = subprocess.Popen([NGINX, '-e', os.path.join(self.dir, 'error.log'),
                                         '-p', self.dir, '-c', config],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE)
        deadline = time.monotonic() + 30
        while True:
            try:
                socket.create_connection(self.address, timeout=1).close()
                return
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    self.stop()
                    raise RuntimeError('nginx did not start: %s' % self.log())
                time.sleep(0.05)

    def log(self):
        path = os.path.join(self.dir, 'error.log')
        if not os.path.exists(path):
            return ''
        with open(path) as f:
            return f.read()

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(10)
        self.process.stderr.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
